// A port's run: the programming sequence with this run's handle as its report window, so
// that its reports and its owned messages find this port; the run's thread is bound to the
// port for the messages that the sequence shows without an owner.
#include "cli/port_run.h"

#include "cli/console.h"
#include "cli/serial_ports.h"
#include "link/load_report.h"

CPortRun::CPortRun(const std::string& name, CRunOutput& output, CMessageRouter& router,
                   CTraceFile* trace)
    : m_openPath(PortOpenPath(name)),
      m_output(output),
      m_router(router),
      m_port(output.AddPort(name)),
      m_trace(trace, name),
      m_cancelEvent(CreateCancelEvent()) {
    m_programmer.m_link.SetTrace(&m_trace);
    m_router.BindOwner(this, m_port);
    AddInterruptEvent(m_cancelEvent);
    SetReportHandler(this,
                     [this](unsigned, uintptr_t kind, intptr_t value) { OnReport(kind, value); });
}

CPortRun::~CPortRun() {
    Join();
    SetReportHandler(this, nullptr);
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
    SignalCancelEvent(m_cancelEvent);
}

void CPortRun::OnReport(uintptr_t kind, intptr_t value) {
    switch (kind) {
        case ReportStatus:
            m_output.Status(m_port, reinterpret_cast<const char*>(value));
            break;
        case ReportTotal:
            m_total = static_cast<int32_t>(value);
            m_output.Total(m_port, static_cast<int32_t>(value));
            break;
        case ReportProgress:
            m_bytesDone = static_cast<int32_t>(value);
            m_output.Progress(m_port, static_cast<int32_t>(value));
            break;
        default:
            break;
    }
}

void CPortRun::Run(const uint8_t* image, uint32_t start, uint32_t end) {
    CMessageRouter::BindThread(m_port);
    const auto started = std::chrono::steady_clock::now();
    const int programmed = m_programmer.ProgramDevice(image, start, end, this, WM_LOAD_REPORT,
                                                      m_cancelEvent, m_openPath.c_str());
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    Outcome outcome = Outcome::Done;
    std::string failure;
    if (programmed != 1) {
        failure = m_router.FailureText(m_port);
        // A stop that no message told is the cancel's, and only an interrupt cancels.
        outcome = failure.empty() && InterruptCount() > 0 ? Outcome::Interrupted : Outcome::Failed;
        if (outcome == Outcome::Interrupted) {
            failure = "interrupted";
        } else if (failure.empty()) {
            failure = "stopped";
        }
    }
    if (m_trace.OpenFailed()) {
        const std::string problem = PortOpenProblem(m_openPath);
        if (!problem.empty()) {
            m_output.Note(m_port, problem);
        }
    }
    m_output.Result(m_port, outcome == Outcome::Done, seconds, failure);
    m_outcome = outcome;
}
