// The site's questions in SQL.  Every list is ordered newest first by (started, station_id,
// run_id), the order of the runs_started index, so that a first page reads only its rows.
#include "station/site_queries.h"

#include "station/history.h"

#include <cctype>
#include <cstdlib>
#include <ctime>

namespace {

using Json = nlohmann::ordered_json;

constexpr size_t kMaxIdle = 4;
constexpr int kConnectMs = 5000;
constexpr int kStatementMs = 10000;
constexpr int kMaxUnitRuns = 1000;
constexpr char kNewestFirst[] = " ORDER BY started DESC, station_id DESC, run_id DESC";

std::string Time(const char* column) {
    return std::string("to_char(") + column +
           " AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS\"Z\"')";
}

// The columns of a row as the history gives them, then the station's id.
std::string RowColumns(const std::string& table) {
    const std::string t = table.empty() ? "" : table + ".";
    return t + "run_id, " + Time((t + "started").c_str()) + ", " + Time((t + "ended").c_str()) +
           ", " + t + "port, " + t + "file, " + t + "file_sha256, " + t + "image_crc, " + t +
           "start, " + t + "\"end\", " + t + "identify, " + t + "result, " + t + "error, " + t +
           "bytes, " + t + "seconds, " + t + "block_ms, " + t + "station, " + t + "version, " + t +
           "attempt, " + t + "block_rate, " + t + "instrument, " + t + "\"operator\", " + t +
           "station_id";
}

int64_t Int(const PGresult* result, int row, int column) {
    return std::strtoll(PQgetvalue(result, row, column), nullptr, 10);
}

std::optional<double> Real(const PGresult* result, int row, int column) {
    const auto text = PgText(result, row, column);
    return text ? std::optional<double>(std::strtod(text->c_str(), nullptr)) : std::nullopt;
}

// A row selected with RowColumns, as JSON.
Json RowJson(const PGresult* result, int index) {
    HistoryRow row;
    int c = 0;
    row.id = Int(result, index, c++);
    row.started = PgText(result, index, c++).value_or("");
    row.ended = PgText(result, index, c++);
    row.port = PgText(result, index, c++).value_or("");
    row.file = PgText(result, index, c++).value_or("");
    row.fileSha256 = PgText(result, index, c++).value_or("");
    row.imageCrc = Int(result, index, c++);
    row.start = Int(result, index, c++);
    row.end = Int(result, index, c++);
    row.identify = PgText(result, index, c++);
    row.result = PgText(result, index, c++).value_or("");
    row.error = PgText(result, index, c++);
    row.bytes = Int(result, index, c++);
    row.seconds = Real(result, index, c++);
    row.blockMs = Real(result, index, c++);
    row.station = PgText(result, index, c++).value_or("");
    row.version = PgText(result, index, c++).value_or("");
    row.attempt = Int(result, index, c++);
    row.blockRate = Int(result, index, c++);
    row.instrument = PgText(result, index, c++);
    row.operatorName = PgText(result, index, c++);
    Json json = HistoryRowJson(row);
    json["station_id"] = PgText(result, index, c).value_or("");
    return json;
}

Json Rows(const PGresult* result) {
    Json rows = Json::array();
    for (int i = 0; i < PQntuples(result); ++i) {
        rows.push_back(RowJson(result, i));
    }
    return rows;
}

bool IsUuid(const std::string& text) {
    if (text.size() != 36) {
        return false;
    }
    for (size_t i = 0; i < text.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? text[i] != '-' : !std::isxdigit(static_cast<unsigned char>(text[i]))) {
            return false;
        }
    }
    return true;
}

}  // namespace

ApiAnswer CSiteQueries::Unreachable(const std::string& error) const {
    if (m_conninfo.empty()) {
        return ErrorAnswer(503, "this station has no site database (--site)");
    }
    return ErrorAnswer(503, "the site database can't answer: " + error);
}

std::vector<PgResult> CSiteQueries::Run(const std::vector<Statement>& statements,
                                        std::string* error) {
    std::vector<PgResult> results;
    if (m_conninfo.empty()) {
        return results;
    }
    std::unique_ptr<CSiteConnection> connection;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_idle.empty()) {
            connection = std::move(m_idle.back());
            m_idle.pop_back();
        }
    }
    auto connect = [&] {
        connection = std::make_unique<CSiteConnection>();
        CSiteConnection::Limits limits;
        limits.connectMs = kConnectMs;
        limits.statementMs = kStatementMs;
        limits.stop = &m_stop;
        return connection->Connect(m_conninfo, limits, error);
    };
    bool fresh = connection == nullptr;
    if (fresh && !connect()) {
        return {};
    }
    for (;;) {
        results.clear();
        for (const Statement& statement : statements) {
            PgResult result = statement.params.empty()
                                  ? connection->Exec(statement.sql, error)
                                  : connection->Exec(statement.sql, statement.params, error);
            if (result == nullptr) {
                break;
            }
            results.push_back(std::move(result));
        }
        if (results.size() == statements.size()) {
            break;
        }
        // Refused (asking again changes nothing), or broken on a fresh connection; a kept one
        // may have been closed by the site meanwhile: once more on a fresh one then.
        if (connection->Connected() || fresh || !connect()) {
            return {};
        }
        fresh = true;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_idle.size() < kMaxIdle) {
        m_idle.push_back(std::move(connection));
    }
    return results;
}

