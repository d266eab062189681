#!/usr/bin/env bash
# Starts Xvfb on the first free display from :90 up and prints ":N:pid=PID".
# The caller stops it with kill PID.
set -eu
for n in $(seq 90 140); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 </dev/null &
    pid=$!
    for _ in $(seq 50); do
        [ -e "/tmp/.X11-unix/X$n" ] && { echo ":$n:pid=$pid"; exit 0; }
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill "$pid" 2>/dev/null || true
done
echo "start-xvfb: no free display" >&2
exit 1
