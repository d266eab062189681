// The JSON event objects of a run.
#include "port_runs/json_events.h"

#include <cmath>

namespace {

double Rounded(double value, double unit) {
    return std::round(value / unit) * unit;
}

}  // namespace

JsonEvent StatusEvent(const JsonEvent& port, const std::string& text) {
    return JsonEvent{{"event", "status"}, {"port", port}, {"text", text}};
}

JsonEvent TotalEvent(const JsonEvent& port, int32_t bytes) {
    return JsonEvent{{"event", "total"}, {"port", port}, {"bytes", bytes}};
}

JsonEvent ProgressEvent(const JsonEvent& port, int32_t bytes, int32_t total) {
    return JsonEvent{{"event", "progress"}, {"port", port}, {"bytes", bytes}, {"total", total}};
}

JsonEvent MessageEvent(const JsonEvent& port, const char* caption, const char* text) {
    return JsonEvent{{"event", "message"},
                     {"port", port},
                     {"caption", caption != nullptr ? caption : ""},
                     {"text", text != nullptr ? text : ""}};
}

JsonEvent NoteEvent(const JsonEvent& port, const std::string& text) {
    return JsonEvent{{"event", "note"}, {"port", port}, {"text", text}};
}

JsonEvent ResultEvent(const JsonEvent& port, const RunRecord& record) {
    const bool ok = record.outcome == RunOutcome::Done;
    JsonEvent event{{"event", "result"},
                    {"port", port},
                    {"ok", ok},
                    {"result", OutcomeName(record.outcome)},
                    {"seconds", Rounded(record.seconds, 0.001)}};
    if (!ok) {
        event["error"] = record.error;
    }
    event["bytes"] = record.bytes;
    if (record.blocks.blocks > 0) {
        event["block_ms"] = Rounded(record.blocks.MeanMs(), 0.01);
    }
    if (!record.identify.empty()) {
        event["identify"] = IdentifyHex(record.identify);
    }
    return event;
}

JsonEvent SummaryEvent(int ok, int failed, double seconds) {
    return JsonEvent{
        {"event", "summary"}, {"ok", ok}, {"failed", failed}, {"seconds", Rounded(seconds, 0.001)}};
}

bool CPercentStep::Next(int32_t done, int32_t total) {
    const int percent = total > 0 ? static_cast<int>(int64_t{done} * 100 / total) : 100;
    if (percent == m_last) {
        return false;
    }
    m_last = percent;
    return true;
}
