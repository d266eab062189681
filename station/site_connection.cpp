// The site's connection over libpq's asynchronous calls: PQconnectStartParams and
// PQconnectPoll, then each statement sent with PQsendQueryParams on a non-blocking socket and
// its results read as they come, each wait a poll() of at most 100 ms.
#include "station/site_connection.h"

#include <poll.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>

namespace {

constexpr int kSliceMs = 100;

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// libpq's message on one line: its lines joined, the white space around them dropped.
std::string OneLine(const char* text) {
    std::string line;
    const char* at = text != nullptr ? text : "";
    while (*at != '\0') {
        const char* end = std::strchr(at, '\n');
        std::string part(at, end != nullptr ? end : at + std::strlen(at));
        const size_t first = part.find_first_not_of(" \t\r");
        const size_t last = part.find_last_not_of(" \t\r");
        if (first != std::string::npos) {
            line += (line.empty() ? "" : "; ") + part.substr(first, last - first + 1);
        }
        at = end != nullptr ? end + 1 : at + part.size();
    }
    return line;
}

// What a failed statement says: the server's message, without the statement's text.
std::string ResultProblem(const PGresult* result) {
    const char* primary = PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY);
    if (primary != nullptr && *primary != '\0') {
        return OneLine(primary);
    }
    const std::string message = OneLine(PQresultErrorMessage(result));
    return message.empty() ? "the site database refused the statement" : message;
}

}  // namespace

std::string SiteConninfoProblem(const std::string& conninfo) {
    char* parseError = nullptr;
    PQconninfoOption* options = PQconninfoParse(conninfo.c_str(), &parseError);
    if (options == nullptr) {
        // libpq's words may quote a piece of the string, which could be a password: give
        // them only for a string that names none.
        std::string lower = conninfo;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        const size_t scheme = lower.find("://");
        const size_t at = lower.find('@', scheme == std::string::npos ? 0 : scheme);
        const bool mayHold = lower.find("password") != std::string::npos ||
                             (scheme != std::string::npos && at != std::string::npos);
        std::string problem = "the site's connection string can't be read";
        if (!mayHold && parseError != nullptr) {
            problem += ": " + OneLine(parseError);
        }
        PQfreemem(parseError);
        return problem;
    }
    std::string problem;
    for (const PQconninfoOption* option = options; option->keyword != nullptr; ++option) {
        if (std::strcmp(option->keyword, "password") == 0 && option->val != nullptr &&
            *option->val != '\0') {
            problem =
                "the site's connection string holds a password, which would show in the "
                "process list and the logs: put it in the password file (~/.pgpass, or "
                "PGPASSFILE) or a service file instead";
        }
    }
    PQconninfoFree(options);
    return problem;
}

std::optional<std::string> PgText(const PGresult* result, int row, int column) {
    if (PQgetisnull(result, row, column)) {
        return std::nullopt;
    }
    return std::string(PQgetvalue(result, row, column),
                       static_cast<size_t>(PQgetlength(result, row, column)));
}

bool CSiteConnection::Connected() const {
    return m_conn != nullptr && PQstatus(m_conn) == CONNECTION_OK;
}

void CSiteConnection::Close() {
    if (m_conn != nullptr) {
        PQfinish(m_conn);
        m_conn = nullptr;
    }
}

std::string CSiteConnection::Problem(const char* fallback) const {
    const std::string message = m_conn != nullptr ? OneLine(PQerrorMessage(m_conn)) : "";
    return message.empty() ? fallback : message;
}

bool CSiteConnection::WaitSocket(bool forWrite, int64_t deadlineMs, std::string* error) {
    for (;;) {
        if (m_limits.stop != nullptr && m_limits.stop->load()) {
            *error = "the station is stopping";
            return false;
        }
        const int64_t left = deadlineMs - NowMs();
        if (left <= 0) {
            *error = "the site database did not answer in time";
            return false;
        }
        pollfd fd{PQsocket(m_conn), static_cast<short>(forWrite ? POLLOUT | POLLIN : POLLIN), 0};
        if (fd.fd < 0) {
            *error = Problem("the connection to the site database is gone");
            return false;
        }
        const int ready = poll(&fd, 1, static_cast<int>(std::min<int64_t>(left, kSliceMs)));
        if (ready > 0) {
            return true;
        }
    }
}

