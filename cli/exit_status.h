// The exit statuses of velko-cli, the one thing a script reads to tell success from failure.
#pragma once

enum ExitStatus : int {
    kExitOk = 0,
    kExitFailed = 1,         // an instrument failed (won't open, not found, erase or block)
                             // or an output file could not be written
    kExitUsage = 2,          // the command line (or what it names) can't be used
    kExitFileRefused = 3,    // the application file can't be read, holds no data, or is unsigned
    kExitInterrupted = 130,  // Ctrl-C stopped a run
};
