// The sender's thread: connect (and bring the site's schema up to date, and say which station
// this is), then send batches while rows wait, tell the site the station still runs while
// none do, and after any failure close the connection and pause before the next try.
#include "station/site_sender.h"

#include "station/site_schema.h"
#include "station/station_log.h"

#include <algorithm>
#include <cstdio>

namespace {

using Json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

// The columns of velko.runs that a batch writes after station_id, with the type each text
// parameter is read as.
const std::pair<const char*, const char*> kRunColumns[] = {
    {"run_id", "bigint"},     {"started", "timestamptz"}, {"ended", "timestamptz"},
    {"port", "text"},         {"file", "text"},           {"file_sha256", "text"},
    {"image_crc", "bigint"},  {"start", "bigint"},        {"\"end\"", "bigint"},
    {"identify", "text"},     {"result", "text"},         {"error", "text"},
    {"bytes", "bigint"},      {"seconds", "float8"},      {"block_ms", "float8"},
    {"station", "text"},      {"version", "text"},        {"attempt", "bigint"},
    {"block_rate", "bigint"}, {"instrument", "text"},     {"\"operator\"", "text"},
    {"revision", "bigint"},
};
constexpr size_t kRunParams = std::size(kRunColumns);

std::optional<std::string> Real(const std::optional<double>& value) {
    if (!value) {
        return std::nullopt;
    }
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", *value);  // every bit of the double
    return std::string(text);
}

// The row's values in kRunColumns' order.
std::vector<std::optional<std::string>> RowValues(const OutboxRow& outbox) {
    const HistoryRow& row = outbox.row;
    const auto number = [](int64_t value) { return std::to_string(value); };
    return {number(row.id),
            row.started,
            row.ended,
            row.port,
            row.file,
            row.fileSha256,
            number(row.imageCrc),
            number(row.start),
            number(row.end),
            row.identify,
            row.result,
            row.error,
            number(row.bytes),
            Real(row.seconds),
            Real(row.blockMs),
            row.station,
            row.version,
            number(row.attempt),
            number(row.blockRate),
            row.instrument,
            row.operatorName,
            number(outbox.revision)};
}

// The batch as parameters: $1 the station's id, then one array a column, so that the
// statement stays the same few lines however many rows it carries.
CSiteConnection::Params BatchParams(const std::string& stationId,
                                    const std::vector<OutboxRow>& rows) {
    std::vector<std::string> arrays(kRunParams);
    for (const OutboxRow& row : rows) {
        const std::vector<std::optional<std::string>> values = RowValues(row);
        for (size_t column = 0; column < kRunParams; ++column) {
            std::string& array = arrays[column];
            array += array.empty() ? "{" : ",";
            const std::optional<std::string>& value = values[column];
            if (!value) {
                array += "NULL";
                continue;
            }
            array += '"';
            for (char c : *value) {
                if (c == '"' || c == '\\') {
                    array += '\\';
                }
                array += c;
            }
            array += '"';
        }
    }
    CSiteConnection::Params params{stationId};
    for (std::string& array : arrays) {
        params.push_back(std::move(array) + "}");
    }
    return params;
}

// The upsert of a batch, kept only where the site has an older revision of the row (or none).
std::string UpsertSql() {
    std::string sql = "INSERT INTO velko.runs (station_id";
    std::string unnest;
    int param = 2;
    for (const auto& [column, type] : kRunColumns) {
        sql += std::string(", ") + column;
        unnest +=
            std::string(param == 2 ? "" : ", ") + "$" + std::to_string(param) + "::" + type + "[]";
        ++param;
    }
    sql += ") SELECT $1::uuid, * FROM unnest(" + unnest + ")";
    sql += " ON CONFLICT (station_id, run_id) DO UPDATE SET ";
    bool first = true;
    for (const auto& [column, type] : kRunColumns) {
        if (std::string(column) != "run_id") {
            sql += std::string(first ? "" : ", ") + column + " = EXCLUDED." + column;
            first = false;
        }
    }
    return sql + " WHERE velko.runs.revision < EXCLUDED.revision";
}

std::string UtcNow() {
    return CHistory::Now();
}

}  // namespace

