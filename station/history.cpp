// The history in SQLite: write-ahead logging, so that readers never wait for the writer and a
// crash of the process loses no committed row (synchronous NORMAL is durable across a process
// crash; a power loss may lose the last rows).  Every statement is prepared with bound values.
#include "station/history.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <iterator>

namespace {

// Marks the file as a station history for anything that opens it ("VELK").
constexpr int kApplicationId = 0x56454C4B;
constexpr int kBusyTimeoutMs = 5000;

// The schema, one step a version: a file at version k runs the steps after k.
const char* const kSchemaSteps[] = {
    // 1: the runs.
    "CREATE TABLE runs ("
    " id INTEGER PRIMARY KEY,"
    " started TEXT NOT NULL,"
    " ended TEXT,"
    " port TEXT NOT NULL,"
    " file TEXT NOT NULL,"
    " file_sha256 TEXT NOT NULL,"
    " image_crc INTEGER NOT NULL,"
    " start INTEGER NOT NULL,"
    " \"end\" INTEGER NOT NULL,"
    " identify TEXT,"
    " result TEXT NOT NULL,"
    " error TEXT,"
    " bytes INTEGER NOT NULL DEFAULT 0,"
    " seconds REAL,"
    " block_ms REAL,"
    " station TEXT NOT NULL,"
    " version TEXT NOT NULL);"
    "CREATE INDEX runs_started ON runs(started);"
    "CREATE INDEX runs_port ON runs(port, id);",
    // 2: retries and the block phase's line rate.
    "ALTER TABLE runs ADD COLUMN attempt INTEGER NOT NULL DEFAULT 1;"
    "ALTER TABLE runs ADD COLUMN block_rate INTEGER NOT NULL DEFAULT 115200;",
    // 3: which unit and whose hands: the instrument's serial number as entered and the
    // operator who started the run (NULL when none), each unit's runs found by its serial,
    // an operator's and a file's by name and by hash, and the units a file was programmed
    // into from the index alone.
    "ALTER TABLE runs ADD COLUMN instrument TEXT;"
    "ALTER TABLE runs ADD COLUMN \"operator\" TEXT;"
    "CREATE INDEX runs_instrument ON runs(instrument, id);"
    "CREATE INDEX runs_operator ON runs(\"operator\", id);"
    "CREATE INDEX runs_file ON runs(file, id);"
    "CREATE INDEX runs_file_carriers ON runs(file_sha256, result, instrument);"
    "CREATE INDEX runs_file_sha256 ON runs(file_sha256, id);",
    // 4: the outbox to the site database and the station's identity.  Every write of a row
    // raises its revision; the sender records the revision it last sent, so a row is unsent
    // while the two differ (every row of an older file is).  The identity is a random UUID
    // (version 4), made once with the file.
    "ALTER TABLE runs ADD COLUMN revision INTEGER NOT NULL DEFAULT 1;"
    "ALTER TABLE runs ADD COLUMN sent_revision INTEGER NOT NULL DEFAULT 0;"
    "CREATE INDEX runs_unsent ON runs(id) WHERE revision > sent_revision;"
    "CREATE TABLE identity (slot INTEGER PRIMARY KEY CHECK (slot = 1), station_id TEXT NOT NULL);"
    "INSERT INTO identity (slot, station_id) SELECT 1, lower(hex(randomblob(4)) || '-' ||"
    " hex(randomblob(2)) || '-4' || substr(hex(randomblob(2)), 2) || '-' ||"
    " substr('89AB', 1 + (random() & 3), 1) || substr(hex(randomblob(2)), 2) || '-' ||"
    " hex(randomblob(6)));",
};
static_assert(std::size(kSchemaSteps) == CHistory::kSchemaVersion);

constexpr char kColumns[] =
    "id, started, ended, port, file, file_sha256, image_crc, start, \"end\", identify, result, "
    "error, bytes, seconds, block_ms, station, version, attempt, block_rate, instrument, "
    "\"operator\"";

// A prepared statement that finalizes itself.
class CStatement {
public:
    CStatement(sqlite3* db, const std::string& sql) {
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &m_statement, nullptr) != SQLITE_OK) {
            m_statement = nullptr;
        }
    }
    // A statement another owns (a cursor's), to read its row.
    explicit CStatement(sqlite3_stmt* borrowed) : m_statement(borrowed), m_owned(false) {}
    ~CStatement() {
        if (m_owned) {
            sqlite3_finalize(m_statement);
        }
    }
    CStatement(const CStatement&) = delete;
    CStatement& operator=(const CStatement&) = delete;

    bool Ok() const { return m_statement != nullptr; }
    sqlite3_stmt* Get() const { return m_statement; }

    void Bind(int index, const std::string& text) {
        sqlite3_bind_text(m_statement, index, text.c_str(), static_cast<int>(text.size()),
                          SQLITE_TRANSIENT);
    }
    void Bind(int index, int64_t value) { sqlite3_bind_int64(m_statement, index, value); }
    void Bind(int index, const std::optional<std::string>& text) {
        if (text) {
            Bind(index, *text);
        } else {
            sqlite3_bind_null(m_statement, index);
        }
    }
    void Bind(int index, const std::optional<double>& value) {
        if (value) {
            sqlite3_bind_double(m_statement, index, *value);
        } else {
            sqlite3_bind_null(m_statement, index);
        }
    }
    int Step() { return sqlite3_step(m_statement); }

    std::string Text(int column) const {
        const unsigned char* text = sqlite3_column_text(m_statement, column);
        return text != nullptr ? reinterpret_cast<const char*>(text) : "";
    }
    std::optional<std::string> OptionalText(int column) const {
        if (sqlite3_column_type(m_statement, column) == SQLITE_NULL) {
            return std::nullopt;
        }
        return Text(column);
    }
    int64_t Int(int column) const { return sqlite3_column_int64(m_statement, column); }
    std::optional<double> OptionalReal(int column) const {
        if (sqlite3_column_type(m_statement, column) == SQLITE_NULL) {
            return std::nullopt;
        }
        return sqlite3_column_double(m_statement, column);
    }

