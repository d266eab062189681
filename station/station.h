// The bench: a slot for every port it programs, runs started on request (or by themselves on
// a port that appears), every run's events told to every page and its end written to the
// history.  The HTTP layer (http_api) calls the operations below; each answers with an HTTP
// status and a JSON body, and no operation trusts a name it is given: files are shelf names,
// ports are slots.
#pragma once

#include "devtools/sign_library.h"
#include "gang/gang_run.h"
#include "gang/json_events.h"
#include "gang/message_router.h"
#include "image/image_header.h"
#include "station/event_hub.h"
#include "station/history.h"
#include "station/shelf.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct StationSettings {
    std::string shelf;                  // the folder of the files the bench may program
    std::vector<std::string> ports;     // the slots given by name, in order
    std::vector<std::string> watch;     // glob patterns of ports that come and go
    bool listPorts = false;             // no port given: the host's serial ports are the slots
    std::string autoFile;               // programmed on every port that appears (empty: none)
    SignAppFn signApp = nullptr;        // signs every image first (null: no signing)
    PortRunSettings run;                // the block rate and retries of every run
    std::string stationName;            // the host's name, in every history row
    int watchIntervalMs = 250;
};

class CStation : public CRunEvents {
public:
    struct Answer {
        int status = 200;
        nlohmann::ordered_json body;
    };

    CStation(StationSettings settings, CHistory& history);
    ~CStation() override;
    CStation(const CStation&) = delete;
    CStation& operator=(const CStation&) = delete;

    // Makes the slots (their last results from the history), checks the automatic file and
    // starts watching the ports.  False with the reason when the automatic file is refused.
    bool Start(std::string* error);
    // Cancels every run before its next block, waits until every run has ended (and is in
    // the history), stops watching and ends every event stream.
    void Stop();

    Answer Ports();
    Answer Shelf();
    Answer Info();
    Answer Stats();
    Answer History(const HistoryFilter& filter);
    std::string HistoryCsvText(const HistoryFilter& filter);
    // POST bodies, already parsed: {"file":F,"ports":[P...][,"block_rate":R]},
    // {"ports":[P...]} or {"all":true}, {"file":F} or {"file":null}.
    Answer StartRuns(const nlohmann::json& request);
    Answer Cancel(const nlohmann::json& request);
    Answer SetAuto(const nlohmann::json& request);

    // A new event stream, which starts with the snapshot; null when too many are open.
    std::shared_ptr<CEventHub::Client> Subscribe();
    void Unsubscribe(const std::shared_ptr<CEventHub::Client>& client);

    // The engine's events, from the runs' threads.
    void Begin(int port, int attempt) override;
    void Status(int port, const char* text) override;
    void Total(int port, int32_t total) override;
    void Progress(int port, int32_t done) override;
    void Message(int port, const char* caption, const char* text) override;
    void Note(int port, const std::string& text) override;
    void Result(int port, const RunRecord& record) override;

private:
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
        CPercentStep percent;
        HistoryRow row;  // the running attempt's row, as inserted
    };
    // One image read, stamped, signed and checked, for the runs of one request.
    struct Prepared {
        std::vector<uint8_t> image;
        uint32_t end = 0;
        StampedHeader header;
        std::string file;
        std::string sha256;
    };
    struct Batch {
        std::shared_ptr<const Prepared> prepared;
        std::unique_ptr<CGangRun> gang;
    };

    bool Prepare(const std::string& file, Prepared* prepared, std::string* refusal);
    Answer StartBatch(const std::string& file, const std::vector<int>& slots,
                      const PortRunSettings& run);
    bool Busy(int slot) const;
    std::string StateOf(const Slot& slot) const;
    nlohmann::ordered_json SlotJson(int slot) const;
    nlohmann::ordered_json SnapshotLocked() const;
    void PublishLocked(JsonEvent event);
    void PublishSlotLocked(int slot);
    // A run's event, with the run's id and attempt added.
    void PublishRunEventLocked(const Slot& slot, JsonEvent event);
    int FindSlotLocked(const std::string& name) const;
    int AddSlotLocked(const std::string& name, bool watched);
    void Watch();
    void ReapFinishedBatches();

    StationSettings m_settings;
    CHistory& m_history;
    CShelf m_shelf;
    CEventHub m_hub;
    CMessageRouter m_router;

    // Serializes the starts of runs (a request's or an appearing port's): the check that no
    // slot is running and the start of its run are one step.
    std::mutex m_startMutex;
    // The one process-wide image: preparing a file and reading a shelf file's information.
    std::mutex m_imageMutex;
    // The slots, the batches, the automatic file; every event is published under it, so the
    // streams see the states' changes in their order.
    mutable std::mutex m_mutex;
    std::vector<std::unique_ptr<Slot>> m_slots;
    std::list<Batch> m_batches;
    std::string m_autoFile;

    std::thread m_watcher;
    std::mutex m_watchMutex;
    std::condition_variable m_watchWake;
    bool m_stopping = false;
    int m_fileToken = 0;  // its address is the handle of the files' own reports and messages
};
