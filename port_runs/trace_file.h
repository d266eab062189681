// The trace of --trace: every byte each port sends and receives, with the time since the
// trace began, the port, the line rate and the direction, as text that a support case can
// read.  One file for all ports of a run; each port writes through a CPortTrace of its own.
#pragma once

#include "link/link_trace.h"

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>

class CTraceFile {
public:
    CTraceFile() = default;
    ~CTraceFile();
    CTraceFile(const CTraceFile&) = delete;
    CTraceFile& operator=(const CTraceFile&) = delete;

    // Creates or truncates the file and writes its heading.  False when it can't.
    bool Open(const std::string& path, const std::string& heading);
    // Closes the file; false when anything failed to reach it.
    bool Close();

    // One event line; `bytes` adds the bytes in hex and as text, 16 a line.
    void Write(const std::string& port, int32_t baudRate, const char* what,
               const uint8_t* bytes = nullptr, uint32_t count = 0);

private:
    std::mutex m_mutex;
    std::FILE* m_file = nullptr;
    bool m_ok = true;
    std::chrono::steady_clock::time_point m_start;
};

// What one port's link does: into the trace file when there is one (null: none), and
// whether an open of the port failed, so that the user can be told why.
class CPortTrace : public CLinkTrace {
public:
    CPortTrace(CTraceFile* file, std::string port) : m_file(file), m_port(std::move(port)) {}

    bool OpenFailed() const { return m_openFailed; }

    void OnSent(int32_t baudRate, const uint8_t* bytes, uint32_t count) override;
    void OnReceived(int32_t baudRate, const uint8_t* bytes, uint32_t count) override;
    void OnReadShort(int32_t baudRate, uint32_t asked, uint32_t got) override;
    void OnOpen(const char* portName, int32_t baudRate, bool opened) override;
    void OnClose() override;
    void OnRateChange(int32_t baudRate, bool changed) override;

private:
    void Write(int32_t baudRate, const char* what, const uint8_t* bytes = nullptr,
               uint32_t count = 0);

    CTraceFile* m_file;
    std::string m_port;
    int32_t m_baudRate = 0;  // the rate of the last open or change, for the close line
    bool m_openFailed = false;
};
