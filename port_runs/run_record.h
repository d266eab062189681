// What one attempt of a port's run leaves behind: how it ended, its error, bytes, time, block
// timing and the loader's identify bytes.  The front ends keep it as they see fit: velko-cli
// as a result line or JSON event, the station as a history row.
#pragma once

#include "link/device_programmer.h"

#include <cstdint>
#include <string>
#include <vector>

enum class RunOutcome {
    Done,       // the whole image written and the closing commands sent
    Failed,     // a failure the sequence told the user of
    Cancelled,  // stopped before a block by a cancel or an interrupt
};

// How one attempt of a port's run ended.
struct RunRecord {
    RunOutcome outcome = RunOutcome::Failed;
    int attempt = 1;        // 1 for the first run of the port, 2 for its first retry...
    std::string instrument;  // the serial number of the unit on the port; empty for none
    double seconds = 0.0;   // from the port's open to the run's end
    std::string error;      // why it failed or stopped; empty when done
    int32_t bytes = 0;      // bytes sent by the blocks
    int32_t total = 0;      // the bytes the programming was to send
    int32_t blockRate = 0;  // the line rate of the block phase
    BlockTiming blocks;
    std::vector<uint8_t> identify;  // the identify reply's bytes 3 to 10, as received
};

// The name the history and the event stream give an outcome.
const char* OutcomeName(RunOutcome outcome);

// The identify bytes as upper-case hex without separators ("0102A0FF"); empty for none.
std::string IdentifyHex(const std::vector<uint8_t>& bytes);
