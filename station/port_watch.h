// Watching the bench's ports, and the automatic file.  Four times a second the watcher
// matches the watched glob patterns again (a new slot for every new path), looks at every
// slot's port (an adapter unplugged takes its device and its by-id link with it), tells the
// pages of each port that appears or goes, and programs a port that appears with the
// automatic file of that moment, once each time it appears.  A port that appears holds an
// instrument the bench knows nothing of yet: its slot starts idle, whatever the instrument
// before it left on the slot.  It also lets go of the batches
// whose runs have ended.
#pragma once

#include "port_runs/port_run.h"
#include "station/answer.h"
#include "station/batches.h"
#include "station/prepared_file.h"
#include "station/shelf.h"
#include "station/slots.h"

#include <nlohmann/json.hpp>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Every path that matches one of the glob patterns, each once, in the patterns' order.
std::vector<std::string> MatchWatchPatterns(const std::vector<std::string>& patterns);

// True when the path leads to something (a link to a device that is gone does not).
bool PortPresent(const std::string& path);

struct PortWatchSettings {
    std::vector<std::string> patterns;  // glob patterns of ports that come and go
    int intervalMs = 250;
    PortRunSettings run;  // how a port that appears is programmed
    // Every run must name its instrument: a port that appears has no serial, so the
    // automatic file is refused.
    bool requireInstrument = false;
};

class CPortWatch {
public:
    CPortWatch(PortWatchSettings settings, CSlots& slots, CBatches& batches, const CShelf& shelf,
               CFilePreparer& preparer);
    ~CPortWatch();
    CPortWatch(const CPortWatch&) = delete;
    CPortWatch& operator=(const CPortWatch&) = delete;

    // A slot for every watched path there is now.  The caller holds the slots' lock.
    void AddWatchedSlotsLocked();
    void Start();
    void Stop();

    // {"file":F} or {"file":null}: the automatic file from now on, refused (400, 422) as a
    // request's file would be; the pages hear {"event":"auto","file":F}.  The runs it starts
    // record `operatorName` (who set it; empty for none) as their operator.
    ApiAnswer SetAuto(const nlohmann::json& request, const std::string& operatorName = {});
    // The automatic file; empty for none.  The caller holds the slots' lock.
    const std::string& AutoFileLocked() const { return m_autoFile; }

private:
    void Watch();

    const PortWatchSettings m_settings;
    CSlots& m_slots;
    CBatches& m_batches;
    const CShelf& m_shelf;
    CFilePreparer& m_preparer;
    std::string m_autoFile;      // under the slots' lock
    std::string m_autoOperator;  // who set it, under the slots' lock

    std::thread m_watcher;
    std::mutex m_wakeMutex;
    std::condition_variable m_wake;
    bool m_stopping = false;
};
