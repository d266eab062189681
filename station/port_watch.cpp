// Watched ports, by glob(3) and stat(2): cheap enough to look every quarter second.
#include "station/port_watch.h"

#include <glob.h>
#include <sys/stat.h>

#include <algorithm>

std::vector<std::string> MatchWatchPatterns(const std::vector<std::string>& patterns) {
    std::vector<std::string> paths;
    for (const std::string& pattern : patterns) {
        glob_t found{};
        if (glob(pattern.c_str(), GLOB_NOSORT, nullptr, &found) == 0) {
            for (size_t i = 0; i < found.gl_pathc; ++i) {
                const std::string path = found.gl_pathv[i];
                if (std::find(paths.begin(), paths.end(), path) == paths.end()) {
                    paths.push_back(path);
                }
            }
        }
        globfree(&found);
    }
    return paths;
}

bool PortPresent(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}
