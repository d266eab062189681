// Several ports programmed at once with one image: a CPortRun for each, all started together,
// cancelled one by one or all at once, and counted by how they ended.
#pragma once

#include "port_runs/exit_status.h"
#include "port_runs/port_run.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class CGangRun {
public:
    // The trace file may be null.
    CGangRun(CRunEvents& events, CMessageRouter& router, CTraceFile* trace,
             const PortRunSettings& settings);
    // Waits for every run to end.
    ~CGangRun();
    CGangRun(const CGangRun&) = delete;
    CGangRun& operator=(const CGangRun&) = delete;

    // A port to program; `port` is the front end's key for its events, `instrument` the
    // serial number of the unit on it (empty: none given).  Before Start only.
    void Add(const std::string& name, int port, const std::string& instrument = {});
    // Starts every run on image[0 .. end - start) at `start`; the image must stay as it is
    // until every run has ended.
    void Start(const uint8_t* image, uint32_t start, uint32_t end);

    // Asks one port's run (false: no such port in the gang), or every run, to stop before its
    // next block.
    bool Cancel(int port);
    void CancelAll();

    // Waits up to `timeout` for every run to end; true when they all have.
    bool WaitFor(std::chrono::milliseconds timeout);
    bool Finished();
    void Join();

    const std::vector<std::unique_ptr<CPortRun>>& Runs() const { return m_runs; }
    // Valid once every run has ended.
    GangTally Tally() const;

private:
    void RunEnded();

    CRunEvents& m_events;
    CMessageRouter& m_router;
    CTraceFile* m_trace;
    const PortRunSettings m_settings;
    std::vector<std::unique_ptr<CPortRun>> m_runs;
    std::mutex m_mutex;
    std::condition_variable m_ended;
    size_t m_endedCount = 0;
};
