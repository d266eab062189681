// The bench's operations: the requests checked and handed to the part that carries them out.
#include "station/station.h"

#include "port_runs/serial_ports.h"
#include "station/stats.h"

#include <algorithm>

namespace {

using Json = nlohmann::ordered_json;

// A list of names from a request: {"ports":["a","b"]}.  False when it is no list of texts.
bool NameList(const nlohmann::json& request, const char* key, std::vector<std::string>* names) {
    auto it = request.find(key);
    if (it == request.end() || !it->is_array()) {
        return false;
    }
    for (const auto& name : *it) {
        if (!name.is_string()) {
            return false;
        }
        names->push_back(name.get<std::string>());
    }
    return true;
}

PortWatchSettings WatchSettings(const StationSettings& settings) {
    PortWatchSettings watch;
    watch.patterns = settings.watch;
    watch.intervalMs = settings.watchIntervalMs;
    watch.run = settings.run;
    return watch;
}

}  // namespace

CStation::CStation(StationSettings settings, CHistory& history)
    : m_settings(std::move(settings)),
      m_history(history),
      m_shelf(m_settings.shelf),
      m_slots(m_hub),
      m_recorder(m_slots, m_history, m_settings.stationName),
      m_router(m_recorder),
      m_preparer(m_shelf, m_settings.signApp, m_router),
      m_batches(m_slots, m_recorder, m_router, m_preparer),
      m_watch(WatchSettings(m_settings), m_slots, m_batches, m_shelf, m_preparer) {}

CStation::~CStation() {
    Stop();
}

bool CStation::Start(std::string* error) {
    {
        std::lock_guard<std::mutex> lock(m_slots.Mutex());
        std::vector<std::string> names = m_settings.ports;
        if (m_settings.listPorts) {
            for (const SerialPortEntry& port : ListSerialPorts()) {
                names.push_back(port.name);
            }
        }
        for (const std::string& name : names) {
            if (m_slots.FindLocked(name) < 0) {
                m_slots.AddLocked(name, false, PortPresent(PortOpenPath(name)));
            }
        }
        m_watch.AddWatchedSlotsLocked();
        m_slots.RestoreLocked(m_history.LatestPerPort());
    }
    if (!m_settings.autoFile.empty()) {
        const Answer answer = SetAuto(Json{{"file", m_settings.autoFile}});
        if (answer.status != 200) {
            *error = "the automatic file " + m_settings.autoFile +
                     " can't be used: " + answer.body.value("error", std::string());
            return false;
        }
    }
    m_watch.Start();
    return true;
}

void CStation::Stop() {
    if (m_stopped) {
        return;
    }
    m_stopped = true;
    m_watch.Stop();
    m_batches.Stop();
    m_hub.Close();
}

CStation::Answer CStation::StartRuns(const nlohmann::json& request) {
    if (!request.is_object() || !request.contains("file") || !request["file"].is_string()) {
        return ErrorAnswer(400, "the request names no file (\"file\")");
    }
    const std::string file = request["file"].get<std::string>();
    if (!m_shelf.Holds(file)) {
        return ErrorAnswer(400, "no such file on the shelf");
    }
    std::vector<std::string> names;
    if (!NameList(request, "ports", &names) || names.empty()) {
        return ErrorAnswer(400, "the request names no ports (\"ports\")");
    }
    PortRunSettings run = m_settings.run;
    if (request.contains("block_rate")) {
        const auto& rate = request["block_rate"];
        const auto known = std::find(std::begin(kBlockBaudRates), std::end(kBlockBaudRates),
                                     rate.is_number_integer() ? rate.get<int64_t>() : -1);
        if (known == std::end(kBlockBaudRates)) {
            return ErrorAnswer(400, "block_rate must be one of 19200, 38400, 57600, 115200");
        }
        run.blockRate = *known;
    }
    std::vector<int> slots;
    {
        std::lock_guard<std::mutex> lock(m_slots.Mutex());
        for (const std::string& name : names) {
            const int index = m_slots.FindLocked(name);
            if (index < 0) {
                return ErrorAnswer(400, "no such port on the bench: " + name);
            }
            if (std::find(slots.begin(), slots.end(), index) != slots.end()) {
                return ErrorAnswer(400, "the port " + name + " is named twice");
            }
            slots.push_back(index);
        }
    }
    return m_batches.Start(file, slots, run);
}

CStation::Answer CStation::Cancel(const nlohmann::json& request) {
    std::lock_guard<std::mutex> lock(m_slots.Mutex());
    std::vector<int> slots;
    if (request.is_object() && request.value("all", false) == true) {
        for (int i = 0; i < m_slots.CountLocked(); ++i) {
            slots.push_back(i);
        }
    } else {
        std::vector<std::string> names;
        if (!request.is_object() || !NameList(request, "ports", &names) || names.empty()) {
            return ErrorAnswer(400, "the request names no ports (\"ports\") and not \"all\"");
        }
        for (const std::string& name : names) {
            const int index = m_slots.FindLocked(name);
            if (index < 0) {
                return ErrorAnswer(400, "no such port on the bench: " + name);
            }
            slots.push_back(index);
        }
    }
    return {202, Json{{"cancelled", m_batches.CancelLocked(slots)}}};
}

CStation::Answer CStation::SetAuto(const nlohmann::json& request) {
    return m_watch.SetAuto(request);
}

CStation::Answer CStation::Ports() {
    std::lock_guard<std::mutex> lock(m_slots.Mutex());
    return {200, m_slots.SnapshotLocked()};
}

CStation::Answer CStation::Shelf() {
    return {200, m_preparer.ShelfJson()};
}

CStation::Answer CStation::Info() {
    std::lock_guard<std::mutex> lock(m_slots.Mutex());
    const std::string& autoFile = m_watch.AutoFileLocked();
    return {200, Json{{"station", m_settings.stationName},
                      {"version", ORVANE_VERSION},
                      {"signs", m_preparer.Signs()},
                      {"auto", autoFile.empty() ? Json(nullptr) : Json(autoFile)},
                      {"block_rate", m_settings.run.blockRate},
                      {"retries", m_settings.run.retries}}};
}

CStation::Answer CStation::Stats() {
    return {200, DayStats(m_history)};
}

CStation::Answer CStation::History(const HistoryFilter& filter) {
    Json runs = Json::array();
    for (const HistoryRow& row : m_history.Query(filter)) {
        runs.push_back(HistoryRowJson(row));
    }
    return {200, Json{{"runs", runs}}};
}

std::string CStation::HistoryCsvText(const HistoryFilter& filter) {
    return HistoryCsv(m_history.Query(filter));
}

void CStation::Publish(const nlohmann::ordered_json& event) {
    std::lock_guard<std::mutex> lock(m_slots.Mutex());
    m_slots.PublishLocked(event);
}

std::shared_ptr<CEventHub::Client> CStation::Subscribe() {
    return m_slots.Subscribe();
}

void CStation::Unsubscribe(const std::shared_ptr<CEventHub::Client>& client) {
    m_slots.Unsubscribe(client);
}
