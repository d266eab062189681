// The output of a run: text lines, the live progress display, or JSON events.
#include "cli/run_output.h"

#include "port_runs/message_router.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
constexpr int kSingleBarWidth = 24;
constexpr size_t kMaxNameWidth = 28;

// The lines of a text, without empty ones.
std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        if (end > start) {
            lines.push_back(text.substr(start, end - start));
        }
        start = end + 1;
    }
    return lines;
}

}  // namespace

std::string MessageLine(const char* caption, const char* text) {
    std::string body = text != nullptr ? text : "";
    while (!body.empty() && (body.back() == '\n' || body.back() == '\r')) {
        body.pop_back();
    }
    std::replace(body.begin(), body.end(), '\n', ' ');
    std::replace(body.begin(), body.end(), '\r', ' ');
    const std::string c = caption != nullptr ? caption : "";
    if (!IsFailureMessage(caption, text)) {
        return c + ": " + body;
    }
    // The C array generator names the file it could not open in the caption.
    return IsFailureMessage(caption, nullptr) ? "error: " + body : "error: " + body + " " + c;
}

CRunOutput::CRunOutput(OutputOptions options, std::FILE* out, std::FILE* err)
    : m_options(options), m_out(out), m_err(err) {
    if (m_options.json) {
        m_options.liveProgress = false;
    }
}

CRunOutput::~CRunOutput() {
    // The live display stays as it last stood; what follows goes below it.
    std::lock_guard<std::mutex> lock(m_mutex);
    std::fflush(m_out);
}

int CRunOutput::AddPort(const std::string& name, const std::string& instrument) {
    std::lock_guard<std::mutex> lock(m_mutex);
    PortRecord record;
    record.progress.name = instrument.empty() ? name : name + " [" + instrument + "]";
    record.event = EventPort{name, instrument};
    m_ports.push_back(record);
    return static_cast<int>(m_ports.size()) - 1;
}

EventPort CRunOutput::PortJson(int port) const {
    return port == kNoPort ? EventPort{JsonEvent(nullptr), {}}
                           : m_ports[static_cast<size_t>(port)].event;
}

std::string CRunOutput::Prefix(int port) const {
    if (port == kNoPort || !m_options.portNames) {
        return {};
    }
    return m_ports[static_cast<size_t>(port)].progress.name + ": ";
}

size_t CRunOutput::NameWidth() const {
    size_t width = 5;  // "total"
    for (const PortRecord& port : m_ports) {
        width = std::max(width, port.progress.name.size());
    }
    return std::min(width, kMaxNameWidth);
}

