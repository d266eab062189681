// A port's run: the programming sequence with this run's handle as its report window, so
// that its reports and its owned messages find this port; the run's thread is bound to the
// port for the messages that the sequence shows without an owner.
#include "port_runs/port_run.h"

#include "link/load_report.h"
#include "port_runs/block_timing.h"
#include "port_runs/interrupt.h"
#include "port_runs/retries.h"
#include "port_runs/serial_ports.h"

CPortRun::CPortRun(const std::string& name, int port, const std::string& instrument,
                   CRunEvents& events, CMessageRouter& router, CTraceFile* trace,
                   const PortRunSettings& settings)
    : m_name(name),
      m_openPath(PortOpenPath(name)),
      m_instrument(instrument),
      m_port(port),
      m_events(events),
      m_router(router),
      m_settings(settings),
      m_trace(trace, name),
      m_cancelEvent(CreateCancelEvent()) {
    m_programmer.m_link.SetTrace(&m_trace);
    m_programmer.SetBlockBaudRate(settings.blockRate);
    m_router.BindOwner(this, m_port);
    AddInterruptEvent(m_cancelEvent);
    SetReportHandler(this,
                     [this](unsigned, uintptr_t kind, intptr_t value) { OnReport(kind, value); });
}

CPortRun::~CPortRun() {
    Join();
    SetReportHandler(this, nullptr);
    m_router.Unbind(this);
    m_programmer.m_link.SetTrace(nullptr);
    RemoveInterruptEvent(m_cancelEvent);
    CloseCancelEvent(m_cancelEvent);
}

void CPortRun::Start(const uint8_t* image, uint32_t start, uint32_t end) {
    m_thread = std::thread([this, image, start, end] { Run(image, start, end); });
}

void CPortRun::Join() {
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void CPortRun::Cancel() {
    {
        std::lock_guard<std::mutex> lock(m_pauseMutex);
        m_cancelAsked = true;
    }
    m_pauseEnd.notify_all();
    SignalCancelEvent(m_cancelEvent);
}

bool CPortRun::StopAsked() const {
    return m_cancelAsked.load() || InterruptCount() > 0;
}

void CPortRun::OnReport(uintptr_t kind, intptr_t value) {
    switch (kind) {
        case ReportStatus:
            m_events.Status(m_port, reinterpret_cast<const char*>(value));
            break;
        case ReportTotal:
            m_total = static_cast<int32_t>(value);
            m_events.Total(m_port, static_cast<int32_t>(value));
            break;
        case ReportProgress:
            m_bytesDone = static_cast<int32_t>(value);
            m_events.Progress(m_port, static_cast<int32_t>(value));
            break;
        default:
            break;
    }
}

void CPortRun::Run(const uint8_t* image, uint32_t start, uint32_t end) {
    CMessageRouter::BindThread(m_port);
    for (int attempt = 1;; ++attempt) {
        m_attempt = attempt;
        const RunRecord record = Attempt(image, start, end, attempt);
        m_outcome = record.outcome;
        if (!TriesAgain(record, attempt, m_settings.retries, m_portMissing, StopAsked())) {
            break;
        }
        std::unique_lock<std::mutex> lock(m_pauseMutex);
        if (m_pauseEnd.wait_for(lock, m_settings.retryPause, [this] { return StopAsked(); })) {
            break;
        }
    }
    m_finished = true;
    if (m_settings.onEnd) {
        m_settings.onEnd();
    }
}

RunRecord CPortRun::Attempt(const uint8_t* image, uint32_t start, uint32_t end, int attempt) {
    m_bytesDone = 0;
    m_total = 0;
    m_portMissing = false;
    m_router.ClearFailures(m_port);
    m_events.Begin(m_port, attempt);
    // A cancel that came during the pause before this attempt, or before the run began, is
    // the next poll's to see.
    const auto started = std::chrono::steady_clock::now();
    const int programmed = m_programmer.ProgramDevice(image, start, end, this, WM_LOAD_REPORT,
                                                      m_cancelEvent, m_openPath.c_str());
    RunRecord record;
    record.attempt = attempt;
    record.instrument = m_instrument;
    record.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    record.bytes = m_bytesDone.load();
    record.total = m_total.load();
    record.blockRate = m_programmer.BlockBaudRate();
    record.blocks = m_programmer.LastBlockTiming();
    const IdentifyBytes identify = m_programmer.LastIdentify();
    record.identify.assign(identify.bytes, identify.bytes + identify.count);

    if (programmed == 1) {
        record.outcome = RunOutcome::Done;
    } else {
        record.error = m_router.FailureText(m_port);
        // A stop that no message told is a cancel's.
        if (record.error.empty() && StopAsked()) {
            record.outcome = RunOutcome::Cancelled;
            record.error = InterruptCount() > 0 ? "interrupted" : "cancelled";
        } else {
            record.outcome = RunOutcome::Failed;
            if (record.error.empty()) {
                record.error = "stopped";
            }
        }
    }
    if (m_trace.OpenFailed()) {
        const std::string problem = PortOpenProblem(m_openPath);
        if (!problem.empty()) {
            m_events.Note(m_port, problem);
            m_portMissing = problem == kNoSuchPort;
        }
    }
    const std::string slow = SlowReplyNote(record.blocks, record.blockRate);
    if (!slow.empty()) {
        m_events.Note(m_port, slow);
    }
    m_events.Result(m_port, record);
    return record;
}