private:
    sqlite3_stmt* m_statement = nullptr;
    bool m_owned = true;
};

// A row from a statement that selected kColumns.
HistoryRow ReadRow(const CStatement& s) {
    HistoryRow row;
    row.id = s.Int(0);
    row.started = s.Text(1);
    row.ended = s.OptionalText(2);
    row.port = s.Text(3);
    row.file = s.Text(4);
    row.fileSha256 = s.Text(5);
    row.imageCrc = s.Int(6);
    row.start = s.Int(7);
    row.end = s.Int(8);
    row.identify = s.OptionalText(9);
    row.result = s.Text(10);
    row.error = s.OptionalText(11);
    row.bytes = s.Int(12);
    row.seconds = s.OptionalReal(13);
    row.blockMs = s.OptionalReal(14);
    row.station = s.Text(15);
    row.version = s.Text(16);
    row.attempt = s.Int(17);
    row.blockRate = s.Int(18);
    row.instrument = s.OptionalText(19);
    row.operatorName = s.OptionalText(20);
    return row;
}

int IntPragma(sqlite3* db, const char* pragma) {
    CStatement s(db, std::string("PRAGMA ") + pragma);
    return s.Ok() && s.Step() == SQLITE_ROW ? static_cast<int>(s.Int(0)) : -1;
}

// A query of the runs made for the filters a request gives: only their conditions, each
// value a bound parameter, so that SQLite can take the index of the most selective one (a
// condition that tests its parameter for emptiness uses no index, and a unit's record would
// read every row of years).
struct RunsQuery {
    std::string sql;
    std::vector<std::string> values;  // ?1, ?2, ... in order
};

// " AND ..." for the filter's conditions but the search, adding their values.
std::string FilterConditions(const HistoryFilter& filter, std::vector<std::string>* values) {
    std::string sql;
    auto equal = [&](const char* column, const std::string& value, const char* op = " = ") {
        if (!value.empty()) {
            values->push_back(value);
            sql += std::string(" AND ") + column + op + "?" + std::to_string(values->size());
        }
    };
    equal("port", filter.port);
    equal("result", filter.result);
    equal("file", filter.file);
    equal("instrument", filter.instrument);
    equal("\"operator\"", filter.operatorName);
    equal("file_sha256", filter.fileSha256);
    equal("started", filter.since, " >= ");
    equal("started", filter.until, " < ");
    return sql;
}

