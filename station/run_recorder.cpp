// The engine's events into the slots, the history and the pages' streams.
#include "station/run_recorder.h"

#include "station/station_log.h"

#include <cstdio>

namespace {

// The last line of a status text, as a tile shows it.
std::string LastLine(const std::string& text) {
    size_t end = text.size();
    while (end > 0 && (text[end - 1] == '\n' || text[end - 1] == '\r')) {
        --end;
    }
    const size_t start = text.rfind('\n', end == 0 ? 0 : end - 1);
    return text.substr(start == std::string::npos ? 0 : start + 1,
                       end - (start == std::string::npos ? 0 : start + 1));
}

}  // namespace

CRunRecorder::CRunRecorder(CSlots& slots, CHistory& history, std::string station)
    : m_slots(slots), m_history(history), m_station(std::move(station)) {}

int64_t CRunRecorder::StartLocked(int index, const PreparedFile& file, int32_t blockRate,
                                  const std::string& instrument, const std::string& operatorName) {
    Slot& slot = m_slots.AtLocked(index);
    HistoryRow row;
    row.started = CHistory::Now();
    row.port = slot.name;
    row.file = file.file;
    row.fileSha256 = file.sha256;
    row.imageCrc = file.header.crc;
    row.start = file.header.start;
    row.end = file.header.end;
    row.station = m_station;
    row.version = ORVANE_VERSION;
    row.attempt = 1;
    row.blockRate = blockRate;
    if (!instrument.empty()) {
        row.instrument = instrument;
    }
    if (!operatorName.empty()) {
        row.operatorName = operatorName;
    }
    row.id = m_history.Insert(row);
    if (row.id == 0) {
        return 0;
    }
    slot.row = row;
    slot.state = "running";
    slot.run = row.id;
    slot.file = file.file;
    slot.error.clear();
    slot.note.clear();
    slot.phase.clear();
    slot.bytes = slot.total = 0;
    slot.attempt = 1;
    slot.blockRate = blockRate;
    slot.seconds = slot.blockMs = 0.0;
    slot.started = row.started;
    slot.instrument = instrument;
    slot.operatorName = operatorName;
    StationLog("run " + std::to_string(row.id) + " on " + slot.name +
               (instrument.empty() ? "" : " [" + instrument + "]") + " with " + file.file +
               " started" + (operatorName.empty() ? "" : " by " + operatorName));
    m_slots.PublishSlotLocked(index);
    return row.id;
}

void CRunRecorder::AbandonLocked(int index, const std::string& error) {
    Slot& slot = m_slots.AtLocked(index);
    HistoryRow row = slot.row;
    row.ended = CHistory::Now();
    row.result = "failed";
    row.error = error;
    if (!m_history.Complete(row)) {
        StationLog("run " + std::to_string(row.id) + ": can't write its end to the history");
    }
    slot.state = row.result;
    slot.error = error;
    m_slots.PublishSlotLocked(index);
    StationLog("run " + std::to_string(row.id) + " on " + slot.name + " failed: " + error);
}

void CRunRecorder::Begin(int port, int attempt) {
    std::lock_guard<std::mutex> lock(m_slots.Mutex());
    Slot& slot = m_slots.AtLocked(port);
    if (attempt > 1) {
        // A retry is a run of its own in the history.
        HistoryRow row = slot.row;
        row.started = CHistory::Now();
        row.attempt = attempt;
        row.id = m_history.Insert(row);
        slot.row = row;
        slot.run = row.id;
        slot.started = row.started;
        StationLog("run " + std::to_string(row.id) + " on " + slot.name + ": attempt " +
                   std::to_string(attempt));
    }
    slot.attempt = attempt;
    slot.state = "running";
    slot.phase.clear();
    slot.bytes = slot.total = 0;
    slot.error.clear();
    m_slots.PublishSlotLocked(port);
}

void CRunRecorder::Status(int port, const char* text) {
    std::lock_guard<std::mutex> lock(m_slots.Mutex());
    if (port == kNoPort) {
        return;
    }
    Slot& slot = m_slots.AtLocked(port);
    slot.phase = LastLine(text != nullptr ? text : "");
    m_slots.PublishRunEventLocked(
        slot, StatusEvent(m_slots.EventPortLocked(port), text != nullptr ? text : ""));
}

void CRunRecorder::Total(int port, int32_t total) {
    std::lock_guard<std::mutex> lock(m_slots.Mutex());
    Slot& slot = m_slots.AtLocked(port);
    slot.total = total;
    slot.bytes = 0;
    slot.percent.Reset();
    m_slots.PublishRunEventLocked(slot, TotalEvent(m_slots.EventPortLocked(port), total));
}

void CRunRecorder::Progress(int port, int32_t done) {
    std::lock_guard<std::mutex> lock(m_slots.Mutex());
    Slot& slot = m_slots.AtLocked(port);
    slot.bytes = done;
    if (slot.percent.Next(done, slot.total)) {
        m_slots.PublishRunEventLocked(
            slot, ProgressEvent(m_slots.EventPortLocked(port), done, slot.total));
    }
}

void CRunRecorder::Message(int port, const char* caption, const char* text) {
    if (port == kNoPort) {
        return;
    }
    std::lock_guard<std::mutex> lock(m_slots.Mutex());
    Slot& slot = m_slots.AtLocked(port);
    m_slots.PublishRunEventLocked(slot, MessageEvent(m_slots.EventPortLocked(port), caption, text));
}

void CRunRecorder::Note(int port, const std::string& text) {
    std::lock_guard<std::mutex> lock(m_slots.Mutex());
    Slot& slot = m_slots.AtLocked(port);
    slot.note = text;
    m_slots.PublishRunEventLocked(slot, NoteEvent(m_slots.EventPortLocked(port), text));
}

void CRunRecorder::Result(int port, const RunRecord& record) {
    std::lock_guard<std::mutex> lock(m_slots.Mutex());
    Slot& slot = m_slots.AtLocked(port);
    HistoryRow row = slot.row;
    row.ended = CHistory::Now();
    row.result = OutcomeName(record.outcome);
    if (record.outcome != RunOutcome::Done) {
        // Failed, or Cancelled: "cancelled", or "interrupted" by a signal to the station.
        row.error = record.error;
    }
    row.bytes = record.bytes;
    row.seconds = record.seconds;
    if (record.blocks.blocks > 0) {
        row.blockMs = record.blocks.MeanMs();
    }
    if (!record.identify.empty()) {
        row.identify = IdentifyHex(record.identify);
    }
    if (!m_history.Complete(row)) {
        StationLog("run " + std::to_string(row.id) + ": can't write its end to the history");
    }
    slot.state = row.result;
    slot.error = row.error.value_or("");
    slot.bytes = record.bytes;
    slot.seconds = record.seconds;
    slot.blockMs = record.blocks.MeanMs();
    m_slots.PublishRunEventLocked(slot, ResultEvent(m_slots.EventPortLocked(port), record));
    m_slots.PublishSlotLocked(port);
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f s", record.seconds);
    StationLog("run " + std::to_string(row.id) + " on " + slot.name + " " + row.result + " in " +
               seconds + (slot.error.empty() ? "" : ": " + slot.error));
}
