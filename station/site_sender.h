// The station's copy of its history in the site database: a thread that sends the history's
// unsent rows (the outbox) in id order, a batch at a time, each batch one PostgreSQL
// transaction, and records them sent only after the site committed them.  A crash anywhere
// sends a row again and never loses one, and a row sent twice changes nothing: the site keeps
// the highest revision of each row.
//
// Nothing on a run's path waits for it: a run's write only wakes the thread.  When the site
// can't be reached, refuses, or breaks off, the sender tries again after a pause that doubles
// from 1 s to 60 s, and sends the backlog once the site answers.
#pragma once

#include "station/history.h"
#include "station/site_connection.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

struct SiteSettings {
    std::string conninfo;  // empty: no site
    std::string name;      // the station's name
    std::string host;      // the host's name
    std::string version;   // the program's
    int batchRows = 500;
    int connectMs = 10000;
    int statementMs = 30000;
    int firstPauseMs = 1000;
    int longestPauseMs = 60000;
    int touchMs = 30000;  // how often an idle station tells the site it still runs
};

class CSiteSender {
public:
    CSiteSender(SiteSettings settings, CHistory& history);
    ~CSiteSender();
    CSiteSender(const CSiteSender&) = delete;
    CSiteSender& operator=(const CSiteSender&) = delete;

    // Told every change of the state ({"event":"site",...}, as Status gives it), on the
    // sender's thread.
    void OnChange(std::function<void(const nlohmann::ordered_json&)> listener);
    // Starts the thread (nothing when there is no site).
    void Start();
    // There is something to send (a row was written).
    void Wake();
    // Sends for up to `drainMs` more while the site answers and rows wait, then stops.
    void Stop(int drainMs = 0);

    // {"state":"off"|"connected"|"unreachable","station_id","pending","last_sent",
    //  "last_error","unreachable_seconds"}
    nlohmann::ordered_json Status();

private:
    enum class State { Off, Connecting, Connected, Unreachable };

    void Run();
    bool Connect(std::string* error);
    // Sends the next batch: the rows sent (0 when none waited), -1 on failure.
    int SendBatch(std::string* error);
    bool Touch(std::string* error);
    void SetState(State state, const std::string& error);
    // Waits up to `ms` or until woken (when `wakeable`) or stopped.
    void Pause(int ms, bool wakeable);

    const SiteSettings m_settings;
    CHistory& m_history;
    CSiteConnection m_connection;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;

    std::mutex m_mutex;  // what follows
    std::condition_variable m_changed;
    bool m_woken = false;
    std::optional<std::chrono::steady_clock::time_point> m_drainUntil;
    State m_state;
    std::optional<std::string> m_lastSent;  // ISO 8601 UTC
    std::optional<std::string> m_lastError;
    std::chrono::steady_clock::time_point m_unreachableSince;
    std::chrono::steady_clock::time_point m_lastTouch;
    std::function<void(const nlohmann::ordered_json&)> m_listener;
};