const char* const kSearchColumns[] = {"instrument", "\"operator\"", "file", "file_sha256"};

RunsQuery BuildRunsQuery(const HistoryFilter& filter) {
    RunsQuery query;
    const std::string limit = filter.limit > 0 ? " LIMIT " + std::to_string(filter.limit) : "";
    if (filter.search.empty()) {
        query.sql = std::string("SELECT ") + kColumns + " FROM runs WHERE 1" +
                    FilterConditions(filter, &query.values) + " ORDER BY id DESC" + limit;
        return query;
    }
    query.values.push_back(filter.search);
    const std::string rest = FilterConditions(filter, &query.values);
    if (filter.limit <= 0) {
        // Every row (an export): one pass over the table.
        std::string any;
        for (const char* column : kSearchColumns) {
            any += std::string(any.empty() ? "" : " OR ") + column + " = ?1";
        }
        query.sql = std::string("SELECT ") + kColumns + " FROM runs WHERE (" + any + ")" + rest +
                    " ORDER BY id DESC";
        return query;
    }
    // The newest rows of each column's match, each found through its own index, merged.
    for (const char* column : kSearchColumns) {
        query.sql += std::string(query.sql.empty() ? "" : " UNION ") + "SELECT * FROM (SELECT " +
                     kColumns + " FROM runs WHERE " + column + " = ?1" + rest +
                     " ORDER BY id DESC" + limit + ")";
    }
    query.sql = std::string("SELECT * FROM (") + query.sql + ") ORDER BY id DESC" + limit;
    return query;
}

bool Digits(const std::string& text, size_t at, size_t count, int* value) {
    *value = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (i >= text.size() || text[i] < '0' || text[i] > '9') {
            return false;
        }
        *value = *value * 10 + (text[i] - '0');
    }
    return true;
}

}  // namespace

bool ReadHistoryTime(const std::string& text, std::string* time) {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (text.size() < 10 || !Digits(text, 0, 4, &year) || text[4] != '-' ||
        !Digits(text, 5, 2, &month) || text[7] != '-' || !Digits(text, 8, 2, &day)) {
        return false;
    }
    if (text.size() == 17 || text.size() == 20) {
        if (text[10] != 'T' || !Digits(text, 11, 2, &hour) || text[13] != ':' ||
            !Digits(text, 14, 2, &minute) || text.back() != 'Z') {
            return false;
        }
        if (text.size() == 20 && (text[16] != ':' || !Digits(text, 17, 2, &second))) {
            return false;
        }
    } else if (text.size() != 10) {
        return false;
    }
    static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (month < 1 || month > 12 || day < 1 || day > kDays[month - 1] ||
        (month == 2 && day == 29 && !leap) || hour > 23 || minute > 59 || second > 59) {
        return false;
    }
    char normal[80];  // room for any int, though each is checked above
    std::snprintf(normal, sizeof normal, "%04d-%02d-%02dT%02d:%02d:%02dZ", year, month, day, hour,
                  minute, second);
    *time = normal;
    return true;
}

CHistory::~CHistory() {
    Close();
}

bool CHistory::Exec(sqlite3* db, const char* sql, std::string* error) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        if (error != nullptr) {
            *error = message != nullptr ? message : sqlite3_errmsg(db);
        }
        sqlite3_free(message);
        return false;
    }
    return true;
}

