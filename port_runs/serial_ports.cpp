// The parts of the port names that are the same on every platform.
#include "port_runs/serial_ports.h"

#include "framework/regular_file.h"

#include <cctype>
#include <map>
#include <sstream>
#include <string_view>

bool ReadPortList(const std::string& path, std::vector<std::string>* ports) {
    // A regular file only: a list read from a device such as /dev/zero or a FIFO never ends.
    std::string text;
    if (!ReadRegularFile(path.c_str(), &text)) {
        return false;
    }
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t first = line.find_first_not_of(" \t\r");
        const size_t last = line.find_last_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#') {
            continue;  // blank lines and comments
        }
        ports->push_back(line.substr(first, last - first + 1));
    }
    return true;
}

std::string SamePortTwice(const std::vector<std::string>& ports) {
    std::map<std::string, std::string> seen;  // identity -> the name it was first given as
    for (const std::string& port : ports) {
        auto [it, added] = seen.emplace(PortIdentity(port), port);
        if (!added) {
            return it->second == port ? "the port " + port + " is named twice"
                                      : it->second + " and " + port + " are the same port";
        }
    }
    return {};
}

std::string WindowsDevicePath(const std::string& name) {
    // "COM" in any case, one or more digits, and the colon the window's names carry.
    std::string digits;
    size_t end = name.size();
    if (end > 0 && name[end - 1] == ':') {
        --end;
    }
    if (end < 4 || (name[0] != 'C' && name[0] != 'c') || (name[1] != 'O' && name[1] != 'o') ||
        (name[2] != 'M' && name[2] != 'm')) {
        return name;
    }
    for (size_t i = 3; i < end; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i]))) {
            return name;
        }
        digits += name[i];
    }
    return "\\\\.\\COM" + digits;
}

bool NaturalLess(const std::string& a, const std::string& b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const bool digitA = std::isdigit(static_cast<unsigned char>(a[i])) != 0;
        const bool digitB = std::isdigit(static_cast<unsigned char>(b[j])) != 0;
        if (digitA && digitB) {
            size_t endA = i, endB = j;
            while (endA < a.size() && std::isdigit(static_cast<unsigned char>(a[endA])))
                ++endA;
            while (endB < b.size() && std::isdigit(static_cast<unsigned char>(b[endB])))
                ++endB;
            // Leading zeros aside, the longer run is the larger number.
            std::string_view runA(a.data() + i, endA - i), runB(b.data() + j, endB - j);
            while (runA.size() > 1 && runA.front() == '0')
                runA.remove_prefix(1);
            while (runB.size() > 1 && runB.front() == '0')
                runB.remove_prefix(1);
            if (runA.size() != runB.size()) {
                return runA.size() < runB.size();
            }
            if (runA != runB) {
                return runA < runB;
            }
            i = endA;
            j = endB;
            continue;
        }
        if (a[i] != b[j]) {
            return a[i] < b[j];
        }
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}
