// The trace file: fixed columns, time in seconds to the microsecond, bytes as hex and text.
//
//   time s      port          baud  what
//     0.000000  /dev/ttyUSB0  4800  open
//     0.000211  /dev/ttyUSB0  4800  sent 9    03 53 49 46 20 30 20 31 0D  |.SIF 0 1.|
#include "port_runs/trace_file.h"

#include <algorithm>
#include <string>

namespace {

constexpr uint32_t kBytesPerLine = 16;

std::string HexAndText(const uint8_t* bytes, uint32_t count) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string hex, text;
    for (uint32_t i = 0; i < count; ++i) {
        hex += kHex[bytes[i] >> 4];
        hex += kHex[bytes[i] & 0xF];
        hex += ' ';
        text += bytes[i] >= 0x20 && bytes[i] < 0x7F ? static_cast<char>(bytes[i]) : '.';
    }
    hex.resize(3 * kBytesPerLine, ' ');
    return hex + " |" + text + "|";
}

}  // namespace

CTraceFile::~CTraceFile() {
    Close();
}

bool CTraceFile::Open(const std::string& path, const std::string& heading) {
    m_file = std::fopen(path.c_str(), "w");
    if (m_file == nullptr) {
        return false;
    }
    m_start = std::chrono::steady_clock::now();
    m_ok = std::fprintf(m_file, "%s\n%-11s %-13s %6s  %s\n", heading.c_str(), "time s", "port",
                        "baud", "what") > 0;
    return true;
}

bool CTraceFile::Close() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_file == nullptr) {
        return m_ok;
    }
    m_ok = std::fclose(m_file) == 0 && m_ok;
    m_file = nullptr;
    return m_ok;
}

void CTraceFile::Write(const std::string& port, int32_t baudRate, const char* what,
                       const uint8_t* bytes, uint32_t count) {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_file == nullptr) {
        return;
    }
    if (bytes == nullptr || count == 0) {
        m_ok = std::fprintf(m_file, "%11.6f %-13s %6d  %s\n", seconds, port.c_str(),
                            static_cast<int>(baudRate), what) > 0 &&
               m_ok;
        return;
    }
    // The first line names the direction and the count; the bytes follow, 16 a line.
    for (uint32_t at = 0; at < count; at += kBytesPerLine) {
        const uint32_t n = std::min(kBytesPerLine, count - at);
        const std::string label = at == 0 ? std::string(what) + " " + std::to_string(count) : "";
        m_ok = std::fprintf(m_file, "%11.6f %-13s %6d  %-13s %s\n", seconds, port.c_str(),
                            static_cast<int>(baudRate), label.c_str(),
                            HexAndText(bytes + at, n).c_str()) > 0 &&
               m_ok;
    }
}

void CPortTrace::Write(int32_t baudRate, const char* what, const uint8_t* bytes, uint32_t count) {
    if (m_file != nullptr) {
        m_file->Write(m_port, baudRate, what, bytes, count);
    }
}

void CPortTrace::OnSent(int32_t baudRate, const uint8_t* bytes, uint32_t count) {
    Write(baudRate, "sent", bytes, count);
}

void CPortTrace::OnReceived(int32_t baudRate, const uint8_t* bytes, uint32_t count) {
    Write(baudRate, "received", bytes, count);
}

void CPortTrace::OnReadShort(int32_t baudRate, uint32_t asked, uint32_t got) {
    const std::string what =
        "time out: " + std::to_string(got) + " of " + std::to_string(asked) + " bytes came";
    Write(baudRate, what.c_str());
}

void CPortTrace::OnOpen(const char* portName, int32_t baudRate, bool opened) {
    m_baudRate = baudRate;
    m_openFailed = m_openFailed || !opened;
    const std::string what =
        std::string(opened ? "open " : "can't open ") + (portName != nullptr ? portName : "");
    Write(baudRate, what.c_str());
}

void CPortTrace::OnClose() {
    Write(m_baudRate, "close");
}

void CPortTrace::OnRateChange(int32_t baudRate, bool changed) {
    if (changed) {
        m_baudRate = baudRate;
    }
    Write(baudRate, changed ? "rate change" : "rate change failed");
}
