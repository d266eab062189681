// The port watcher, by glob(3) and stat(2): cheap enough to look every quarter second.
#include "station/port_watch.h"

#include "port_runs/json_events.h"
#include "port_runs/serial_ports.h"
#include "station/station_log.h"

#include <glob.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>

std::vector<std::string> MatchWatchPatterns(const std::vector<std::string>& patterns) {
    std::vector<std::string> paths;
    for (const std::string& pattern : patterns) {
        glob_t found{};
        if (glob(pattern.c_str(), GLOB_NOSORT, nullptr, &found) == 0) {
            for (size_t i = 0; i < found.gl_pathc; ++i) {
                const std::string path = found.gl_pathv[i];
                if (std::find(paths.begin(), paths.end(), path) == paths.end()) {
                    paths.push_back(path);
                }
            }
        }
        globfree(&found);
    }
    return paths;
}

bool PortPresent(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

CPortWatch::CPortWatch(PortWatchSettings settings, CSlots& slots, CBatches& batches,
                       const CShelf& shelf, CFilePreparer& preparer)
    : m_settings(std::move(settings)),
      m_slots(slots),
      m_batches(batches),
      m_shelf(shelf),
      m_preparer(preparer) {}

CPortWatch::~CPortWatch() {
    Stop();
}

void CPortWatch::AddWatchedSlotsLocked() {
    for (const std::string& name : MatchWatchPatterns(m_settings.patterns)) {
        if (m_slots.FindLocked(name) < 0) {
            m_slots.AddLocked(name, true, PortPresent(PortOpenPath(name)));
        }
    }
}

void CPortWatch::Start() {
    m_watcher = std::thread([this] { Watch(); });
}

void CPortWatch::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_wakeMutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    if (m_watcher.joinable()) {
        m_watcher.join();
    }
}

ApiAnswer CPortWatch::SetAuto(const nlohmann::json& request, const std::string& operatorName) {
    if (!request.is_object() || !request.contains("file")) {
        return ErrorAnswer(400, "the request names no file (\"file\", or null)");
    }
    const auto& value = request["file"];
    std::string file;
    if (!value.is_null() && m_settings.requireInstrument) {
        return ErrorAnswer(400,
                           "every run needs its instrument's serial number "
                           "(--require-instrument), and a port that appears has none: "
                           "no automatic file");
    }
    if (!value.is_null()) {
        if (!value.is_string() || !m_shelf.Holds(value.get<std::string>())) {
            return ErrorAnswer(400, "no such file on the shelf");
        }
        file = value.get<std::string>();
        // Refused now rather than on every port that appears.
        PreparedFile prepared;
        std::string refusal;
        if (!m_preparer.Prepare(file, &prepared, &refusal)) {
            return ErrorAnswer(422, refusal);
        }
    }
    std::lock_guard<std::mutex> lock(m_slots.Mutex());
    m_autoFile = file;
    m_autoOperator = file.empty() ? std::string() : operatorName;
    const nlohmann::ordered_json answer{
        {"file", file.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(file)}};
    nlohmann::ordered_json event{{"event", "auto"}};
    event.update(answer);
    m_slots.PublishLocked(event);
    return {200, answer};
}

void CPortWatch::Watch() {
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(m_wakeMutex);
            if (m_wake.wait_for(lock, std::chrono::milliseconds(m_settings.intervalMs),
                                [this] { return m_stopping; })) {
                return;
            }
        }
        m_batches.Reap();
        const std::vector<std::string> matched = MatchWatchPatterns(m_settings.patterns);
        std::vector<int> appeared;
        std::string autoFile, autoOperator;
        {
            std::lock_guard<std::mutex> lock(m_slots.Mutex());
            for (const std::string& name : matched) {
                if (m_slots.FindLocked(name) < 0) {
                    m_slots.AddLocked(name, true, false);  // appears below
                }
            }
            for (int i = 0; i < m_slots.CountLocked(); ++i) {
                Slot& slot = m_slots.AtLocked(i);
                const bool present = PortPresent(PortOpenPath(slot.name));
                if (present == slot.present) {
                    continue;
                }
                slot.present = present;
                if (present && slot.state != "running") {
                    // Another instrument, or the same one seen to: the tile must not show
                    // the result of a run it never had.
                    m_slots.ForgetRunLocked(i);
                } else if (!present && slot.state != "running") {
                    slot.instrument.clear();  // the unit went with its port
                }
                if (present) {
                    slot.note.clear();
                    appeared.push_back(i);
                }
                StationLog(slot.name + (present ? " appeared" : " went away"));
                m_slots.PublishSlotLocked(i);
            }
            autoFile = m_autoFile;
            autoOperator = m_autoOperator;
        }
        // A port that appears is programmed once, with the automatic file of that moment.
        for (int slot : appeared) {
            if (autoFile.empty()) {
                break;
            }
            const ApiAnswer answer =
                m_batches.Start(autoFile, {slot}, m_settings.run, {}, autoOperator);
            if (answer.status != 202) {
                const std::string why = answer.body.value("error", std::string());
                std::lock_guard<std::mutex> lock(m_slots.Mutex());
                const std::string name = m_slots.AtLocked(slot).name;
                StationLog(name + ": not programmed automatically: " + why);
                m_slots.PublishLocked(
                    NoteEvent(EventPort{name, {}}, "not programmed automatically: " + why));
            }
        }
    }
}