bool CHistory::Open(const std::string& path, std::string* error) {
    Close();
    m_path = path;
    // The lock: on the file itself, which SQLite locks only with fcntl() ranges, never with
    // flock().  Taken before SQLite reads a byte, so a second station never touches it.
    m_lockFd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (m_lockFd < 0) {
        *error = "can't open the history " + path;
        return false;
    }
    struct stat info {};
    if (fstat(m_lockFd, &info) != 0 || !S_ISREG(info.st_mode)) {
        *error = path + " is not a file";
        Close();
        return false;
    }
    if (flock(m_lockFd, LOCK_EX | LOCK_NB) != 0) {
        *error = "the history " + path + " is in use by another station";
        Close();
        return false;
    }
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX;
    if (sqlite3_open_v2(path.c_str(), &m_write, flags, nullptr) != SQLITE_OK) {
        *error = "can't open the history " + path + ": " + sqlite3_errmsg(m_write);
        Close();
        return false;
    }
    sqlite3_busy_timeout(m_write, kBusyTimeoutMs);
    // A file that SQLite can't read as a database fails its first statement.
    const int applicationId = IntPragma(m_write, "application_id");
    if (applicationId < 0) {
        *error = path + " is not a station history (not an SQLite database)";
        Close();
        return false;
    }
    const int tables = [&] {
        CStatement s(m_write, "SELECT count(*) FROM sqlite_master");
        return s.Ok() && s.Step() == SQLITE_ROW ? static_cast<int>(s.Int(0)) : -1;
    }();
    if (applicationId != kApplicationId && !(applicationId == 0 && tables == 0)) {
        *error = path + " is not a station history";
        Close();
        return false;
    }
    std::string why;
    if (!Exec(m_write, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", &why) ||
        !Upgrade(&why)) {
        *error = "can't use the history " + path + ": " + why;
        Close();
        return false;
    }
    {
        CStatement mark(m_write,
                               "UPDATE runs SET result = 'interrupted', ended = ?1, "
                        "error = 'the station stopped during the run', revision = revision + 1 "
                        "WHERE result = 'running'");
        mark.Bind(1, Now());
        if (!mark.Ok() || mark.Step() != SQLITE_DONE) {
            *error = std::string("can't use the history: ") + sqlite3_errmsg(m_write);
            Close();
            return false;
        }
        m_interruptedAtOpen = sqlite3_changes(m_write);
    }
    {
        CStatement identity(m_write, "SELECT station_id FROM identity WHERE slot = 1");
        if (!identity.Ok() || identity.Step() != SQLITE_ROW) {
            *error = "can't use the history " + path + ": it holds no station identity";
            Close();
            return false;
        }
        m_stationId = identity.Text(0);
    }
    if (sqlite3_open_v2(path.c_str(), &m_read, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        *error = "can't read the history " + path;
        Close();
        return false;
    }
    sqlite3_busy_timeout(m_read, kBusyTimeoutMs);
    return true;
}

bool CHistory::Upgrade(std::string* error) {
    const int version = IntPragma(m_write, "user_version");
    if (version > kSchemaVersion) {
        *error = "it was written by a newer station (schema " + std::to_string(version) + ")";
        return false;
    }
    if (version == kSchemaVersion) {
        return true;
    }
    // All steps and the new version in one transaction: a file is never half upgraded.
    std::string script = "BEGIN IMMEDIATE;";
    if (version == 0) {
        script += "PRAGMA application_id=" + std::to_string(kApplicationId) + ";";
    }
    for (int step = version; step < kSchemaVersion; ++step) {
        script += kSchemaSteps[step];
    }
    script += "PRAGMA user_version=" + std::to_string(kSchemaVersion) + "; COMMIT;";
    if (!Exec(m_write, script.c_str(), error)) {
        Exec(m_write, "ROLLBACK;", nullptr);
        return false;
    }
    return true;
}

void CHistory::Close() {
    if (m_read != nullptr) {
        sqlite3_close_v2(m_read);
        m_read = nullptr;
    }
    if (m_write != nullptr) {
        sqlite3_close_v2(m_write);
        m_write = nullptr;
    }
    if (m_lockFd >= 0) {
        close(m_lockFd);
        m_lockFd = -1;
    }
}

int64_t CHistory::Insert(const HistoryRow& row) {
    std::lock_guard<std::mutex> lock(m_writeMutex);
    if (m_write == nullptr) {
        return 0;
    }
    CStatement s(m_write,
                 "INSERT INTO runs (started, port, file, file_sha256, image_crc, start, \"end\", "
                 "result, bytes, station, version, attempt, block_rate, instrument, \"operator\") "
                 "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, 'running', 0, ?8, ?9, ?10, ?11, ?12, ?13)");
    if (!s.Ok()) {
        return 0;
    }
    s.Bind(1, row.started);
    s.Bind(2, row.port);
    s.Bind(3, row.file);
    s.Bind(4, row.fileSha256);
    s.Bind(5, row.imageCrc);
    s.Bind(6, row.start);
    s.Bind(7, row.end);
    s.Bind(8, row.station);
    s.Bind(9, row.version);
    s.Bind(10, row.attempt);
    s.Bind(11, row.blockRate);
    s.Bind(12, row.instrument);
    s.Bind(13, row.operatorName);
    if (s.Step() != SQLITE_DONE) {
        return 0;
    }
    Written();
    return sqlite3_last_insert_rowid(m_write);
}

bool CHistory::Complete(const HistoryRow& row) {
    std::lock_guard<std::mutex> lock(m_writeMutex);
    if (m_write == nullptr) {
        return false;
    }
    CStatement s(m_write,
                 "UPDATE runs SET ended = ?2, result = ?3, error = ?4, bytes = ?5, seconds = ?6, "
                 "block_ms = ?7, identify = ?8, revision = revision + 1 WHERE id = ?1");
    if (!s.Ok()) {
        return false;
    }
    s.Bind(1, row.id);
    s.Bind(2, row.ended);
    s.Bind(3, row.result);
    s.Bind(4, row.error);
    s.Bind(5, row.bytes);
    s.Bind(6, row.seconds);
    s.Bind(7, row.blockMs);
    s.Bind(8, row.identify);
    if (s.Step() != SQLITE_DONE) {
        return false;
    }
    Written();
    return true;
}

std::vector<HistoryRow> CHistory::Query(const HistoryFilter& filter) {
    std::lock_guard<std::mutex> lock(m_readMutex);
    std::vector<HistoryRow> rows;
    if (m_read == nullptr) {
        return rows;
    }
    const RunsQuery query = BuildRunsQuery(filter);
    CStatement s(m_read, query.sql);
    if (!s.Ok()) {
        return rows;
    }
    for (size_t i = 0; i < query.values.size(); ++i) {
        s.Bind(static_cast<int>(i) + 1, query.values[i]);
    }
    while (s.Step() == SQLITE_ROW) {
        rows.push_back(ReadRow(s));
    }
    return rows;
}

std::unique_ptr<CHistoryCursor> CHistory::Select(const HistoryFilter& filter, std::string* error) {
    constexpr int kMaxCursors = 4;  // exports at once; each holds a connection and a snapshot
    if (m_read == nullptr) {
        *error = "the history is closed";
        return nullptr;
    }
    if (m_openCursors.fetch_add(1) >= kMaxCursors) {
        m_openCursors.fetch_sub(1);
        *error = "too many exports of the history at once";
        return nullptr;
    }
    std::unique_ptr<CHistoryCursor> cursor(new CHistoryCursor);
    cursor->m_open = &m_openCursors;
    if (sqlite3_open_v2(m_path.c_str(), &cursor->m_db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        *error = "can't read the history";
        return nullptr;
    }
    sqlite3_busy_timeout(cursor->m_db, kBusyTimeoutMs);
    // A small page cache: an export reads each page once.
    sqlite3_exec(cursor->m_db, "PRAGMA cache_size=-1024", nullptr, nullptr, nullptr);
    const RunsQuery query = BuildRunsQuery(filter);
    if (sqlite3_prepare_v2(cursor->m_db, query.sql.c_str(), -1, &cursor->m_statement, nullptr) !=
        SQLITE_OK) {
        *error = std::string("can't read the history: ") + sqlite3_errmsg(cursor->m_db);
        return nullptr;
    }
    for (size_t i = 0; i < query.values.size(); ++i) {
        sqlite3_bind_text(cursor->m_statement, static_cast<int>(i) + 1, query.values[i].c_str(),
                          static_cast<int>(query.values[i].size()), SQLITE_TRANSIENT);
    }
    return cursor;
}

CHistoryCursor::~CHistoryCursor() {
    sqlite3_finalize(m_statement);
    sqlite3_close_v2(m_db);
    if (m_open != nullptr) {
        m_open->fetch_sub(1);
    }
}

bool CHistoryCursor::Next(HistoryRow* row) {
    if (m_statement == nullptr || !m_error.empty()) {
        return false;
    }
    const int step = sqlite3_step(m_statement);
    if (step == SQLITE_ROW) {
        *row = ReadRow(CStatement(m_statement));
        return true;
    }
    if (step != SQLITE_DONE) {
        m_error = sqlite3_errmsg(m_db);
    }
    return false;
}

std::vector<HistoryRow> CHistory::InstrumentRuns(const std::string& serial) {
    HistoryFilter filter;
    filter.limit = 0;
    filter.instrument = serial;
    return Query(filter);
}

std::vector<HistoryRow> CHistory::CarriersOf(const std::string& fileSha256, bool ever) {
    std::lock_guard<std::mutex> lock(m_readMutex);
    std::vector<HistoryRow> rows;
    if (m_read == nullptr) {
        return rows;
    }
    // The units the file was programmed into, from the index alone; for each its newest done
    // run, through the unit's own index.
    CStatement s(m_read, std::string("SELECT ") + kColumns +
                             " FROM runs WHERE id IN (SELECT (SELECT c.id FROM runs AS c"
                             " WHERE c.instrument = u.instrument AND c.result = 'done'"
                             " ORDER BY c.id DESC LIMIT 1) FROM (SELECT DISTINCT instrument"
                             " FROM runs WHERE file_sha256 = ?1 AND result = 'done'"
                             " AND instrument IS NOT NULL) AS u)" +
                             (ever ? "" : " AND file_sha256 = ?1") + " ORDER BY instrument");
    if (!s.Ok()) {
        return rows;
    }
    s.Bind(1, fileSha256);
    while (s.Step() == SQLITE_ROW) {
        rows.push_back(ReadRow(s));
    }
    return rows;
}

std::vector<HistoryRow> CHistory::LatestPerPort() {
    std::lock_guard<std::mutex> lock(m_readMutex);
    std::vector<HistoryRow> rows;
    if (m_read == nullptr) {
        return rows;
    }
    CStatement s(m_read, std::string("SELECT ") + kColumns +
                             " FROM runs WHERE id IN (SELECT max(id) FROM runs GROUP BY port)");
    while (s.Ok() && s.Step() == SQLITE_ROW) {
        rows.push_back(ReadRow(s));
    }
    return rows;
}

void CHistory::SetWriteListener(std::function<void()> listener) {
    std::lock_guard<std::mutex> lock(m_writeMutex);
    m_written = std::move(listener);
}

void CHistory::Written() {
    if (m_written) {
        m_written();
    }
}

std::vector<OutboxRow> CHistory::Unsent(int limit) {
    std::lock_guard<std::mutex> lock(m_readMutex);
    std::vector<OutboxRow> rows;
    if (m_read == nullptr) {
        return rows;
    }
    // The WHERE is the partial index's own, so that only unsent rows are ever read.
    CStatement s(m_read, std::string("SELECT ") + kColumns +
                             ", revision FROM runs WHERE revision > sent_revision"
                             " ORDER BY id LIMIT ?1");
    if (!s.Ok()) {
        return rows;
    }
    s.Bind(1, int64_t{limit});
    while (s.Step() == SQLITE_ROW) {
        rows.push_back(OutboxRow{ReadRow(s), s.Int(sqlite3_column_count(s.Get()) - 1)});
    }
    return rows;
}

int64_t CHistory::UnsentCount() {
    std::lock_guard<std::mutex> lock(m_readMutex);
    if (m_read == nullptr) {
        return 0;
    }
    CStatement s(m_read, "SELECT count(*) FROM runs WHERE revision > sent_revision");
    return s.Ok() && s.Step() == SQLITE_ROW ? s.Int(0) : 0;
}

bool CHistory::MarkSent(const std::vector<OutboxRow>& rows) {
    std::lock_guard<std::mutex> lock(m_writeMutex);
    if (m_write == nullptr) {
        return false;
    }
    // A row written again while it was on its way keeps its newer revision and stays unsent.
    if (!Exec(m_write, "BEGIN IMMEDIATE", nullptr)) {
        return false;
    }
    CStatement s(m_write,
                 "UPDATE runs SET sent_revision = ?2 WHERE id = ?1 AND sent_revision < ?2");
    bool ok = s.Ok();
    for (size_t i = 0; ok && i < rows.size(); ++i) {
        s.Bind(1, rows[i].row.id);
        s.Bind(2, rows[i].revision);
        ok = s.Step() == SQLITE_DONE;
        sqlite3_reset(s.Get());
    }
    if (!ok) {
        Exec(m_write, "ROLLBACK", nullptr);
        return false;
    }
    return Exec(m_write, "COMMIT", nullptr);
}

namespace {

std::string HistoryTime(std::time_t time) {
    std::tm utc{};
    gmtime_r(&time, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

}  // namespace

std::string CHistory::Now() {
    return HistoryTime(std::time(nullptr));
}

std::string CHistory::TodayStart() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    local.tm_hour = local.tm_min = local.tm_sec = 0;
    return HistoryTime(std::mktime(&local));
}

nlohmann::ordered_json HistoryRowJson(const HistoryRow& row) {
    using Json = nlohmann::ordered_json;
    auto optional = [](const auto& value) { return value ? Json(*value) : Json(nullptr); };
    return Json{{"id", row.id},
                {"started", row.started},
                {"ended", optional(row.ended)},
                {"port", row.port},
                {"file", row.file},
                {"file_sha256", row.fileSha256},
                {"image_crc", row.imageCrc},
                {"start", row.start},
                {"end", row.end},
                {"identify", optional(row.identify)},
                {"result", row.result},
                {"error", optional(row.error)},
                {"bytes", row.bytes},
                {"seconds", optional(row.seconds)},
                {"block_ms", optional(row.blockMs)},
                {"station", row.station},
                {"version", row.version},
                {"attempt", row.attempt},
                {"block_rate", row.blockRate},
                {"instrument", optional(row.instrument)},
                {"operator", optional(row.operatorName)}};
}

namespace {

std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string quoted = "\"";
    for (char c : text) {
        quoted += c;
        if (c == '"') {
            quoted += '"';
        }
    }
    return quoted + "\"";
}

}  // namespace

std::string HistoryCsvHeader() {
    // The JSON form names every column once; the CSV follows it, so the two never differ.
    std::string csv;
    const nlohmann::ordered_json names = HistoryRowJson(HistoryRow{});
    for (auto it = names.begin(); it != names.end(); ++it) {
        csv += (it == names.begin() ? "" : ",") + it.key();
    }
    return csv + "\r\n";
}

std::string HistoryCsvLine(const HistoryRow& row) {
    // The columns of HistoryRowJson in its order, written straight out: an export of years
    // of rows makes no JSON object a row (the header comes from that object, and the tests
    // hold a row of each form against the other).
    std::string csv;
    csv.reserve(384);
    bool first = true;
    auto text = [&csv, &first](const std::string& value) {
        csv += first ? "" : ",";
        csv += CsvField(value);
        first = false;
    };
    auto optional = [&text](const std::optional<std::string>& value) { text(value.value_or("")); };
    auto number = [&text](int64_t value) { text(std::to_string(value)); };
    auto real = [&text](const std::optional<double>& value) {
        text(value ? nlohmann::json(*value).dump() : "");
    };
    number(row.id);
    text(row.started);
    optional(row.ended);
    text(row.port);
    text(row.file);
    text(row.fileSha256);
    number(row.imageCrc);
    number(row.start);
    number(row.end);
    optional(row.identify);
    text(row.result);
    optional(row.error);
    number(row.bytes);
    real(row.seconds);
    real(row.blockMs);
    text(row.station);
    text(row.version);
    number(row.attempt);
    number(row.blockRate);
    optional(row.instrument);
    optional(row.operatorName);
    return csv + "\r\n";
}
