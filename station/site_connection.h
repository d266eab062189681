// One connection to the site database (PostgreSQL, through libpq), driven without ever
// blocking for longer than a slice: connecting and every statement run asynchronously and are
// waited for in short polls, so that a deadline or a stop ends them however the site or the
// network behaves.  Errors are libpq's and the server's words, which never hold a password;
// the connection string itself is never shown.
#pragma once

#include <libpq-fe.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// A statement's result, cleared with it.
using PgResult = std::unique_ptr<PGresult, decltype(&PQclear)>;

// Why a connection string may not be used: it can't be parsed, or it holds a password (which
// would show in `ps`, in the service's unit and in the logs: passwords come from the password
// file or the service file, as for every libpq program).  Empty when it may be used.
std::string SiteConninfoProblem(const std::string& conninfo);

class CSiteConnection {
public:
    // How long connecting and a statement may take; `stop`, when given and set, ends either
    // within a tenth of a second.
    struct Limits {
        int connectMs = 10000;
        int statementMs = 30000;
        const std::atomic<bool>* stop = nullptr;
    };

    CSiteConnection() = default;
    ~CSiteConnection() { Close(); }
    CSiteConnection(const CSiteConnection&) = delete;
    CSiteConnection& operator=(const CSiteConnection&) = delete;

    // Connects with the connection string (a libpq key=value string or a postgresql:// URI);
    // the server ends any statement that runs over the limit itself too.
    bool Connect(const std::string& conninfo, const Limits& limits, std::string* error);
    bool Connected() const;
    void Close();

    // Runs one statement with its parameters as text (nullopt: NULL), or without parameters a
    // script of statements; the result of the last statement when all succeeded, else null
    // with the reason.  A connection that broke is closed.
    using Params = std::vector<std::optional<std::string>>;
    PgResult Exec(const std::string& sql, const Params& params, std::string* error);
    PgResult Exec(const std::string& sql, std::string* error) { return Exec(sql, {}, error); }

private:
    // Waits until the socket can be read (or written), the deadline passes or a stop is asked
    // for; false for the last two, with the reason.
    bool WaitSocket(bool forWrite, int64_t deadlineMs, std::string* error);
    std::string Problem(const char* fallback) const;

    PGconn* m_conn = nullptr;
    Limits m_limits;
};

// A result's text at (row, column), nullopt when NULL.
std::optional<std::string> PgText(const PGresult* result, int row, int column);
