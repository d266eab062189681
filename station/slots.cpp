// The slots and how the API and the event stream show them.
#include "station/slots.h"

namespace {

using Json = nlohmann::ordered_json;

}  // namespace

std::string SlotStateOfResult(const std::string& result) {
    if (result == "done" || result == "cancelled") {
        return result;
    }
    return result == "running" ? "idle" : "failed";  // failed, interrupted
}

int CSlots::FindLocked(const std::string& name) const {
    for (size_t i = 0; i < m_slots.size(); ++i) {
        if (m_slots[i]->name == name) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

int CSlots::AddLocked(const std::string& name, bool watched, bool present) {
    auto slot = std::make_unique<Slot>();
    slot->name = name;
    slot->watched = watched;
    slot->present = present;
    m_slots.push_back(std::move(slot));
    return static_cast<int>(m_slots.size()) - 1;
}

void CSlots::RestoreLocked(const std::vector<HistoryRow>& latestPerPort) {
    for (const HistoryRow& row : latestPerPort) {
        const int index = FindLocked(row.port);
        if (index < 0) {
            continue;
        }
        Slot& slot = AtLocked(index);
        slot.state = SlotStateOfResult(row.result);
        slot.run = row.id;
        slot.file = row.file;
        slot.error = row.error.value_or("");
        slot.bytes = static_cast<int32_t>(row.bytes);
        slot.seconds = row.seconds.value_or(0.0);
        slot.blockMs = row.blockMs.value_or(0.0);
        slot.started = row.started;
        slot.attempt = static_cast<int>(row.attempt);
        slot.instrument = row.instrument.value_or("");
        slot.operatorName = row.operatorName.value_or("");
    }
}

void CSlots::ForgetRunLocked(int index) {
    Slot& slot = AtLocked(index);
    slot.state = "idle";
    slot.phase.clear();
    slot.bytes = slot.total = 0;
    slot.file.clear();
    slot.run = 0;
    slot.error.clear();
    slot.note.clear();
    slot.attempt = 0;
    slot.blockRate = 0;
    slot.seconds = slot.blockMs = 0.0;
    slot.started.clear();
    slot.instrument.clear();
    slot.operatorName.clear();
    slot.row = HistoryRow{};
}

EventPort CSlots::EventPortLocked(int index) const {
    const Slot& slot = *m_slots[static_cast<size_t>(index)];
    return EventPort{slot.name, slot.instrument};
}

std::string CSlots::StateOf(const Slot& slot) {
    if (slot.state != "running" && !slot.present) {
        return "absent";
    }
    return slot.state;
}

Json CSlots::JsonLocked(int index) const {
    const Slot& slot = *m_slots[static_cast<size_t>(index)];
    Json value{{"name", slot.name},
               {"state", StateOf(slot)},
               {"phase", slot.phase},
               {"bytes", slot.bytes},
               {"total", slot.total},
               {"file", slot.file.empty() ? Json(nullptr) : Json(slot.file)},
               {"run", slot.run == 0 ? Json(nullptr) : Json(slot.run)},
               {"error", slot.error.empty() ? Json(nullptr) : Json(slot.error)}};
    value["present"] = slot.present;
    value["watched"] = slot.watched;
    value["note"] = slot.note.empty() ? Json(nullptr) : Json(slot.note);
    value["attempt"] = slot.attempt;
    value["block_rate"] = slot.blockRate;
    value["started"] = slot.started.empty() ? Json(nullptr) : Json(slot.started);
    value["seconds"] = slot.seconds;
    value["block_ms"] = slot.blockMs;
    value["instrument"] = slot.instrument.empty() ? Json(nullptr) : Json(slot.instrument);
    value["operator"] = slot.operatorName.empty() ? Json(nullptr) : Json(slot.operatorName);
    return value;
}

Json CSlots::SnapshotLocked() const {
    Json ports = Json::array();
    for (size_t i = 0; i < m_slots.size(); ++i) {
        ports.push_back(JsonLocked(static_cast<int>(i)));
    }
    return Json{{"ports", ports}};
}

void CSlots::PublishLocked(const JsonEvent& event) {
    m_hub.Publish(event.dump());
}

void CSlots::PublishRunEventLocked(const Slot& slot, JsonEvent event) {
    event["run"] = slot.run;
    event["attempt"] = slot.attempt;
    if (!slot.operatorName.empty()) {
        event["operator"] = slot.operatorName;
    }
    PublishLocked(event);
}

void CSlots::PublishSlotLocked(int index) {
    Json event{{"event", "slot"}};
    event.update(JsonLocked(index));
    PublishLocked(event);
}

std::shared_ptr<CEventHub::Client> CSlots::Subscribe() {
    std::lock_guard<std::mutex> lock(m_mutex);
    Json snapshot{{"event", "snapshot"}};
    snapshot.update(SnapshotLocked());
    return m_hub.Subscribe(snapshot.dump());
}

void CSlots::Unsubscribe(const std::shared_ptr<CEventHub::Client>& client) {
    m_hub.Unsubscribe(client);
}