CSiteSender::CSiteSender(SiteSettings settings, CHistory& history)
    : m_settings(std::move(settings)),
      m_history(history),
      m_state(m_settings.conninfo.empty() ? State::Off : State::Connecting),
      m_unreachableSince(Clock::now()) {}

CSiteSender::~CSiteSender() {
    Stop();
}

void CSiteSender::OnChange(std::function<void(const nlohmann::ordered_json&)> listener) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_listener = std::move(listener);
}

void CSiteSender::Start() {
    if (m_settings.conninfo.empty() || m_thread.joinable()) {
        return;
    }
    m_thread = std::thread([this] { Run(); });
}

void CSiteSender::Wake() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_woken = true;
    }
    m_changed.notify_all();
}

void CSiteSender::Stop(int drainMs) {
    if (!m_thread.joinable()) {
        return;
    }
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_drainUntil = Clock::now() + std::chrono::milliseconds(drainMs);
        m_woken = true;
        m_changed.notify_all();
        // The thread ends by itself once nothing waits or the site fails; past the time,
        // whatever it waits for is given up.
        m_changed.wait_until(lock, *m_drainUntil, [this] { return m_stop.load(); });
    }
    m_stop = true;
    m_changed.notify_all();
    m_thread.join();
    m_connection.Close();
}

nlohmann::ordered_json CSiteSender::Status() {
    Json status{{"state", "off"}};
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const bool unreachable = m_state == State::Unreachable || m_state == State::Connecting;
        status["state"] = m_state == State::Off ? "off" : unreachable ? "unreachable" : "connected";
        status["station_id"] = m_history.StationId();
        status["last_sent"] = m_lastSent ? Json(*m_lastSent) : Json(nullptr);
        status["last_error"] = m_lastError ? Json(*m_lastError) : Json(nullptr);
        status["unreachable_seconds"] = unreachable
                                            ? Json(std::chrono::duration_cast<std::chrono::seconds>(
                                                       Clock::now() - m_unreachableSince)
                                                       .count())
                                            : Json(nullptr);
    }
    status["pending"] = m_history.UnsentCount();
    // The keys in the order the API names them.
    return Json{{"state", status["state"]},
                {"station_id", status["station_id"]},
                {"pending", status["pending"]},
                {"last_sent", status["last_sent"]},
                {"last_error", status["last_error"]},
                {"unreachable_seconds", status["unreachable_seconds"]}};
}

void CSiteSender::SetState(State state, const std::string& error) {
    std::function<void(const nlohmann::ordered_json&)> listener;
    bool changed = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const std::optional<std::string> newError =
            state == State::Unreachable ? std::optional<std::string>(error) : std::nullopt;
        const bool wasUnreachable = m_state == State::Unreachable || m_state == State::Connecting;
        changed = state != m_state || newError != m_lastError;
        if (state == State::Unreachable && !wasUnreachable) {
            m_unreachableSince = Clock::now();
        }
        if (state != m_state) {
            listener = m_listener;
        }
        m_state = state;
        m_lastError = newError;
    }
    if (!changed) {
        return;
    }
    if (state == State::Connected) {
        StationLog("site: connected to the site database; " +
                   std::to_string(m_history.UnsentCount()) + " run row(s) to send");
    } else {
        StationLog("site: can't reach the site database: " + error +
                   "; the runs wait in the history and are sent once it answers");
    }
    if (listener) {
        const Json status = Status();
        Json event{{"event", "site"}};
        for (auto it = status.begin(); it != status.end(); ++it) {
            event[it.key()] = *it;
        }
        listener(event);
    }
}

void CSiteSender::Pause(int ms, bool wakeable) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait_for(lock, std::chrono::milliseconds(ms), [&] {
        return m_stop.load() || m_drainUntil.has_value() || (wakeable && m_woken);
    });
    if (wakeable) {
        m_woken = false;
    }
}

