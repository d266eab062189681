#!/usr/bin/env bash
# Runs a part of the test bench that stands for something no load on a PC holds up: wine's
# server, which does the work of Windows' serial driver in the kernel (it sees a reply come in
# and times the read), or the simulated instrument (or socat's line) with its wire.  It runs
# in the real-time round-robin class at its lowest priority, ahead of every ordinary process;
# these parts sleep until their line or their clients need them.
#
# Why: wine's server keeps a read's timeout as a timer of its own and learns of a reply only
# when it next polls the port, and it runs the timers that are due first.  Held up on a busy
# machine past the timeout, it ends the read as timed out while the reply that came in time
# waits unread in the port ("Can't find Vyra", "Can't Load Application"), where Windows'
# driver, in the kernel, would have completed the read when the reply came.  The programs
# under test keep the ordinary priority that they have on a technician's laptop.
#
# Where the system refuses the class (no root, no real-time limit), the command runs as it
# is, with a note on stderr.
#   run-realtime.sh COMMAND [ARGS...]
if chrt --rr 1 true 2>/dev/null; then
    exec chrt --rr 1 "$@"
fi
echo "run-realtime: real-time priority refused here; $(basename "$1") runs as an ordinary process, which a loaded machine can hold up" >&2
exec "$@"
