// One port's programming run: its own programmer (and so its own link and serial port), its
// own cancel event and report handle, on a thread of its own, so that many ports run at once
// and one port's failure never touches another.  Every port reads the same image, read-only.
// A run that fails is run again from the start as often as its settings allow.
#pragma once

#include "framework/runtime.h"
#include "link/device_programmer.h"
#include "port_runs/message_router.h"
#include "port_runs/retries.h"
#include "port_runs/run_events.h"
#include "port_runs/trace_file.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

struct PortRunSettings {
    // The line rate of the block phase, one of kBlockBaudRates.  Every front end sets it
    // here (velko-cli's and velko-station's --block-rate, a station request's "block_rate");
    // the run gives it to its programmer (CDeviceProgrammer::SetBlockBaudRate), which after
    // the erases tells the loader with a 'B' frame (CLoaderLink::SetLoaderBaudRate) and then
    // moves the host's side of the line (CLoaderLink::ChangeBaudRate) for the blocks.
    int32_t blockRate = kDefaultBlockBaudRate;
    int retries = 0;                             // more attempts after a failed one
    std::chrono::milliseconds retryPause = kDefaultRetryPause;  // before each retry
    std::function<void()> onEnd;                 // called on the run's thread as it ends
};

class CPortRun {
public:
    // `name` is the port as the user gave it; the run opens PortOpenPath(name).  `port` is the
    // front end's key of the port, which every event carries.  `instrument` is the serial
    // number of the unit on the port (empty when none was given): every record of the run
    // carries it.  The trace file may be null.
    CPortRun(const std::string& name, int port, const std::string& instrument, CRunEvents& events,
             CMessageRouter& router, CTraceFile* trace, const PortRunSettings& settings = {});
    // Waits for the run to end.
    ~CPortRun();
    CPortRun(const CPortRun&) = delete;
    CPortRun& operator=(const CPortRun&) = delete;

    // Programs image[0 .. end - start) at `start` on the run's thread.
    void Start(const uint8_t* image, uint32_t start, uint32_t end);
    // Asks the run to stop before its next block (identify and erase run to their end), and
    // not to try again.  The first interrupt has done this already for every run.
    void Cancel();
    void Join();

    bool Finished() const { return m_finished.load(); }
    // How the last attempt ended; Failed until the run has finished.
    RunOutcome Outcome() const { return m_outcome.load(); }
    int Port() const { return m_port; }
    const std::string& Name() const { return m_name; }
    const std::string& Instrument() const { return m_instrument; }
    int Attempts() const { return m_attempt.load(); }
    // Bytes sent so far in the current attempt; 0 while no block has gone out.
    int32_t BytesDone() const { return m_bytesDone.load(); }
    int32_t Total() const { return m_total.load(); }

private:
    void Run(const uint8_t* image, uint32_t start, uint32_t end);
    RunRecord Attempt(const uint8_t* image, uint32_t start, uint32_t end, int attempt);
    bool StopAsked() const;
    void OnReport(uintptr_t kind, intptr_t value);

    const std::string m_name;
    const std::string m_openPath;
    const std::string m_instrument;
    const int m_port;
    CRunEvents& m_events;
    CMessageRouter& m_router;
    const PortRunSettings m_settings;
    CPortTrace m_trace;
    CDeviceProgrammer m_programmer;
    EventHandle m_cancelEvent;
    std::atomic<bool> m_cancelAsked{false};
    bool m_portMissing = false;  // the last attempt found no such port (the run's thread's)
    std::mutex m_pauseMutex;  // a retry's pause ends early on a cancel
    std::condition_variable m_pauseEnd;
    std::atomic<bool> m_finished{false};
    std::atomic<RunOutcome> m_outcome{RunOutcome::Failed};
    std::atomic<int> m_attempt{0};
    std::atomic<int32_t> m_bytesDone{0};
    std::atomic<int32_t> m_total{0};
    std::thread m_thread;
};
