// One port's programming run: its own programmer (and so its own link and serial port), its
// own cancel event and report handle, on a thread of its own, so that many ports run at once
// and one port's failure never touches another.  Every port reads the same image, read-only.
#pragma once

#include "cli/message_router.h"
#include "cli/run_output.h"
#include "cli/trace_file.h"
#include "framework/runtime.h"
#include "link/device_programmer.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

class CPortRun {
public:
    enum class Outcome { Running, Done, Failed, Interrupted };

    // `name` is the port as the user gave it; the run opens PortOpenPath(name).  The trace
    // file may be null.
    CPortRun(const std::string& name, CRunOutput& output, CMessageRouter& router,
             CTraceFile* trace);
    // Waits for the run to end.
    ~CPortRun();
    CPortRun(const CPortRun&) = delete;
    CPortRun& operator=(const CPortRun&) = delete;

    // Programs image[0 .. end - start) at `start` on the run's thread.
    void Start(const uint8_t* image, uint32_t start, uint32_t end);
    // Asks the run to stop before its next block; identify and erase run to their end.  The
    // first interrupt has done this already for every run it found registered.
    void Cancel();
    void Join();

    bool Finished() const { return m_outcome.load() != Outcome::Running; }
    Outcome GetOutcome() const { return m_outcome.load(); }
    int Port() const { return m_port; }
    // Bytes sent so far; 0 while no block has gone out.
    int32_t BytesDone() const { return m_bytesDone.load(); }
    int32_t Total() const { return m_total.load(); }

private:
    void Run(const uint8_t* image, uint32_t start, uint32_t end);
    void OnReport(uintptr_t kind, intptr_t value);

    std::string m_openPath;
    CRunOutput& m_output;
    CMessageRouter& m_router;
    int m_port;
    CPortTrace m_trace;
    CDeviceProgrammer m_programmer;
    EventHandle m_cancelEvent;
    std::atomic<Outcome> m_outcome{Outcome::Running};
    std::atomic<int32_t> m_bytesDone{0};
    std::atomic<int32_t> m_total{0};
    std::thread m_thread;
};
