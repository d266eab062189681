// The runtime seam's pause on Linux.
#include "framework/runtime.h"

#include <chrono>
#include <thread>

void SleepMs(unsigned milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
