// The JSON event objects of a run, made here only: velko-cli writes them one a line with
// --json, the station sends them to every page (adding the run's id).
//
// Every port event names its port, and right after it the serial number of the instrument on
// it when the run was given one: {"event":...,"port":P,"instrument":SN,...}.
//
//   {"event":"status","port":P,"text":T}                 P is null for the file's own events
//   {"event":"total","port":P,"bytes":N}
//   {"event":"progress","port":P,"bytes":N,"total":N}   at each whole percent
//   {"event":"message","port":P,"caption":C,"text":T}
//   {"event":"note","port":P,"text":T}
//   {"event":"result","port":P,"ok":B,"result":R,"seconds":S[,"error":E],"bytes":N
//    [,"block_ms":M][,"identify":HEX]}
//   {"event":"summary","ok":N,"failed":N,"seconds":S}
#pragma once

#include "port_runs/run_events.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

using JsonEvent = nlohmann::ordered_json;

// What an event is about: the port by its name (null for the file's own events) and the
// serial number of the instrument on it (empty when none was given).
struct EventPort {
    JsonEvent name;
    std::string instrument;
};

JsonEvent StatusEvent(const EventPort& port, const std::string& text);
JsonEvent TotalEvent(const EventPort& port, int32_t bytes);
JsonEvent ProgressEvent(const EventPort& port, int32_t bytes, int32_t total);
JsonEvent MessageEvent(const EventPort& port, const char* caption, const char* text);
JsonEvent NoteEvent(const EventPort& port, const std::string& text);
JsonEvent ResultEvent(const EventPort& port, const RunRecord& record);
JsonEvent SummaryEvent(int ok, int failed, double seconds);

// Progress events go out at each whole percent: what a consumer can show, not 4096 events a
// full image.  One per port; Reset at each total.
class CPercentStep {
public:
    void Reset() { m_last = -1; }
    // True when `done` of `total` reaches a whole percent not yet told.
    bool Next(int32_t done, int32_t total);

private:
    int m_last = -1;
};
