// The slow-reply advice on Linux, where the serial port asks for low latency at every open:
// a slow block phase means the adapter ignored or refused that.
#include "port_runs/block_timing.h"

std::string SlowReplyAdvice() {
    return "a USB serial adapter holds short replies back until its latency timer runs out "
           "(16 ms on many); the port's low-latency flag, which clears that, could not be set: "
           "try `setserial PORT low_latency`, or another adapter";
}