ApiAnswer CSiteQueries::Stations() {
    const std::string today = CHistory::TodayStart();
    std::string error;
    std::vector<PgResult> results =
        Run({{"SELECT s.id, s.name, s.host, s.version, " + Time("s.first_seen") + ", " +
                  Time("s.last_seen") +
                  ", coalesce(d.done, 0), coalesce(d.failed, 0) FROM velko.stations s"
                  " LEFT JOIN (SELECT station_id, count(*) FILTER (WHERE result = 'done') AS done,"
                  " count(*) FILTER (WHERE result IN ('failed', 'interrupted')) AS failed"
                  " FROM velko.runs WHERE started >= $1::timestamptz GROUP BY station_id) d"
                  " ON d.station_id = s.id ORDER BY s.name, s.id",
              {today}}},
            &error);
    if (results.empty()) {
        return Unreachable(error);
    }
    const PGresult* result = results[0].get();
    Json stations = Json::array();
    for (int i = 0; i < PQntuples(result); ++i) {
        const int64_t done = Int(result, i, 6);
        const int64_t failed = Int(result, i, 7);
        stations.push_back(
            Json{{"id", PgText(result, i, 0).value_or("")},
                 {"name", PgText(result, i, 1).value_or("")},
                 {"host", PgText(result, i, 2).value_or("")},
                 {"version", PgText(result, i, 3).value_or("")},
                 {"first_seen", PgText(result, i, 4).value_or("")},
                 {"last_seen", PgText(result, i, 5).value_or("")},
                 {"done", done},
                 {"failed", failed},
                 {"yield", done + failed > 0 ? Json(100.0 * static_cast<double>(done) /
                                                    static_cast<double>(done + failed))
                                             : Json(nullptr)}});
    }
    return {200, Json{{"since", today}, {"stations", stations}}};
}

ApiAnswer CSiteQueries::History(const SiteHistoryFilter& filter) {
    Statement statement;
    std::string where;
    auto add = [&](const std::string& value, const std::string& condition) {
        if (value.empty()) {
            return;
        }
        statement.params.push_back(value);
        const std::string param = "$" + std::to_string(statement.params.size());
        std::string clause = condition;
        for (size_t at; (at = clause.find('?')) != std::string::npos;) {
            clause.replace(at, 1, param);
        }
        where += (where.empty() ? " WHERE " : " AND ") + clause;
    };
    add(filter.port, "port = ?");
    add(filter.result, "result = ?");
    add(filter.file, "file = ?");
    add(filter.instrument, "instrument = ?");
    add(filter.operatorName, "\"operator\" = ?");
    add(filter.fileSha256, "file_sha256 = ?");
    add(filter.since, "started >= ?::timestamptz");
    add(filter.until, "started < ?::timestamptz");
    add(filter.station, IsUuid(filter.station) ? "station_id = ?::uuid" : "station = ?");
    statement.params.push_back(std::to_string(filter.limit));
    statement.sql = "SELECT " + RowColumns("") + " FROM velko.runs" + where + kNewestFirst +
                    " LIMIT $" + std::to_string(statement.params.size()) + "::bigint";
    std::string error;
    std::vector<PgResult> results = Run({statement}, &error);
    if (results.empty()) {
        return Unreachable(error);
    }
    return {200, Json{{"runs", Rows(results[0].get())}}};
}

ApiAnswer CSiteQueries::Instrument(const std::string& serial) {
    const std::string columns = RowColumns("");
    std::string error;
    std::vector<PgResult> results =
        Run({{"SELECT " + columns + " FROM velko.runs WHERE instrument = $1" + kNewestFirst +
                  " LIMIT " + std::to_string(kMaxUnitRuns),
              {serial}},
             {"SELECT " + columns + " FROM velko.runs WHERE instrument = $1 AND result = 'done'" +
                  kNewestFirst + " LIMIT 1",
              {serial}}},
            &error);
    if (results.empty()) {
        return Unreachable(error);
    }
    const Json current = Rows(results[1].get());
    return {200, Json{{"instrument", serial},
                      {"current", current.empty() ? Json(nullptr) : current[0]},
                      {"runs", Rows(results[0].get())}}};
}

ApiAnswer CSiteQueries::Recall(const std::string& fileSha256) {
    std::string error;
    // The units that ever took the file, then each one's newest done run (from the index of
    // done runs alone): those where it is of the file still carry it, and only their rows are
    // read.
    std::vector<PgResult> results = Run(
        {{"SELECT " + RowColumns("c") +
              " FROM (SELECT DISTINCT instrument FROM velko.runs WHERE file_sha256 = $1"
              " AND result = 'done' AND instrument IS NOT NULL) u"
              " CROSS JOIN LATERAL (SELECT r.station_id, r.run_id, r.file_sha256"
              " FROM velko.runs r WHERE r.instrument = u.instrument AND r.result = 'done'"
              " ORDER BY r.started DESC, r.station_id DESC, r.run_id DESC LIMIT 1) n"
              " JOIN velko.runs c ON c.station_id = n.station_id AND c.run_id = n.run_id"
              " WHERE n.file_sha256 = $1 ORDER BY c.instrument",
          {fileSha256}}},
        &error);
    if (results.empty()) {
        return Unreachable(error);
    }
    Json units = Json::array();
    for (Json& row : Rows(results[0].get())) {
        const Json instrument = row["instrument"];
        units.push_back(Json{{"instrument", instrument}, {"current", std::move(row)}});
    }
    return {200, Json{{"instruments", units}}};
}
