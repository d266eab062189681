// The bench's operations: the requests checked and handed to the part that carries them out.
#include "station/station.h"

#include "port_runs/instrument_serial.h"
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

// The serials of a request's "instruments" ({"PORT":"SERIAL",...}), one for each of its ports
// in their order (empty for a port without one).  False with the reason, which names the
// port, when one can't be used; nothing has started then.
bool RequestSerials(const nlohmann::json& request, const std::vector<std::string>& ports,
                    bool required, std::vector<std::string>* serials, std::string* error) {
    serials->assign(ports.size(), std::string());
    const auto given = request.find("instruments");
    if (given != request.end() && !given->is_null()) {
        if (!given->is_object()) {
            *error = "\"instruments\" must map each port to its instrument's serial number";
            return false;
        }
        for (const auto& [port, value] : given->items()) {
            const auto at = std::find(ports.begin(), ports.end(), port);
            if (at == ports.end()) {
                *error = "a serial number for " + port + ", which the request does not program";
                return false;
            }
            std::string why;
            if (!value.is_string()) {
                *error = "the instrument on " + port + ": the serial number is no text";
                return false;
            }
            if (!CleanInstrumentSerial(value.get<std::string>(),
                                       &(*serials)[static_cast<size_t>(at - ports.begin())],
                                       &why)) {
                *error = "the instrument on " + port + ": " + why;
                return false;
            }
        }
    }
    size_t first = 0, second = 0;
    if (SameSerialTwice(*serials, &first, &second)) {
        *error = "the serial number " + (*serials)[first] + " is given for " + ports[first] +
                 " and for " + ports[second];
        return false;
    }
    for (size_t i = 0; required && i < ports.size(); ++i) {
        if ((*serials)[i].empty()) {
            *error = "the instrument on " + ports[i] +
                     " has no serial number, and this station wants one for every run";
            return false;
        }
    }
    return true;
}

PortWatchSettings WatchSettings(const StationSettings& settings) {
    PortWatchSettings watch;
    watch.requireInstrument = settings.requireInstrument;
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

CStation::Answer CStation::StartRuns(const nlohmann::json& request,
                                     const std::string& operatorName) {
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
    std::vector<std::string> serials;
    std::string error;
    if (!RequestSerials(request, names, m_settings.requireInstrument, &serials, &error)) {
        return ErrorAnswer(400, error);
    }
    return m_batches.Start(file, slots, run, serials, operatorName);
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

CStation::Answer CStation::SetAuto(const nlohmann::json& request, const std::string& operatorName) {
    return m_watch.SetAuto(request, operatorName);
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
                      {"retries", m_settings.run.retries},
                      {"require_instrument", m_settings.requireInstrument}}};
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

std::unique_ptr<CHistoryCursor> CStation::SelectHistory(const HistoryFilter& filter,
                                                        std::string* error) {
    return m_history.Select(filter, error);
}

CStation::Answer CStation::Instrument(const std::string& serial) {
    Json runs = Json::array();
    Json current = nullptr;
    for (const HistoryRow& row : m_history.InstrumentRuns(serial)) {
        if (current.is_null() && row.result == "done") {
            current = HistoryRowJson(row);
        }
        runs.push_back(HistoryRowJson(row));
    }
    if (runs.empty()) {
        return ErrorAnswer(404, "the history has no run of the instrument " + serial);
    }
    return {200, Json{{"instrument", serial}, {"current", current}, {"runs", runs}}};
}

CStation::Answer CStation::Carriers(const std::string& fileSha256, bool ever) {
    Json units = Json::array();
    for (const HistoryRow& row : m_history.CarriersOf(fileSha256, ever)) {
        units.push_back(
            Json{{"instrument", row.instrument.value_or("")}, {"current", HistoryRowJson(row)}});
    }
    return {200, Json{{"instruments", units}}};
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
