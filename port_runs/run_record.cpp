// The names of a run's outcomes and of its identify bytes, as the history and the events
// write them.
#include "port_runs/run_record.h"

const char* OutcomeName(RunOutcome outcome) {
    switch (outcome) {
        case RunOutcome::Done:
            return "done";
        case RunOutcome::Failed:
            return "failed";
        case RunOutcome::Cancelled:
            return "cancelled";
    }
    return "failed";
}

std::string IdentifyHex(const std::vector<uint8_t>& bytes) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string text;
    for (uint8_t byte : bytes) {
        text += kHex[byte >> 4];
        text += kHex[byte & 0xF];
    }
    return text;
}
