// The bench.  Slot indexes are the engine's port keys: a slot is never removed (a port that
// goes away is marked absent), so an index stays valid for the station's life.
#include "station/station.h"

#include "devtools/developer_locations.h"
#include "gang/serial_ports.h"
#include "image/app_image.h"
#include "job/image_info.h"
#include "job/load_job.h"
#include "link/load_report.h"
#include "station/port_watch.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <map>

namespace {

using Json = nlohmann::ordered_json;

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

// The state a finished row leaves its slot in.
std::string StateOfResult(const std::string& result) {
    if (result == "done" || result == "cancelled") {
        return result;
    }
    return result == "running" ? "idle" : "failed";  // failed, interrupted
}

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

CStation::Answer Error(int status, const std::string& text) {
    return {status, Json{{"error", text}}};
}

void Log(const std::string& line) {
    std::fprintf(stderr, "velko-station: %s\n", line.c_str());
    std::fflush(stderr);
}

// Local midnight of today as the history writes times.
std::string TodayStart() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    local.tm_hour = local.tm_min = local.tm_sec = 0;
    const std::time_t midnight = std::mktime(&local);
    std::tm utc{};
    gmtime_r(&midnight, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

std::string UtcText(std::time_t time, const char* format) {
    std::tm utc{};
    gmtime_r(&time, &utc);
    char text[32];
    std::strftime(text, sizeof text, format, &utc);
    return text;
}

}  // namespace

CStation::CStation(StationSettings settings, CHistory& history)
    : m_settings(std::move(settings)),
      m_history(history),
      m_shelf(m_settings.shelf),
      m_router(*this) {
    m_router.BindOwner(&m_fileToken, kNoPort);
    // The files' own status reports are not the page's: it asked, and hears the answer.
    SetReportHandler(&m_fileToken, [](unsigned, uintptr_t, intptr_t) {});
}

CStation::~CStation() {
    Stop();
    SetReportHandler(&m_fileToken, nullptr);
}

bool CStation::Start(std::string* error) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<std::string> names = m_settings.ports;
        if (m_settings.listPorts) {
            for (const SerialPortEntry& port : ListSerialPorts()) {
                names.push_back(port.name);
            }
        }
        for (const std::string& name : names) {
            if (FindSlotLocked(name) < 0) {
                AddSlotLocked(name, false);
            }
        }
        for (const std::string& name : MatchWatchPatterns(m_settings.watch)) {
            if (FindSlotLocked(name) < 0) {
                AddSlotLocked(name, true);
            }
        }
        // The last result of each port stays on its slot until its next run.
        for (const HistoryRow& row : m_history.LatestPerPort()) {
            const int index = FindSlotLocked(row.port);
            if (index < 0) {
                continue;
            }
            Slot& slot = *m_slots[static_cast<size_t>(index)];
            slot.state = StateOfResult(row.result);
            slot.run = row.id;
            slot.file = row.file;
            slot.error = row.error.value_or("");
            slot.bytes = static_cast<int32_t>(row.bytes);
            slot.seconds = row.seconds.value_or(0.0);
            slot.blockMs = row.blockMs.value_or(0.0);
            slot.started = row.started;
            slot.attempt = static_cast<int>(row.attempt);
        }
    }
    if (!m_settings.autoFile.empty()) {
        const Answer answer = SetAuto(Json{{"file", m_settings.autoFile}});
        if (answer.status != 200) {
            *error = "the automatic file " + m_settings.autoFile + " can't be used: " +
                     answer.body.value("error", std::string());
            return false;
        }
    }
    m_watcher = std::thread([this] { Watch(); });
    return true;
}

void CStation::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_watchMutex);
        if (m_stopping) {
            return;
        }
        m_stopping = true;
    }
    m_watchWake.notify_all();
    if (m_watcher.joinable()) {
        m_watcher.join();
    }
    // No run starts from now on (StartBatch looks at m_stopping under the start lock).
    std::lock_guard<std::mutex> startLock(m_startMutex);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (Batch& batch : m_batches) {
            batch.gang->CancelAll();
        }
    }
    // The runs end (each writing its row) without the state lock held.
    for (Batch& batch : m_batches) {
        batch.gang->Join();
    }
    m_batches.clear();
    m_hub.Close();
}

// ---- Slots -------------------------------------------------------------------------------

