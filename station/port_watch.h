// The ports a bench watches: the paths that match the watched patterns now, and whether a
// port's path is there at all (an adapter unplugged takes its device and its by-id link
// with it).
#pragma once

#include <string>
#include <vector>

// Every path that matches one of the glob patterns, each once, in the patterns' order.
std::vector<std::string> MatchWatchPatterns(const std::vector<std::string>& patterns);

// True when the path leads to something (a link to a device that is gone does not).
bool PortPresent(const std::string& path);
