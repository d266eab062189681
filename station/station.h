// The bench: its slots, the runs it starts on request (or by itself on a port that appears),
// every run's events told to every page and written to the history.  The HTTP layer
// (http_api) calls the operations below; each answers with an HTTP status and a JSON body,
// and no operation trusts a name it is given: files are shelf names, ports are slots.
//
// The parts, each in a file of its own: the slots and their states (slots), the shelf file
// made ready for a request (prepared_file), the batches of runs (batches), the engine's
// events into the history and the streams (run_recorder), watching ports and the automatic
// file (port_watch), the day's statistics (stats).
#pragma once

#include "devtools/sign_library.h"
#include "port_runs/message_router.h"
#include "port_runs/port_run.h"
#include "station/answer.h"
#include "station/batches.h"
#include "station/event_hub.h"
#include "station/history.h"
#include "station/port_watch.h"
#include "station/prepared_file.h"
#include "station/run_recorder.h"
#include "station/shelf.h"
#include "station/slots.h"

#include <nlohmann/json.hpp>

#include <memory>
#include <string>
#include <vector>

struct StationSettings {
    std::string shelf;               // the folder of the files the bench may program
    std::vector<std::string> ports;  // the slots given by name, in order
    std::vector<std::string> watch;  // glob patterns of ports that come and go
    bool listPorts = false;          // no port given: the host's serial ports are the slots
    std::string autoFile;            // programmed on every port that appears (empty: none)
    SignAppFn signApp = nullptr;     // signs every image first (null: no signing)
    PortRunSettings run;             // the block rate and retries of every run
    std::string stationName;         // the host's name, in every history row
    bool requireInstrument = false;  // every run must name its instrument's serial number
    int watchIntervalMs = 250;
};

class CStation {
public:
    using Answer = ApiAnswer;

    CStation(StationSettings settings, CHistory& history);
    ~CStation();
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
    // The rows of the filter one by one, for an export; null with the reason when it can't.
    std::unique_ptr<CHistoryCursor> SelectHistory(const HistoryFilter& filter, std::string* error);
    // An instrument's record: {"instrument","current":ROW or null,"runs":[ROW...]}, 404 for
    // a serial the history has never seen.
    Answer Instrument(const std::string& serial);
    // The recall list of a file by its hash: {"instruments":[{"instrument","current"}...]}.
    Answer Carriers(const std::string& fileSha256, bool ever);
    // POST bodies, already parsed: {"file":F,"ports":[P...][,"block_rate":R]
    // [,"instruments":{P:SERIAL,...}]}, {"ports":[P...]} or {"all":true}, {"file":F} or
    // {"file":null}.  `operatorName` is who asks (empty: no sign-in), which the runs record.
    Answer StartRuns(const nlohmann::json& request, const std::string& operatorName = {});
    Answer Cancel(const nlohmann::json& request);
    Answer SetAuto(const nlohmann::json& request, const std::string& operatorName = {});

    // An event of the station's own to every page (the site's state).
    void Publish(const nlohmann::ordered_json& event);

    // A new event stream, which starts with the snapshot; null when too many are open.
    std::shared_ptr<CEventHub::Client> Subscribe();
    void Unsubscribe(const std::shared_ptr<CEventHub::Client>& client);

private:
    StationSettings m_settings;
    CHistory& m_history;
    CShelf m_shelf;
    CEventHub m_hub;
    CSlots m_slots;
    CRunRecorder m_recorder;
    CMessageRouter m_router;
    CFilePreparer m_preparer;
    CBatches m_batches;
    CPortWatch m_watch;
    bool m_stopped = false;
};
