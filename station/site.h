// The site: this station's part in the site database that several stations share.  The
// sender copies every row of the history there; the queries ask it about every station.
// Without a connection string the site is off: nothing is sent (the history keeps every row
// unsent, for a site given later) and every question is answered 503.
#pragma once

#include "station/history.h"
#include "station/site_queries.h"
#include "station/site_sender.h"

#include <nlohmann/json.hpp>

#include <functional>

class CSite {
public:
    CSite(SiteSettings settings, CHistory& history)
        : m_history(history), m_queries(settings.conninfo), m_sender(settings, history) {}
    ~CSite() { Stop(0); }
    CSite(const CSite&) = delete;
    CSite& operator=(const CSite&) = delete;

    // Starts sending; every change of the sender's state goes to `publish` as a "site" event.
    void Start(std::function<void(const nlohmann::ordered_json&)> publish);
    // Stops the questions at once and the sender after up to `drainMs` more of sending.
    void Stop(int drainMs);

    CSiteSender& Sender() { return m_sender; }
    CSiteQueries& Queries() { return m_queries; }

private:
    CHistory& m_history;
    CSiteQueries m_queries;
    CSiteSender m_sender;
    bool m_started = false;
};
