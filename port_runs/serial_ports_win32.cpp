// The serial ports of a Windows host: the COM devices in the system's list of device names
// (QueryDosDevice), each with the device it stands for.
#include "port_runs/serial_ports.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <algorithm>
#include <cctype>

namespace {

bool IsComName(const std::string& name) {
    if (name.size() < 4 || name.compare(0, 3, "COM") != 0) {
        return false;
    }
    return std::all_of(name.begin() + 3, name.end(),
                       [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
}

}  // namespace

std::vector<SerialPortEntry> ListSerialPorts() {
    // The list grows with the system: ask again with a larger buffer while it does not fit.
    std::string names(64 * 1024, '\0');
    DWORD length = 0;
    while ((length = QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()))) ==
               0 &&
           GetLastError() == ERROR_INSUFFICIENT_BUFFER && names.size() < (16u << 20)) {
        names.resize(names.size() * 2);
    }
    std::vector<SerialPortEntry> ports;
    for (size_t at = 0; at < length && names[at] != '\0';) {
        const std::string name = names.c_str() + at;
        at += name.size() + 1;
        if (!IsComName(name)) {
            continue;
        }
        char target[1024] = {};
        const std::string description =
            QueryDosDeviceA(name.c_str(), target, sizeof target) != 0 ? target : "";
        ports.push_back({name, description});
    }
    std::sort(ports.begin(), ports.end(), [](const SerialPortEntry& a, const SerialPortEntry& b) {
        return NaturalLess(a.name, b.name);
    });
    return ports;
}

std::string PortOpenPath(const std::string& name) {
    return WindowsDevicePath(name);
}

std::string PortIdentity(const std::string& name) {
    std::string identity = WindowsDevicePath(name);
    std::transform(identity.begin(), identity.end(), identity.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return identity;
}

std::string PortOpenProblem(const std::string& path) {
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
        return {};
    }
    const DWORD error = GetLastError();
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return kNoSuchPort;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            return "in use by another program";
        default: {
            char text[256] = {};
            FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           error, 0, text, sizeof text, nullptr);
            std::string problem = text;
            while (!problem.empty() &&
                   (problem.back() == '\n' || problem.back() == '\r' || problem.back() == '.')) {
                problem.pop_back();
            }
            return problem.empty() ? "system error " + std::to_string(error) : problem;
        }
    }
}

