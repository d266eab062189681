// A path that the build hands a test.  Under wine the build gives "Z:/x/y", which Windows
// wants as Z:\x\y; a native path stays as it is.
#pragma once

#include <algorithm>
#include <string>

inline std::string BuiltPath(const char* built) {
    std::string path(built);
    if (path.rfind("Z:", 0) == 0) {
        std::replace(path.begin(), path.end(), '/', '\\');
    }
    return path;
}
