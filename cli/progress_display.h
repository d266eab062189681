// The texts of the progress display: one port's line (port, phase, bytes, percent, rate and
// time left), the total line of a run of several ports, and the bar of a single port.  Pure
// functions of a port's progress, so that the display's look is testable without a terminal.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

using ProgressClock = std::chrono::steady_clock;

// What the display knows of one port.
struct PortProgress {
    std::string name;
    std::string phase;  // the last line of the port's status text ("Loading Application...")
    int32_t total = 0;  // bytes the programming sends; 0 until it says
    int32_t done = 0;   // bytes sent so far
    bool hasTotal = false;
    ProgressClock::time_point firstProgress{};  // when the first block went out
    ProgressClock::time_point lastProgress{};
    bool finished = false;
};

// Bytes a second since the first block, 0 before two blocks went out.
double BytesPerSecond(const PortProgress& port);

// "9.3 KiB/s"; empty for no rate.
std::string RateText(double bytesPerSecond);
// "0:17 left" (minutes and seconds; hours when it takes that long); empty without a rate.
std::string TimeLeftText(const PortProgress& port);

// The window's byte count text: "104960 of 262144 bytes (40%)".
std::string ByteText(int32_t done, int32_t total);

// The single port's live line: a bar of `barWidth` cells, the byte text, rate and time left.
std::string SinglePortLine(const PortProgress& port, int barWidth);
// One port's line in a run of several: port (padded to nameWidth), phase, bytes, rate.
std::string GangPortLine(const PortProgress& port, size_t nameWidth);
// The total over all ports: how many are done, the bytes of all, the rate of all.
std::string GangTotalLine(const std::vector<PortProgress>& ports, size_t nameWidth);

// Cuts a line to `columns` characters so that a terminal never wraps it (a wrapped line would
// throw the redraw off by a row).
std::string FitToColumns(const std::string& line, int columns);
// A port name cut from the front to `width` characters, keeping its distinguishing end.
std::string FitPortName(const std::string& name, size_t width);