int CStation::FindSlotLocked(const std::string& name) const {
    for (size_t i = 0; i < m_slots.size(); ++i) {
        if (m_slots[i]->name == name) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

int CStation::AddSlotLocked(const std::string& name, bool watched) {
    auto slot = std::make_unique<Slot>();
    slot->name = name;
    slot->watched = watched;
    slot->present = PortPresent(PortOpenPath(name));
    m_slots.push_back(std::move(slot));
    return static_cast<int>(m_slots.size()) - 1;
}

bool CStation::Busy(int slot) const {
    for (const Batch& batch : m_batches) {
        for (const auto& run : batch.gang->Runs()) {
            if (run->Port() == slot && !run->Finished()) {
                return true;
            }
        }
    }
    return false;
}

std::string CStation::StateOf(const Slot& slot) const {
    if (slot.state != "running" && !slot.present) {
        return "absent";
    }
    return slot.state;
}

Json CStation::SlotJson(int index) const {
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
    return value;
}

Json CStation::SnapshotLocked() const {
    Json ports = Json::array();
    for (size_t i = 0; i < m_slots.size(); ++i) {
        ports.push_back(SlotJson(static_cast<int>(i)));
    }
    return Json{{"ports", ports}};
}

void CStation::PublishLocked(JsonEvent event) {
    m_hub.Publish(event.dump());
}

void CStation::PublishRunEventLocked(const Slot& slot, JsonEvent event) {
    event["run"] = slot.run;
    event["attempt"] = slot.attempt;
    PublishLocked(std::move(event));
}

void CStation::PublishSlotLocked(int slot) {
    Json event{{"event", "slot"}};
    event.update(SlotJson(slot));
    PublishLocked(std::move(event));
}

// ---- Watching ports ----------------------------------------------------------------------

void CStation::Watch() {
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(m_watchMutex);
            if (m_watchWake.wait_for(lock, std::chrono::milliseconds(m_settings.watchIntervalMs),
                                     [this] { return m_stopping; })) {
                return;
            }
        }
        ReapFinishedBatches();
        const std::vector<std::string> matched = MatchWatchPatterns(m_settings.watch);
        std::vector<int> appeared;
        std::string autoFile;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            for (const std::string& name : matched) {
                if (FindSlotLocked(name) < 0) {
                    const int index = AddSlotLocked(name, true);
                    m_slots[static_cast<size_t>(index)]->present = false;  // appears below
                }
            }
            for (size_t i = 0; i < m_slots.size(); ++i) {
                Slot& slot = *m_slots[i];
                const bool present = PortPresent(PortOpenPath(slot.name));
                if (present == slot.present) {
                    continue;
                }
                slot.present = present;
                if (present) {
                    slot.note.clear();
                    appeared.push_back(static_cast<int>(i));
                }
                Log(slot.name + (present ? " appeared" : " went away"));
                PublishSlotLocked(static_cast<int>(i));
            }
            autoFile = m_autoFile;
        }
        // A port that appears is programmed once, with the automatic file of that moment.
        for (int slot : appeared) {
            if (autoFile.empty()) {
                break;
            }
            const Answer answer = StartBatch(autoFile, {slot}, m_settings.run);
            if (answer.status != 202) {
                const std::string why = answer.body.value("error", std::string());
                std::lock_guard<std::mutex> lock(m_mutex);
                const std::string name = m_slots[static_cast<size_t>(slot)]->name;
                Log(name + ": not programmed automatically: " + why);
                PublishLocked(NoteEvent(name, "not programmed automatically: " + why));
            }
        }
    }
}

void CStation::ReapFinishedBatches() {
    std::list<Batch> finished;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_batches.begin(); it != m_batches.end();) {
            if (it->gang->Finished()) {
                finished.splice(finished.end(), m_batches, it++);
            } else {
                ++it;
            }
        }
    }
    // Their threads have ended or are ending: joined here, without the state lock.
}

// ---- Runs --------------------------------------------------------------------------------

