// The station's questions to the site database, across every station: the stations and their
// day, the runs (the filters of the station's own history, and the station), a unit's record
// and the units that carry a file.  Answered on connections of their own, never the sender's,
// with every value a bound parameter; 503 with the reason while the site can't be reached.
#pragma once

#include "station/answer.h"
#include "station/site_connection.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct SiteHistoryFilter {
    int limit = 50;
    std::string port, result, file, instrument, operatorName, fileSha256;
    std::string since, until;  // ISO 8601: started at or after, before
    std::string station;       // the name the runs carry, or a station's id
};

class CSiteQueries {
public:
    // `conninfo` empty: there is no site, and every question is answered 503.
    explicit CSiteQueries(std::string conninfo) : m_conninfo(std::move(conninfo)) {}
    ~CSiteQueries() { Stop(); }
    CSiteQueries(const CSiteQueries&) = delete;
    CSiteQueries& operator=(const CSiteQueries&) = delete;

    // {"since":TIME,"stations":[{"id","name","host","version","first_seen","last_seen",
    //  "done","failed","yield"}]}, today's counts from local midnight.
    ApiAnswer Stations();
    // {"runs":[ROW...]} newest first; each row as the history gives it plus "station_id".
    ApiAnswer History(const SiteHistoryFilter& filter);
    // {"instrument","current":ROW|null,"runs":[ROW...]}: the unit's runs on every station,
    // newest first, and its newest done run.
    ApiAnswer Instrument(const std::string& serial);
    // {"instruments":[{"instrument","current":ROW}]}: the units whose newest done run wrote
    // the file with this hash.
    ApiAnswer Recall(const std::string& fileSha256);

    // Ends every question at once (the station stops).
    void Stop() { m_stop = true; }

private:
    struct Statement {
        std::string sql;
        CSiteConnection::Params params;
    };
    // Runs the statements on a connection of the pool; their results, or the reason.
    std::vector<PgResult> Run(const std::vector<Statement>& statements, std::string* error);
    ApiAnswer Unreachable(const std::string& error) const;

    const std::string m_conninfo;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::vector<std::unique_ptr<CSiteConnection>> m_idle;
};
