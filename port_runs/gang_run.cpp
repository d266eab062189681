// A gang of port runs.  Each run tells the gang when it has ended, so that a front end can
// wait for the whole gang without looking at the runs in turn.
#include "port_runs/gang_run.h"

CGangRun::CGangRun(CRunEvents& events, CMessageRouter& router, CTraceFile* trace,
                   const PortRunSettings& settings)
    : m_events(events), m_router(router), m_trace(trace), m_settings(settings) {}

CGangRun::~CGangRun() {
    Join();
}

void CGangRun::Add(const std::string& name, int port, const std::string& instrument) {
    PortRunSettings settings = m_settings;
    settings.onEnd = [this] { RunEnded(); };
    m_runs.push_back(
        std::make_unique<CPortRun>(name, port, instrument, m_events, m_router, m_trace, settings));
}

void CGangRun::Start(const uint8_t* image, uint32_t start, uint32_t end) {
    for (auto& run : m_runs) {
        run->Start(image, start, end);
    }
}

bool CGangRun::Cancel(int port) {
    for (auto& run : m_runs) {
        if (run->Port() == port) {
            run->Cancel();
            return true;
        }
    }
    return false;
}

void CGangRun::CancelAll() {
    for (auto& run : m_runs) {
        run->Cancel();
    }
}

void CGangRun::RunEnded() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_endedCount;
    }
    m_ended.notify_all();
}

bool CGangRun::WaitFor(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_ended.wait_for(lock, timeout, [this] { return m_endedCount >= m_runs.size(); });
}

bool CGangRun::Finished() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_endedCount >= m_runs.size();
}

void CGangRun::Join() {
    for (auto& run : m_runs) {
        run->Join();
    }
}

GangTally CGangRun::Tally() const {
    GangTally tally;
    for (const auto& run : m_runs) {
        switch (run->Outcome()) {
            case RunOutcome::Done:
                ++tally.done;
                break;
            case RunOutcome::Cancelled:
                ++tally.cancelled;
                break;
            case RunOutcome::Failed:
                ++tally.failed;
                break;
        }
    }
    return tally;
}