bool CStation::Prepare(const std::string& file, Prepared* prepared, std::string* refusal) {
    std::lock_guard<std::mutex> lock(m_imageMutex);
    m_router.ClearFailures(kNoPort);
    uint32_t end = 0;
    const std::string path = m_shelf.PathOf(file);
    if (!PrepareLoadImage(path.c_str(), &m_fileToken, WM_LOAD_REPORT, m_settings.signApp, 0,
                          kExportFilePath, &end)) {
        *refusal = m_router.FailureText(kNoPort);
        if (refusal->empty()) {
            *refusal = "Problem with file";
        }
        return false;
    }
    prepared->image.assign(AppImage, AppImage + ImageSize);
    prepared->end = end;
    prepared->header = ReadStampedHeader();
    prepared->file = file;
    prepared->sha256 = m_shelf.Sha256(file);
    return true;
}

CStation::Answer CStation::StartRuns(const nlohmann::json& request) {
    if (!request.is_object() || !request.contains("file") || !request["file"].is_string()) {
        return Error(400, "the request names no file (\"file\")");
    }
    const std::string file = request["file"].get<std::string>();
    if (!m_shelf.Holds(file)) {
        return Error(400, "no such file on the shelf");
    }
    std::vector<std::string> names;
    if (!NameList(request, "ports", &names) || names.empty()) {
        return Error(400, "the request names no ports (\"ports\")");
    }
    PortRunSettings run = m_settings.run;
    if (request.contains("block_rate")) {
        const auto& rate = request["block_rate"];
        const auto known = std::find(std::begin(kBlockBaudRates), std::end(kBlockBaudRates),
                                     rate.is_number_integer() ? rate.get<int64_t>() : -1);
        if (known == std::end(kBlockBaudRates)) {
            return Error(400, "block_rate must be one of 19200, 38400, 57600, 115200");
        }
        run.blockRate = *known;
    }
    std::vector<int> slots;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const std::string& name : names) {
            const int index = FindSlotLocked(name);
            if (index < 0) {
                return Error(400, "no such port on the bench: " + name);
            }
            if (std::find(slots.begin(), slots.end(), index) != slots.end()) {
                return Error(400, "the port " + name + " is named twice");
            }
            slots.push_back(index);
        }
    }
    return StartBatch(file, slots, run);
}

CStation::Answer CStation::StartBatch(const std::string& file, const std::vector<int>& slots,
                                      const PortRunSettings& run) {
    std::lock_guard<std::mutex> startLock(m_startMutex);
    {
        std::lock_guard<std::mutex> lock(m_watchMutex);
        if (m_stopping) {
            return Error(503, "the station is stopping");
        }
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Json running = Json::array();
        for (int slot : slots) {
            if (Busy(slot)) {
                running.push_back(m_slots[static_cast<size_t>(slot)]->name);
            }
        }
        if (!running.empty()) {
            return {409, Json{{"error", "already running"}, {"ports", running}}};
        }
    }
    // The file, once for the request, before any port is touched.
    auto prepared = std::make_shared<Prepared>();
    std::string refusal;
    if (!Prepare(file, prepared.get(), &refusal)) {
        return Error(422, refusal);
    }

    std::lock_guard<std::mutex> lock(m_mutex);
    Batch batch;
    batch.prepared = prepared;
    batch.gang = std::make_unique<CGangRun>(*this, m_router, nullptr, run);
    Json runs = Json::array();
    for (int index : slots) {
        Slot& slot = *m_slots[static_cast<size_t>(index)];
        HistoryRow row;
        row.started = CHistory::Now();
        row.port = slot.name;
        row.file = file;
        row.fileSha256 = prepared->sha256;
        row.imageCrc = prepared->header.crc;
        row.start = prepared->header.start;
        row.end = prepared->header.end;
        row.station = m_settings.stationName;
        row.version = ORVANE_VERSION;
        row.attempt = 1;
        row.blockRate = run.blockRate;
        row.id = m_history.Insert(row);
        if (row.id == 0) {
            return Error(500, "can't write the history");
        }
        slot.row = row;
        slot.state = "running";
        slot.run = row.id;
        slot.file = file;
        slot.error.clear();
        slot.note.clear();
        slot.phase.clear();
        slot.bytes = slot.total = 0;
        slot.attempt = 1;
        slot.blockRate = run.blockRate;
        slot.seconds = slot.blockMs = 0.0;
        slot.started = row.started;
        batch.gang->Add(slot.name, index);
        runs.push_back(Json{{"id", row.id}, {"port", slot.name}});
        Log("run " + std::to_string(row.id) + " on " + slot.name + " with " + file + " started");
        PublishSlotLocked(index);
    }
    batch.gang->Start(prepared->image.data(), ImageBase, prepared->end);
    m_batches.push_back(std::move(batch));
    return {202, Json{{"runs", runs}}};
}

