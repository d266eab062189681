// The exit statuses of the command line, the one thing a script reads to tell success from
// failure, and the one function that tells a gang's status from how its runs ended.
#pragma once

enum ExitStatus : int {
    kExitOk = 0,
    kExitFailed = 1,         // an instrument failed (won't open, not found, erase or block)
                             // or an output file could not be written
    kExitUsage = 2,          // the command line (or what it names) can't be used
    kExitFileRefused = 3,    // the application file can't be read, holds no data, or is unsigned
    kExitInterrupted = 130,  // Ctrl-C stopped a run
};

// How the runs of a gang ended: each port counted once, by its last attempt (a port that
// failed and then succeeded on a retry is done).
struct GangTally {
    int done = 0;
    int failed = 0;
    int cancelled = 0;
};

// A stopped run makes the whole gang interrupted (130), else a failed one makes it failed
// (1); a gang whose every port is done is OK (0).
inline int ExitStatusFor(const GangTally& tally) {
    if (tally.cancelled > 0) {
        return kExitInterrupted;
    }
    return tally.failed > 0 ? kExitFailed : kExitOk;
}