bool CSiteConnection::Connect(const std::string& conninfo, const Limits& limits,
                              std::string* error) {
    Close();
    m_limits = limits;
    // Defaults first, which the connection string may override; then the string itself
    // (expanded: a URI or key=value pairs).  libpq's own connect_timeout holds for a blocking
    // connect; the deadline below bounds this one.
    const std::string timeout = std::to_string(std::max(2, limits.connectMs / 1000));
    const char* const keys[] = {"application_name", "connect_timeout", "dbname", nullptr};
    const char* const values[] = {"velko-station", timeout.c_str(), conninfo.c_str(), nullptr};
    m_conn = PQconnectStartParams(keys, values, 1);
    if (m_conn == nullptr || PQstatus(m_conn) == CONNECTION_BAD) {
        *error = Problem("can't start a connection to the site database");
        Close();
        return false;
    }
    const int64_t deadline = NowMs() + limits.connectMs;
    PostgresPollingStatusType state = PGRES_POLLING_WRITING;
    while (state != PGRES_POLLING_OK) {
        if (state == PGRES_POLLING_FAILED) {
            *error = Problem("can't connect to the site database");
            Close();
            return false;
        }
        if (!WaitSocket(state == PGRES_POLLING_WRITING, deadline, error)) {
            if (*error == "the site database did not answer in time") {
                *error = "the site database did not answer within " +
                         std::to_string(limits.connectMs / 1000) + " s";
            }
            Close();
            return false;
        }
        state = PQconnectPoll(m_conn);
    }
    if (PQsetnonblocking(m_conn, 1) != 0) {
        *error = Problem("can't use the connection to the site database");
        Close();
        return false;
    }
    // The server's own bound on every statement, so a site that hangs ends it too.
    return Exec("SET statement_timeout = " + std::to_string(limits.statementMs), error) != nullptr;
}

PgResult CSiteConnection::Exec(const std::string& sql, const Params& params, std::string* error) {
    PgResult none(nullptr, &PQclear);
    if (!Connected()) {
        *error = "not connected to the site database";
        return none;
    }
    std::vector<const char*> values;
    values.reserve(params.size());
    for (const auto& param : params) {
        values.push_back(param ? param->c_str() : nullptr);
    }
    // Without parameters as a simple query, which may hold several statements.
    const int sent = params.empty()
                         ? PQsendQuery(m_conn, sql.c_str())
                         : PQsendQueryParams(m_conn, sql.c_str(), static_cast<int>(values.size()),
                                             nullptr, values.data(), nullptr, nullptr, 0);
    if (sent == 0) {
        *error = Problem("can't send to the site database");
        Close();
        return none;
    }
    // A little more than the server's own limit: past it, the site or the line is gone.
    const int64_t deadline = NowMs() + m_limits.statementMs + 5000;
    auto broken = [&](const std::string& why) {
        *error = why;
        Close();
        return PgResult(nullptr, &PQclear);
    };
    for (int flushed; (flushed = PQflush(m_conn)) != 0;) {
        if (flushed < 0 || !WaitSocket(true, deadline, error)) {
            return broken(flushed < 0 ? Problem("can't send to the site database") : *error);
        }
        if (PQconsumeInput(m_conn) == 0) {
            return broken(Problem("the connection to the site database broke"));
        }
    }
    PgResult last(nullptr, &PQclear);
    std::string refused;
    for (;;) {
        while (PQisBusy(m_conn) != 0) {
            if (!WaitSocket(false, deadline, error)) {
                return broken(*error);
            }
            if (PQconsumeInput(m_conn) == 0) {
                return broken(Problem("the connection to the site database broke"));
            }
        }
        PGresult* result = PQgetResult(m_conn);
        if (result == nullptr) {
            break;
        }
        const ExecStatusType status = PQresultStatus(result);
        if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) {
            last.reset(result);
        } else {
            if (refused.empty()) {
                refused = ResultProblem(result);
            }
            PQclear(result);
        }
    }
    if (PQstatus(m_conn) != CONNECTION_OK) {
        return broken(refused.empty() ? Problem("the connection to the site database broke")
                                      : refused);
    }
    if (!refused.empty() || last == nullptr) {
        *error = refused.empty() ? "the site database gave no answer" : refused;
        return none;
    }
    return last;
}
