// The station's log: one line on stderr for each thing a person watching the bench (or the
// journal of its service) wants to know, "velko-station: run 41 on p05 done in 33.0 s".
#pragma once

#include <cstdio>
#include <string>

inline void StationLog(const std::string& line) {
    std::fprintf(stderr, "velko-station: %s\n", line.c_str());
    std::fflush(stderr);
}
