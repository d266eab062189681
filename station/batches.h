// The runs the bench starts.  A batch is one request's runs: one prepared file, and each of the
// request's slots programmed by a run of its own (the engine's gang run).  Starts are one at
// a time: the check that none of the slots is running and the start of their runs are one
// step, so two requests never start the same port.  A batch stays until all its runs have
// ended (the port watcher reaps it); stopping the bench cancels every run before its next
// block and waits until each has written its end to the history.
#pragma once

#include "port_runs/gang_run.h"
#include "port_runs/message_router.h"
#include "station/answer.h"
#include "station/prepared_file.h"
#include "station/run_recorder.h"
#include "station/slots.h"

#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class CBatches {
public:
    CBatches(CSlots& slots, CRunRecorder& recorder, CMessageRouter& router,
             CFilePreparer& preparer);
    ~CBatches();
    CBatches(const CBatches&) = delete;
    CBatches& operator=(const CBatches&) = delete;

    // Prepares the file, then starts a run on every slot: 202 {"runs":[{"id","port"}]}; 409
    // {"error":"already running","ports":[...]} when any of them runs (none started); 422
    // when the file is refused; 503 once the bench is stopping.  `instruments` holds the
    // serial of each slot's unit in the slots' order (empty for none, or no entries at all);
    // `operatorName` who asked (empty: none).
    ApiAnswer Start(const std::string& file, const std::vector<int>& slots,
                    const PortRunSettings& run, const std::vector<std::string>& instruments = {},
                    const std::string& operatorName = {});
    // Asks the running run of each slot to stop before its next block; the names of the
    // ports asked.  The caller holds the slots' lock.
    nlohmann::ordered_json CancelLocked(const std::vector<int>& slots);
    // Lets go of the batches whose runs have all ended.
    void Reap();
    // No run starts from now on; every run is cancelled, and waited for.
    void Stop();

private:
    struct Batch {
        std::shared_ptr<const PreparedFile> prepared;
        std::unique_ptr<CGangRun> gang;
    };

    // True while a run of the slot has not ended.  The caller holds the slots' lock.
    bool BusyLocked(int slot) const;

    CSlots& m_slots;
    CRunRecorder& m_recorder;
    CMessageRouter& m_router;
    CFilePreparer& m_preparer;
    // Serializes the starts of runs (a request's or an appearing port's).
    std::mutex m_startMutex;
    bool m_stopping = false;     // under m_startMutex
    std::list<Batch> m_batches;  // under the slots' lock
};
