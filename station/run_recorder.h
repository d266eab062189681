// The engine's events on the bench: every run's start, progress and end goes into its slot,
// into the history (a row inserted as each attempt starts, completed as it ends) and, as the
// engine's JSON events with the run's id, to every page.  Events come from every run's
// thread; each is handled under the slots' lock.
#pragma once

#include "port_runs/run_events.h"
#include "station/history.h"
#include "station/prepared_file.h"
#include "station/slots.h"

#include <cstdint>
#include <string>

class CRunRecorder : public CRunEvents {
public:
    // `station` is the name every row carries (the host's).
    CRunRecorder(CSlots& slots, CHistory& history, std::string station);

    // A run of `file` at `blockRate` starts on the slot, on the instrument of that serial
    // number, started by the operator (either empty for none): its first row goes into the
    // history and the slot shows it running.  The run's id, 0 (nothing changed) when the
    // history can't be written.  The caller holds the slots' lock.
    int64_t StartLocked(int index, const PreparedFile& file, int32_t blockRate,
                        const std::string& instrument, const std::string& operatorName);
    // A run that StartLocked recorded but that will never start (its batch could not be):
    // its row and its slot end failed with the reason, so that neither shows it running.
    // The caller holds the slots' lock.
    void AbandonLocked(int index, const std::string& error);

    void Begin(int port, int attempt) override;
    void Status(int port, const char* text) override;
    void Total(int port, int32_t total) override;
    void Progress(int port, int32_t done) override;
    // The file's own messages (kNoPort) are the preparing request's to answer with.
    void Message(int port, const char* caption, const char* text) override;
    void Note(int port, const std::string& text) override;
    void Result(int port, const RunRecord& record) override;

private:
    CSlots& m_slots;
    CHistory& m_history;
    const std::string m_station;
};
