// The retry rule of a port's run.
#include "port_runs/retries.h"

bool TriesAgain(const RunRecord& record, int attempt, int retries, bool portMissing,
                bool stopAsked) {
    return record.outcome == RunOutcome::Failed && attempt <= retries && !portMissing && !stopAsked;
}