CStation::Answer CStation::Cancel(const nlohmann::json& request) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<int> slots;
    if (request.is_object() && request.value("all", false) == true) {
        for (size_t i = 0; i < m_slots.size(); ++i) {
            slots.push_back(static_cast<int>(i));
        }
    } else {
        std::vector<std::string> names;
        if (!request.is_object() || !NameList(request, "ports", &names) || names.empty()) {
            return Error(400, "the request names no ports (\"ports\") and not \"all\"");
        }
        for (const std::string& name : names) {
            const int index = FindSlotLocked(name);
            if (index < 0) {
                return Error(400, "no such port on the bench: " + name);
            }
            slots.push_back(index);
        }
    }
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
    return {202, Json{{"cancelled", cancelled}}};
}

CStation::Answer CStation::SetAuto(const nlohmann::json& request) {
    if (!request.is_object() || !request.contains("file")) {
        return Error(400, "the request names no file (\"file\", or null)");
    }
    const auto& value = request["file"];
    std::string file;
    if (!value.is_null()) {
        if (!value.is_string() || !m_shelf.Holds(value.get<std::string>())) {
            return Error(400, "no such file on the shelf");
        }
        file = value.get<std::string>();
        // Refused now rather than on every port that appears.
        Prepared prepared;
        std::string refusal;
        if (!Prepare(file, &prepared, &refusal)) {
            return Error(422, refusal);
        }
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_autoFile = file;
    const Json answer{{"file", file.empty() ? Json(nullptr) : Json(file)}};
    Json event{{"event", "auto"}};
    event.update(answer);
    PublishLocked(event);
    return {200, answer};
}

// ---- The engine's events -----------------------------------------------------------------

void CStation::Begin(int port, int attempt) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Slot& slot = *m_slots[static_cast<size_t>(port)];
    if (attempt > 1) {
        // A retry is a run of its own in the history.
        HistoryRow row = slot.row;
        row.started = CHistory::Now();
        row.attempt = attempt;
        row.id = m_history.Insert(row);
        slot.row = row;
        slot.run = row.id;
        slot.started = row.started;
        Log("run " + std::to_string(row.id) + " on " + slot.name + ": attempt " +
            std::to_string(attempt));
    }
    slot.attempt = attempt;
    slot.state = "running";
    slot.phase.clear();
    slot.bytes = slot.total = 0;
    slot.error.clear();
    PublishSlotLocked(port);
}

void CStation::Status(int port, const char* text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (port == kNoPort) {
        return;
    }
    Slot& slot = *m_slots[static_cast<size_t>(port)];
    slot.phase = LastLine(text != nullptr ? text : "");
    PublishRunEventLocked(slot, StatusEvent(slot.name, text != nullptr ? text : ""));
}

void CStation::Total(int port, int32_t total) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Slot& slot = *m_slots[static_cast<size_t>(port)];
    slot.total = total;
    slot.bytes = 0;
    slot.percent.Reset();
    PublishRunEventLocked(slot, TotalEvent(slot.name, total));
}

void CStation::Progress(int port, int32_t done) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Slot& slot = *m_slots[static_cast<size_t>(port)];
    slot.bytes = done;
    if (slot.percent.Next(done, slot.total)) {
        PublishRunEventLocked(slot, ProgressEvent(slot.name, done, slot.total));
    }
}

void CStation::Message(int port, const char* caption, const char* text) {
    if (port == kNoPort) {
        return;  // the file's own: the request that prepared it answers with them
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    Slot& slot = *m_slots[static_cast<size_t>(port)];
    PublishRunEventLocked(slot, MessageEvent(slot.name, caption, text));
}

void CStation::Note(int port, const std::string& text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Slot& slot = *m_slots[static_cast<size_t>(port)];
    slot.note = text;
    PublishRunEventLocked(slot, NoteEvent(slot.name, text));
}

void CStation::Result(int port, const RunRecord& record) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Slot& slot = *m_slots[static_cast<size_t>(port)];
    HistoryRow row = slot.row;
    row.ended = CHistory::Now();
    row.result = OutcomeName(record.outcome);
    if (record.outcome == RunOutcome::Failed) {
        row.error = record.error;
    } else if (record.outcome == RunOutcome::Cancelled) {
        row.error = record.error;  // "cancelled", or "interrupted" by a signal to the station
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
        Log("run " + std::to_string(row.id) + ": can't write its end to the history");
    }
    slot.state = row.result;
    slot.error = row.error.value_or("");
    slot.bytes = record.bytes;
    slot.seconds = record.seconds;
    slot.blockMs = record.blocks.MeanMs();
    PublishRunEventLocked(slot, ResultEvent(slot.name, record));
    PublishSlotLocked(port);
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f s", record.seconds);
    Log("run " + std::to_string(row.id) + " on " + slot.name + " " + row.result + " in " +
        seconds + (slot.error.empty() ? "" : ": " + slot.error));
}

