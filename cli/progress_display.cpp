// The progress display's texts.  The byte count is the progress window's own text; rate and
// time left are measured from the first block, so the erase and the seconds of pauses before
// it don't pull the rate down.
#include "cli/progress_display.h"

#include "framework/text_buffer.h"
#include "job/byte_text.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

double BytesPerSecond(const PortProgress& port) {
    const double seconds =
        std::chrono::duration<double>(port.lastProgress - port.firstProgress).count();
    if (port.done <= 0 || seconds <= 0.0) {
        return 0.0;
    }
    return port.done / seconds;
}

std::string RateText(double bytesPerSecond) {
    if (bytesPerSecond <= 0.0) {
        return {};
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f KiB/s", bytesPerSecond / 1024.0);
    return text;
}

std::string TimeLeftText(const PortProgress& port) {
    const double rate = BytesPerSecond(port);
    if (rate <= 0.0 || port.done >= port.total) {
        return {};
    }
    const long seconds = std::lround((port.total - port.done) / rate);
    char text[32];
    if (seconds >= 3600) {
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld left", seconds / 3600, seconds / 60 % 60,
                      seconds % 60);
    } else {
        std::snprintf(text, sizeof text, "%ld:%02ld left", seconds / 60, seconds % 60);
    }
    return text;
}

std::string ByteText(int32_t done, int32_t total) {
    char text[kTextBufferSize];
    FormatByteText(done, total, text, sizeof text);
    return text;
}

namespace {

// Appends "  part" when the part says anything.
void Add(std::string& line, const std::string& part) {
    if (!part.empty()) {
        line += "  ";
        line += part;
    }
}

}  // namespace

std::string SinglePortLine(const PortProgress& port, int barWidth) {
    const double fraction =
        port.total > 0 ? std::clamp(static_cast<double>(port.done) / port.total, 0.0, 1.0) : 0.0;
    const int width = std::max(barWidth, 0);
    const int filled = std::clamp(static_cast<int>(fraction * width), 0, width);
    std::string line = "[";
    line.append(static_cast<size_t>(filled), '#');
    line.append(static_cast<size_t>(width - filled), '-');
    line += "] ";
    line += ByteText(port.done, port.total);
    Add(line, RateText(BytesPerSecond(port)));
    Add(line, TimeLeftText(port));
    return line;
}

std::string FitPortName(const std::string& name, size_t width) {
    if (name.size() <= width) {
        return name + std::string(width - name.size(), ' ');
    }
    if (width <= 3) {
        return name.substr(name.size() - width);
    }
    return "..." + name.substr(name.size() - (width - 3));
}

std::string GangPortLine(const PortProgress& port, size_t nameWidth) {
    constexpr size_t kPhaseWidth = 26;
    std::string phase = port.phase.substr(0, kPhaseWidth);
    phase.resize(kPhaseWidth, ' ');
    std::string line = FitPortName(port.name, nameWidth) + "  " + phase;
    if (port.hasTotal) {
        line += "  " + ByteText(port.done, port.total);
        if (!port.finished) {
            Add(line, RateText(BytesPerSecond(port)));
        }
    }
    while (!line.empty() && line.back() == ' ') {
        line.pop_back();
    }
    return line;
}

std::string GangTotalLine(const std::vector<PortProgress>& ports, size_t nameWidth) {
    int64_t done = 0, total = 0;
    double rate = 0.0;
    size_t finished = 0;
    for (const PortProgress& port : ports) {
        done += port.done;
        total += port.total;
        finished += port.finished ? 1 : 0;
        if (!port.finished) {
            rate += BytesPerSecond(port);
        }
    }
    std::string phase =
        std::to_string(finished) + " of " + std::to_string(ports.size()) + " ports ended";
    phase.resize(std::max<size_t>(phase.size(), 26), ' ');
    // In 64 bits: the sum over many ports, times 100, outgrows the window's 32-bit percent.
    char bytes[96];
    std::snprintf(bytes, sizeof bytes, "%lld of %lld bytes (%lld%%)", static_cast<long long>(done),
                  static_cast<long long>(total),
                  static_cast<long long>(total > 0 ? done * 100 / total : 0));
    std::string line = FitPortName("total", nameWidth) + "  " + phase + "  " + bytes;
    Add(line, RateText(rate));
    return line;
}

std::string FitToColumns(const std::string& line, int columns) {
    const size_t width = columns > 1 ? static_cast<size_t>(columns - 1) : 1;
    return line.size() <= width ? line : line.substr(0, width);
}
