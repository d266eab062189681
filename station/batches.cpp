// Starting, cancelling and reaping the bench's batches of runs.
#include "station/batches.h"

#include "image/app_image.h"

#include <algorithm>

namespace {

using Json = nlohmann::ordered_json;

}  // namespace

CBatches::CBatches(CSlots& slots, CRunRecorder& recorder, CMessageRouter& router,
                   CFilePreparer& preparer)
    : m_slots(slots), m_recorder(recorder), m_router(router), m_preparer(preparer) {}

CBatches::~CBatches() {
    Stop();
}

bool CBatches::BusyLocked(int slot) const {
    for (const Batch& batch : m_batches) {
        for (const auto& run : batch.gang->Runs()) {
            if (run->Port() == slot && !run->Finished()) {
                return true;
            }
        }
    }
    return false;
}

ApiAnswer CBatches::Start(const std::string& file, const std::vector<int>& slots,
                          const PortRunSettings& run, const std::vector<std::string>& instruments,
                          const std::string& operatorName) {
    std::lock_guard<std::mutex> startLock(m_startMutex);
    if (m_stopping) {
        return ErrorAnswer(503, "the station is stopping");
    }
    {
        std::lock_guard<std::mutex> lock(m_slots.Mutex());
        Json running = Json::array();
        for (int slot : slots) {
            if (BusyLocked(slot)) {
                running.push_back(m_slots.AtLocked(slot).name);
            }
        }
        if (!running.empty()) {
            return {409, Json{{"error", "already running"}, {"ports", running}}};
        }
        // One unit can't be on two ports: a serial that a running port's instrument has is
        // a label scanned twice, or the wrong one.
        for (int other = 0; other < m_slots.CountLocked(); ++other) {
            const Slot& slot = m_slots.AtLocked(other);
            if (slot.instrument.empty() || !BusyLocked(other) ||
                std::find(instruments.begin(), instruments.end(), slot.instrument) ==
                    instruments.end()) {
                continue;
            }
            return {409, Json{{"error", "the instrument " + slot.instrument +
                                            " is being programmed on " + slot.name},
                              {"ports", Json::array({slot.name})},
                              {"instruments", Json::array({slot.instrument})}}};
        }
    }
    // The file, once for the request, before any port is touched.
    auto prepared = std::make_shared<PreparedFile>();
    std::string refusal;
    if (!m_preparer.Prepare(file, prepared.get(), &refusal)) {
        return ErrorAnswer(422, refusal);
    }

    std::lock_guard<std::mutex> lock(m_slots.Mutex());
    Batch batch;
    batch.prepared = prepared;
    batch.gang = std::make_unique<CGangRun>(m_recorder, m_router, nullptr, run);
    Json runs = Json::array();
    for (size_t i = 0; i < slots.size(); ++i) {
        const int index = slots[i];
        const std::string instrument = i < instruments.size() ? instruments[i] : std::string();
        const int64_t id =
            m_recorder.StartLocked(index, *prepared, run.blockRate, instrument, operatorName);
        if (id == 0) {
            // None of the batch starts: the ports recorded before this one end failed
            // rather than stay running with no run behind them.
            for (size_t j = 0; j < i; ++j) {
                m_recorder.AbandonLocked(slots[j], "can't write the history");
            }
            return ErrorAnswer(500, "can't write the history");
        }
        const std::string& name = m_slots.AtLocked(index).name;
        batch.gang->Add(name, index, instrument);
        runs.push_back(Json{{"id", id}, {"port", name}});
    }
    batch.gang->Start(prepared->image.data(), ImageBase, prepared->end);
    m_batches.push_back(std::move(batch));
    return {202, Json{{"runs", runs}}};
}

Json CBatches::CancelLocked(const std::vector<int>& slots) {
    Json cancelled = Json::array();
    for (int slot : slots) {
        for (Batch& batch : m_batches) {
            for (const auto& run : batch.gang->Runs()) {
                if (run->Port() == slot && !run->Finished()) {
                    run->Cancel();
                    cancelled.push_back(run->Name());
                }
            }
        }
    }
    return cancelled;
}

void CBatches::Reap() {
    std::list<Batch> finished;
    {
        std::lock_guard<std::mutex> lock(m_slots.Mutex());
        for (auto it = m_batches.begin(); it != m_batches.end();) {
            if (it->gang->Finished()) {
                finished.splice(finished.end(), m_batches, it++);
            } else {
                ++it;
            }
        }
    }
    // Their threads have ended or are ending: joined here, without the slots' lock.
}

void CBatches::Stop() {
    std::lock_guard<std::mutex> startLock(m_startMutex);
    if (m_stopping) {
        return;
    }
    m_stopping = true;
    {
        std::lock_guard<std::mutex> lock(m_slots.Mutex());
        for (Batch& batch : m_batches) {
            batch.gang->CancelAll();
        }
    }
    // The runs end (each writing its row) without the slots' lock held.
    for (Batch& batch : m_batches) {
        batch.gang->Join();
    }
    m_batches.clear();
}