bool CSiteSender::Connect(std::string* error) {
    CSiteConnection::Limits limits;
    limits.connectMs = m_settings.connectMs;
    limits.statementMs = m_settings.statementMs;
    limits.stop = &m_stop;
    if (!m_connection.Connect(m_settings.conninfo, limits, error)) {
        return false;
    }
    if (PrepareSiteSchema(m_connection, error) == 0) {
        m_connection.Close();
        return false;
    }
    std::string why;
    const bool known =
        m_connection.Exec(
            "INSERT INTO velko.stations (id, name, host, version) "
            "VALUES ($1::uuid, $2, $3, $4) ON CONFLICT (id) DO UPDATE SET "
            "name = EXCLUDED.name, host = EXCLUDED.host, "
            "version = EXCLUDED.version, last_seen = now()",
            {m_history.StationId(), m_settings.name, m_settings.host, m_settings.version},
            &why) != nullptr;
    if (!known) {
        *error = "can't record this station in velko.stations: " + why;
        m_connection.Close();
        return false;
    }
    m_lastTouch = Clock::now();
    return true;
}

int CSiteSender::SendBatch(std::string* error) {
    const std::vector<OutboxRow> rows = m_history.Unsent(m_settings.batchRows);
    if (rows.empty()) {
        return 0;
    }
    const CSiteConnection::Params params = BatchParams(m_history.StationId(), rows);
    std::string why;
    const bool committed =
        m_connection.Exec("BEGIN", &why) != nullptr &&
        m_connection.Exec(UpsertSql(), params, &why) != nullptr &&
        m_connection.Exec("UPDATE velko.stations SET last_seen = now() WHERE id = $1::uuid",
                          {m_history.StationId()}, &why) != nullptr &&
        m_connection.Exec("COMMIT", &why) != nullptr;
    if (!committed) {
        *error = "can't send runs to the site database: " + why;
        return -1;
    }
    // Only now: a crash before this line sends the batch again, which changes nothing.
    m_history.MarkSent(rows);
    m_lastTouch = Clock::now();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lastSent = UtcNow();
    return static_cast<int>(rows.size());
}

bool CSiteSender::Touch(std::string* error) {
    std::string why;
    if (m_connection.Exec("UPDATE velko.stations SET last_seen = now() WHERE id = $1::uuid",
                          {m_history.StationId()}, &why) == nullptr) {
        *error = "the site database stopped answering: " + why;
        return false;
    }
    m_lastTouch = Clock::now();
    return true;
}

void CSiteSender::Run() {
    int pause = m_settings.firstPauseMs;
    auto draining = [this] {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_drainUntil.has_value();
    };
    auto failed = [&](const std::string& error) {
        m_connection.Close();
        if (m_stop) {
            return;
        }
        SetState(State::Unreachable, error);
        if (!draining()) {
            Pause(pause, false);
            pause = std::min(pause * 2, m_settings.longestPauseMs);
        }
    };
    while (!m_stop) {
        std::string error;
        if (!m_connection.Connected() && !Connect(&error)) {
            failed(error);
            if (draining()) {
                break;
            }
            continue;
        }
        const int sent = SendBatch(&error);
        if (sent < 0) {
            failed(error);
            if (draining()) {
                break;
            }
            continue;
        }
        SetState(State::Connected, "");
        pause = m_settings.firstPauseMs;
        if (sent > 0) {
            continue;  // more may wait
        }
        if (draining()) {
            break;
        }
        const auto idle = Clock::now() - m_lastTouch;
        if (idle >= std::chrono::milliseconds(m_settings.touchMs)) {
            if (!Touch(&error)) {
                failed(error);
            }
            continue;
        }
        Pause(m_settings.touchMs -
                  static_cast<int>(
                      std::chrono::duration_cast<std::chrono::milliseconds>(idle).count()),
              true);
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_changed.notify_all();
}