// ---- Queries -----------------------------------------------------------------------------

CStation::Answer CStation::Ports() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return {200, SnapshotLocked()};
}

CStation::Answer CStation::Shelf() {
    Json files = Json::array();
    for (const std::string& name : m_shelf.List()) {
        std::lock_guard<std::mutex> lock(m_imageMutex);
        const ImageInfo info =
            ReadImageInfo(m_shelf.PathOf(name).c_str(), &m_fileToken, WM_LOAD_REPORT);
        files.push_back(ImageInfoJson(name, info));
    }
    return {200, Json{{"files", files}}};
}

CStation::Answer CStation::Info() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return {200, Json{{"station", m_settings.stationName},
                      {"version", ORVANE_VERSION},
                      {"signs", m_settings.signApp != nullptr},
                      {"auto", m_autoFile.empty() ? Json(nullptr) : Json(m_autoFile)},
                      {"block_rate", m_settings.run.blockRate},
                      {"retries", m_settings.run.retries}}};
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

CStation::Answer CStation::Stats() {
    constexpr int kHours = 24;
    const std::time_t now = std::time(nullptr);
    const std::time_t firstHour = now - now % 3600 - (kHours - 1) * 3600;
    HistoryFilter filter;
    filter.limit = 1000000;
    filter.since = std::min(TodayStart(), UtcText(firstHour, "%Y-%m-%dT%H:%M:%SZ"));
    const std::string today = TodayStart();
    const std::string lastHour = UtcText(now - 3600, "%Y-%m-%dT%H:%M:%SZ");
    std::map<std::string, std::map<std::string, int>> byHour;  // "YYYY-MM-DDTHH" -> result
    std::map<std::string, int> counts;
    int lastHourRuns = 0;
    for (const HistoryRow& row : m_history.Query(filter)) {
        if (row.started >= today) {
            ++counts[row.result];
        }
        if (row.started >= lastHour && row.result != "running") {
            ++lastHourRuns;
        }
        ++byHour[row.started.substr(0, 13)][row.result];
    }
    Json hours = Json::array();
    for (int i = 0; i < kHours; ++i) {
        const std::time_t hour = firstHour + i * 3600;
        const auto& results = byHour[UtcText(hour, "%Y-%m-%dT%H")];
        auto count = [&](const char* result) {
            auto it = results.find(result);
            return it == results.end() ? 0 : it->second;
        };
        hours.push_back(Json{{"hour", UtcText(hour, "%Y-%m-%dT%H:00:00Z")},
                             {"done", count("done")},
                             {"failed", count("failed") + count("interrupted")},
                             {"cancelled", count("cancelled")}});
    }
    const int done = counts["done"];
    const int failed = counts["failed"] + counts["interrupted"];
    Json todayJson{{"since", today},
                   {"done", done},
                   {"failed", failed},
                   {"cancelled", counts["cancelled"]},
                   {"running", counts["running"]},
                   {"yield", done + failed > 0 ? Json(100.0 * done / (done + failed)) : Json(nullptr)},
                   {"runs_last_hour", lastHourRuns}};
    return {200, Json{{"today", todayJson}, {"hours", hours}}};
}

std::shared_ptr<CEventHub::Client> CStation::Subscribe() {
    std::lock_guard<std::mutex> lock(m_mutex);
    Json snapshot{{"event", "snapshot"}};
    snapshot.update(SnapshotLocked());
    return m_hub.Subscribe(snapshot.dump());
}

void CStation::Unsubscribe(const std::shared_ptr<CEventHub::Client>& client) {
    m_hub.Unsubscribe(client);
}
