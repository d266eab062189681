// When a port's run tries again.  Only a failure is retried, and only as often as the run's
// settings allow (--retry N): never a cancel, an interrupt or a port that is not there at all,
// which another attempt can't mend.  Each retry starts the whole sequence again (SIF command,
// identify, erase, blocks) after a pause that a cancel cuts short, and is an attempt of its
// own in every front end's record (RunRecord::attempt, a history row of its own).
#pragma once

#include "port_runs/run_record.h"

#include <chrono>

// The pause before each retry, so that an instrument that just failed can settle.
constexpr std::chrono::milliseconds kDefaultRetryPause{1000};

// Whether a run tries again after `record`, its attempt number `attempt` (1 for the first),
// with `retries` more attempts allowed in all.
bool TriesAgain(const RunRecord& record, int attempt, int retries, bool portMissing,
                bool stopAsked);
