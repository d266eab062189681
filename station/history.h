// The station's history: every run in an SQLite file, one row a run (and one a retry), written
// when the run starts and completed when it ends, so that a station that dies in the middle
// loses nothing: at the next start its unfinished rows become "interrupted".
//
// The file is the station's alone while it runs (an exclusive lock beside SQLite's own); it
// carries an application id and a schema version, and an older schema is upgraded in place.
// Writes go through one connection and reads through another, so a long query of the page
// never holds up a run's row.
#pragma once

#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct HistoryRow {
    int64_t id = 0;
    std::string started;  // ISO 8601 UTC
    std::optional<std::string> ended;
    std::string port;
    std::string file;  // the shelf name
    std::string fileSha256;
    int64_t imageCrc = 0;  // as stamped
    int64_t start = 0;     // addresses as stamped
    int64_t end = 0;
    std::optional<std::string> identify;  // upper-case hex; none when no loader answered
    std::string result;                   // running, done, failed, cancelled, interrupted
    std::optional<std::string> error;
    int64_t bytes = 0;
    std::optional<double> seconds;
    std::optional<double> blockMs;
    std::string station;  // host name
    std::string version;
    int64_t attempt = 1;
    int64_t blockRate = 0;
    std::optional<std::string> instrument;    // the unit's serial number as entered
    std::optional<std::string> operatorName;  // the column "operator": who started the run
};

// A row as the outbox to the site database gives it: the row and the revision of its latest
// write (1 as inserted, raised by every write after).
struct OutboxRow {
    HistoryRow row;
    int64_t revision = 0;
};

// What a query asks for: the newest `limit` rows, filtered by the fields given (an empty one
// filters nothing); the filters combine.
struct HistoryFilter {
    int limit = 50;  // 0: every row the filters select
    std::string port, result, file;
    std::string instrument, operatorName, fileSha256;
    std::string search;  // rows whose instrument, operator, file or file hash is this text
    std::string since;   // rows started at or after this ISO 8601 UTC time
    std::string until;   // rows started before this one
};

// A time of the API's filters, ISO 8601 UTC: "2026-12-08T16:07:27Z", "2026-12-08T16:07Z" or
// "2026-12-08" (midnight), as the history writes times.  False for anything else, or a date
// that does not exist.
bool ReadHistoryTime(const std::string& text, std::string* time);

// The rows a filter selects, read one at a time from a connection of their own: an export of
// the whole history holds neither all of it in memory nor the page's reads up.
class CHistoryCursor {
public:
    ~CHistoryCursor();
    CHistoryCursor(const CHistoryCursor&) = delete;
    CHistoryCursor& operator=(const CHistoryCursor&) = delete;

    // The next row; false at the end, or when the database failed (Failed() then).
    bool Next(HistoryRow* row);
    bool Failed() const { return !m_error.empty(); }
    const std::string& Error() const { return m_error; }

private:
    friend class CHistory;
    CHistoryCursor() = default;

    sqlite3* m_db = nullptr;
    sqlite3_stmt* m_statement = nullptr;
    std::string m_error;
    std::atomic<int>* m_open = nullptr;  // the history's count of open cursors
};

class CHistory {
public:
    static constexpr int kSchemaVersion = 4;

    CHistory() = default;
    ~CHistory();
    CHistory(const CHistory&) = delete;
    CHistory& operator=(const CHistory&) = delete;

    // Opens (or creates) the file, takes it for this station, upgrades its schema and marks
    // every row still running as interrupted.  False with the reason in *error when the file
    // is held by another station, is no station history, or can't be used.
    bool Open(const std::string& path, std::string* error);
    void Close();
    // Rows that the last Open found running and marked interrupted.
    int InterruptedAtOpen() const { return m_interruptedAtOpen; }

    // Inserts a row as it starts (result "running", no end); its id, 0 when it failed.
    int64_t Insert(const HistoryRow& row);
    // Completes a row: its end, result, error, bytes, seconds, block time and identify bytes.
    bool Complete(const HistoryRow& row);

    std::vector<HistoryRow> Query(const HistoryFilter& filter);
    // The rows of a filter one by one, newest first; null with the reason when no more
    // cursors may be open at once or the file can't be read.
    std::unique_ptr<CHistoryCursor> Select(const HistoryFilter& filter, std::string* error);
    // The latest row of each port, for the slots' states at start.
    std::vector<HistoryRow> LatestPerPort();

    // Every run of the instrument with that serial number, newest first.
    std::vector<HistoryRow> InstrumentRuns(const std::string& serial);
    // The newest done run of each instrument that carries the file with that hash now (its
    // newest done run is of that file), or with `ever`, that had any done run of it; in the
    // order of their serial numbers.
    std::vector<HistoryRow> CarriersOf(const std::string& fileSha256, bool ever);

    // The current time as the history writes it: "2026-12-08T16:07:27Z".
    static std::string Now();
    // Local midnight of today, written the same way: where "today's" counts begin.
    static std::string TodayStart();

    // The station's identity: a UUID made with the file and kept in it.
    const std::string& StationId() const { return m_stationId; }
    // The outbox to the site database: the oldest `limit` rows whose latest revision was not
    // sent, and how many there are; MarkSent records the revisions that a site committed.
    std::vector<OutboxRow> Unsent(int limit);
    int64_t UnsentCount();
    bool MarkSent(const std::vector<OutboxRow>& rows);
    // Called after every row written (on the writer's thread, under the write lock): it may
    // only take note that there is something to send.
    void SetWriteListener(std::function<void()> listener);

private:
    void Written();

    bool Exec(sqlite3* db, const char* sql, std::string* error);
    bool Upgrade(std::string* error);

    std::string m_path;
    std::atomic<int> m_openCursors{0};
    int m_lockFd = -1;
    sqlite3* m_write = nullptr;
    sqlite3* m_read = nullptr;
    std::mutex m_writeMutex;
    std::mutex m_readMutex;
    int m_interruptedAtOpen = 0;
    std::string m_stationId;
    std::function<void()> m_written;
};

// A row as the API gives it: every column by its name, null where the row has no value.
nlohmann::ordered_json HistoryRowJson(const HistoryRow& row);

// The history as RFC 4180 CSV: the header line, and a row's line (CR LF line ends; fields
// with a comma, a quote or a line break quoted, quotes doubled).
std::string HistoryCsvHeader();
std::string HistoryCsvLine(const HistoryRow& row);
