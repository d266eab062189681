// The block phase's timing as a run judges it: what the line needs for one block and its reply
// at a rate, and the slow-reply diagnosis.  A run whose blocks took more than
// kSlowReplyFactor times the line's need on average gets a note saying so and what to do
// about it; the advice is the platform's (block_timing_posix.cpp, block_timing_win32.cpp),
// since the adapter's latency timer is set differently on each.
#pragma once

#include "link/device_programmer.h"

#include <cstdint>
#include <string>

// Bytes on the line for one block: the 75-byte request (64 data bytes) and its 4-byte reply,
// at 10 bits a byte (8N1).
constexpr double kBlockLineBytes = 75 + 4;
constexpr double kBitsPerByte = 10;
// A block phase whose mean round trip is over this many times the line's need is slow.
constexpr double kSlowReplyFactor = 2.0;

// What the line needs for one block and its reply at the rate, in ms; 0 for no rate.
double LineMsPerBlock(int32_t rate);

// The note for a slow block phase at the rate ("slow replies: a block took 23.1 ms on
// average where the line at 115200 baud needs 6.9 ms; ..."); empty when the blocks were not
// slow or none was written.
std::string SlowReplyNote(const BlockTiming& blocks, int32_t rate);

// What the user can do when the port's replies come late (a USB adapter's latency timer).
std::string SlowReplyAdvice();
