// The JSON event objects of a run.
#include "port_runs/json_events.h"

#include <cmath>

namespace {

double Rounded(double value, double unit) {
    return std::round(value / unit) * unit;
}

// An event of a port: its kind, the port and the instrument on it.
JsonEvent PortEvent(const char* kind, const EventPort& port) {
    JsonEvent event{{"event", kind}, {"port", port.name}};
    if (!port.instrument.empty()) {
        event["instrument"] = port.instrument;
    }
    return event;
}

}  // namespace

JsonEvent StatusEvent(const EventPort& port, const std::string& text) {
    JsonEvent event = PortEvent("status", port);
    event["text"] = text;
    return event;
}

JsonEvent TotalEvent(const EventPort& port, int32_t bytes) {
    JsonEvent event = PortEvent("total", port);
    event["bytes"] = bytes;
    return event;
}

JsonEvent ProgressEvent(const EventPort& port, int32_t bytes, int32_t total) {
    JsonEvent event = PortEvent("progress", port);
    event["bytes"] = bytes;
    event["total"] = total;
    return event;
}

JsonEvent MessageEvent(const EventPort& port, const char* caption, const char* text) {
    JsonEvent event = PortEvent("message", port);
    event["caption"] = caption != nullptr ? caption : "";
    event["text"] = text != nullptr ? text : "";
    return event;
}

JsonEvent NoteEvent(const EventPort& port, const std::string& text) {
    JsonEvent event = PortEvent("note", port);
    event["text"] = text;
    return event;
}

JsonEvent ResultEvent(const EventPort& port, const RunRecord& record) {
    const bool ok = record.outcome == RunOutcome::Done;
    // The record's own serial: the run's, whatever the front end keeps beside it.
    JsonEvent event = PortEvent("result", EventPort{port.name, record.instrument});
    event["ok"] = ok;
    event["result"] = OutcomeName(record.outcome);
    event["seconds"] = Rounded(record.seconds, 0.001);
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
