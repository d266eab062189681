// The slow-reply advice on Windows, where the latency timer is a setting of the adapter's
// driver.
#include "port_runs/block_timing.h"

std::string SlowReplyAdvice() {
    return "a USB serial adapter holds short replies back until its latency timer runs out "
           "(16 ms by default): set it to 1 ms in the Device Manager (the port's Properties, "
           "Port Settings, Advanced, Latency Timer)";
}