void CRunOutput::Line(std::FILE* stream, const std::string& text) {
    ClearLive();
    if (stream != m_out) {
        std::fflush(m_out);
    }
    std::fputs(text.c_str(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
    RedrawLive(true);
}

void CRunOutput::Event(int port, JsonEvent event) {
    if (m_options.attempts && port != kNoPort) {
        event["attempt"] = m_ports[static_cast<size_t>(port)].attempt;
    }
    std::fputs(event.dump().c_str(), m_out);
    std::fputc('\n', m_out);
    std::fflush(m_out);
}

void CRunOutput::ClearLive() {
    if (m_liveLines > 0) {
        std::fprintf(m_out, "\x1b[%dA\x1b[J", m_liveLines);
        m_liveLines = 0;
    }
}

void CRunOutput::DrawLive() {
    std::vector<std::string> lines;
    if (m_options.portNames) {
        std::vector<PortProgress> all;
        for (const PortRecord& port : m_ports) {
            lines.push_back(GangPortLine(port.progress, NameWidth()));
            all.push_back(port.progress);
        }
        lines.push_back(GangTotalLine(all, NameWidth()));
    } else {
        for (const PortRecord& port : m_ports) {
            if (port.progress.hasTotal && !port.progress.finished) {
                lines.push_back(SinglePortLine(port.progress, kSingleBarWidth));
            }
        }
    }
    for (const std::string& line : lines) {
        std::fputs(FitToColumns(line, m_options.columns).c_str(), m_out);
        std::fputc('\n', m_out);
    }
    m_liveLines = static_cast<int>(lines.size());
    m_lastDraw = ProgressClock::now();
}

void CRunOutput::RedrawLive(bool force) {
    if (!m_options.liveProgress) {
        return;
    }
    if (!force && ProgressClock::now() - m_lastDraw < kRedrawInterval) {
        return;
    }
    ClearLive();
    DrawLive();
    std::fflush(m_out);
}

void CRunOutput::Status(int port, const char* text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const std::string status = text != nullptr ? text : "";
    if (m_options.json) {
        Event(port, StatusEvent(PortJson(port), status));
        return;
    }
    // Only what the text adds behind the one before it is new to the reader.
    std::string added = status;
    if (port != kNoPort) {
        PortRecord& record = m_ports[static_cast<size_t>(port)];
        if (!record.lastStatus.empty() && status.rfind(record.lastStatus, 0) == 0) {
            added = status.substr(record.lastStatus.size());
        }
        record.lastStatus = status;
        const std::vector<std::string> lines = SplitLines(status);
        record.progress.phase = lines.empty() ? std::string() : lines.back();
    }
    // With a live display of several ports the phase column shows the status.
    if (m_options.liveProgress && m_options.portNames && port != kNoPort) {
        RedrawLive(true);
        return;
    }
    for (const std::string& line : SplitLines(added)) {
        Line(m_out, Prefix(port) + line);
    }
}

void CRunOutput::Total(int port, int32_t total) {
    std::lock_guard<std::mutex> lock(m_mutex);
    PortRecord& record = m_ports[static_cast<size_t>(port)];
    record.progress.total = total;
    record.progress.done = 0;
    record.progress.hasTotal = true;
    record.lastTenth = 0;
    record.percent.Reset();
    if (m_options.json) {
        Event(port, TotalEvent(record.event, total));
        return;
    }
    RedrawLive(true);
}

void CRunOutput::Progress(int port, int32_t done) {
    std::lock_guard<std::mutex> lock(m_mutex);
    PortRecord& record = m_ports[static_cast<size_t>(port)];
    PortProgress& progress = record.progress;
    const auto now = ProgressClock::now();
    if (progress.done == 0) {
        progress.firstProgress = now;
    }
    progress.done = done;
    progress.lastProgress = now;
    const int64_t total = progress.total;
    if (m_options.json) {
        if (record.percent.Next(done, progress.total)) {
            Event(port, ProgressEvent(record.event, done, progress.total));
        }
        return;
    }
    if (m_options.liveProgress) {
        RedrawLive(false);
        return;
    }
    const int tenth =
        total > 0 ? static_cast<int>(std::min<int64_t>(10, int64_t{done} * 10 / total)) : 10;
    if (tenth > record.lastTenth) {
        record.lastTenth = tenth;
        Line(m_out, Prefix(port) + ByteText(done, progress.total));
    }
}

void CRunOutput::Message(int port, const char* caption, const char* text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_options.json) {
        Event(port, MessageEvent(PortJson(port), caption, text));
        return;
    }
    Line(m_err, Prefix(port) + MessageLine(caption, text));
}

void CRunOutput::Note(int port, const std::string& text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const std::string name =
        port == kNoPort ? std::string() : m_ports[static_cast<size_t>(port)].progress.name + ": ";
    if (m_options.json) {
        Event(port, NoteEvent(PortJson(port), text));
    }
    Line(m_err, name + text);
}

void CRunOutput::Begin(int port, int attempt) {
    std::lock_guard<std::mutex> lock(m_mutex);
    PortRecord& record = m_ports[static_cast<size_t>(port)];
    record.attempt = attempt;
    record.lastStatus.clear();
    record.progress.finished = false;
    record.progress.hasTotal = false;
    record.progress.done = 0;
    if (attempt > 1 && !m_options.json) {
        Line(m_err, record.progress.name + ": trying again from the start (attempt " +
                        std::to_string(attempt) + ")");
    }
}

void CRunOutput::Result(int port, const RunRecord& runRecord) {
    std::lock_guard<std::mutex> lock(m_mutex);
    PortRecord& record = m_ports[static_cast<size_t>(port)];
    const bool ok = runRecord.outcome == RunOutcome::Done;
    record.seconds = runRecord.seconds;
    record.result = ok ? "done" : runRecord.error;
    if (runRecord.attempt > 1) {
        record.result += " (attempt " + std::to_string(runRecord.attempt) + ")";
    }
    record.progress.finished = true;
    if (!ok) {
        record.progress.phase = "failed";  // why stands above, and in the table at the end
    }
    if (m_options.json) {
        Event(port, ResultEvent(record.event, runRecord));
        return;
    }
    RedrawLive(true);
}

void CRunOutput::Summary(int ok, int failed, double seconds) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_options.json) {
        Event(kNoPort, SummaryEvent(ok, failed, seconds));
        return;
    }
    // The live display stays as it last stood; the table goes below it.
    m_liveLines = 0;
    if (!m_options.portNames) {
        return;
    }
    const int width = static_cast<int>(std::max<size_t>(NameWidth(), 4));
    int resultWidth = 6;
    for (const PortRecord& port : m_ports) {
        resultWidth = std::max(resultWidth, static_cast<int>(port.result.size()));
    }
    std::fputc('\n', m_out);
    std::fprintf(m_out, "%-*s  %-*s  %8s  %8s\n", width, "port", resultWidth, "result", "seconds",
                 "bytes");
    for (const PortRecord& port : m_ports) {
        std::fprintf(m_out, "%s  %-*s  %8.1f  %8d\n",
                     FitPortName(port.progress.name, static_cast<size_t>(width)).c_str(),
                     resultWidth, port.result.c_str(), port.seconds,
                     static_cast<int>(port.progress.done));
    }
    std::fprintf(m_out, "%d of %d ports done, %d failed, in %.1f s\n", ok,
                 static_cast<int>(m_ports.size()), failed, seconds);
    std::fflush(m_out);
}
