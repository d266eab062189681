// The bench's slots: one a port, each with its live state as the page shows it (idle,
// running, done, failed, cancelled, or absent while its port is gone), and the one lock under
// which every slot changes and every event goes to the pages, so that each page sees the
// changes in the order they happened.  A slot is never removed (a port that goes away is
// marked absent), so a slot's index, which is also the engine's port key, stays valid for
// the station's life.
#pragma once

#include "port_runs/json_events.h"
#include "station/event_hub.h"
#include "station/history.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct Slot {
    std::string name;
    bool watched = false;
    bool present = false;
    std::string state = "idle";  // idle, running, done, failed, cancelled
    std::string phase;
    int32_t bytes = 0;
    int32_t total = 0;
    std::string file;
    int64_t run = 0;
    std::string error;
    std::string note;
    int attempt = 0;
    int32_t blockRate = 0;
    double seconds = 0.0;
    double blockMs = 0.0;
    std::string started;
    std::string instrument;    // the serial of the unit of the slot's run; empty for none
    std::string operatorName;  // who started the slot's run; empty for none
    CPercentStep percent;
    HistoryRow row;  // the running attempt's row, as inserted
};

// The state a finished history row leaves its slot in.
std::string SlotStateOfResult(const std::string& result);

class CSlots {
public:
    explicit CSlots(CEventHub& hub) : m_hub(hub) {}
    CSlots(const CSlots&) = delete;
    CSlots& operator=(const CSlots&) = delete;

    // The lock of the slots (and of what the bench keeps beside them: its batches and its
    // automatic file).  Every ...Locked function wants it held.
    std::mutex& Mutex() const { return m_mutex; }

    // The slot's index, -1 when there is none of that name.
    int FindLocked(const std::string& name) const;
    // A new slot; its index.
    int AddLocked(const std::string& name, bool watched, bool present);
    Slot& AtLocked(int index) { return *m_slots[static_cast<size_t>(index)]; }
    int CountLocked() const { return static_cast<int>(m_slots.size()); }
    // The last result of each port stays on its slot until its next run.
    void RestoreLocked(const std::vector<HistoryRow>& latestPerPort);
    // A port that has come back holds another instrument, or one that was seen to: its slot
    // starts idle, with nothing of the run before (which stays in the history).
    void ForgetRunLocked(int index);

    // The slot as its run's events name it: the port and the instrument on it.
    EventPort EventPortLocked(int index) const;
    // A slot as the API gives it, and all of them: {"ports":[...]}.
    nlohmann::ordered_json JsonLocked(int index) const;
    nlohmann::ordered_json SnapshotLocked() const;

    // An event to every page; a slot's state ({"event":"slot",...}); a run's event, with the
    // run's id and attempt (and its operator, when one started it) added.
    void PublishLocked(const JsonEvent& event);
    void PublishSlotLocked(int index);
    void PublishRunEventLocked(const Slot& slot, JsonEvent event);

    // A page's event stream, starting with the snapshot; null when too many are open.
    std::shared_ptr<CEventHub::Client> Subscribe();
    void Unsubscribe(const std::shared_ptr<CEventHub::Client>& client);

private:
    // The state the API gives: a port that is gone is absent unless it is still running.
    static std::string StateOf(const Slot& slot);

    CEventHub& m_hub;
    mutable std::mutex m_mutex;
    std::vector<std::unique_ptr<Slot>> m_slots;
};
