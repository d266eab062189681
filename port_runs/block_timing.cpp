// The line's need for a block, and the slow-reply note.
#include "port_runs/block_timing.h"

#include <cstdio>

namespace {

std::string Ms(double ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f ms", ms);
    return text;
}

}  // namespace

double LineMsPerBlock(int32_t rate) {
    return rate > 0 ? kBlockLineBytes * kBitsPerByte * 1000.0 / rate : 0.0;
}

std::string SlowReplyNote(const BlockTiming& blocks, int32_t rate) {
    const double lineMs = LineMsPerBlock(rate);
    if (blocks.blocks == 0 || blocks.MeanMs() <= kSlowReplyFactor * lineMs) {
        return "";
    }
    return "slow replies: a block took " + Ms(blocks.MeanMs()) + " on average where the line at " +
           std::to_string(rate) + " baud needs " + Ms(lineMs) + "; " + SlowReplyAdvice();
}
