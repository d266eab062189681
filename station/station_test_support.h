// What the station's end-to-end tests share: a bench folder with a shelf, simulated
// instruments, the real velko-station as a child process serving on a free port (over HTTPS
// when told to, trusting the test's certificate), clients of its API, a page's event stream,
// and raw sockets from any loopback address for clients that misbehave.
#pragma once

#include "image/app_image.h"
#include "image/image_header.h"
#include "image/srec_reader.h"
#include "sim/simulated_instrument.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace station_test {

using Json = nlohmann::json;
namespace fs = std::filesystem;

constexpr int kStartMs = 20000;
constexpr int kRunMs = 60000;
const std::string kSmall = "VYRA_SMALL.A37";
const std::string kIdentityHex = "5659524100010005";  // the simulated loader's identify bytes

// A history of the first released station (schema 2), which a station upgrades as it opens it.
constexpr const char* kReleasedHistorySchema =
    "PRAGMA application_id=1447382091; PRAGMA user_version=2;"
    "CREATE TABLE runs (id INTEGER PRIMARY KEY, started TEXT NOT NULL,"
    " ended TEXT, port TEXT NOT NULL, file TEXT NOT NULL,"
    " file_sha256 TEXT NOT NULL, image_crc INTEGER NOT NULL,"
    " start INTEGER NOT NULL, \"end\" INTEGER NOT NULL, identify TEXT,"
    " result TEXT NOT NULL, error TEXT, bytes INTEGER NOT NULL DEFAULT 0,"
    " seconds REAL, block_ms REAL, station TEXT NOT NULL,"
    " version TEXT NOT NULL, attempt INTEGER NOT NULL DEFAULT 1,"
    " block_rate INTEGER NOT NULL DEFAULT 115200);"
    "CREATE INDEX runs_started ON runs(started);"
    "CREATE INDEX runs_port ON runs(port, id);";

// Runs SQL on a history file (made when there is none) while no station has it open.
inline bool ExecSql(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    const bool opened = sqlite3_open(path.c_str(), &db) == SQLITE_OK;
    char* error = nullptr;
    const bool done = opened && sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) == SQLITE_OK;
    EXPECT_TRUE(done) << path << ": " << (error != nullptr ? error : sqlite3_errmsg(db));
    sqlite3_free(error);
    sqlite3_close(db);
    return done;
}

inline std::string Sample(const std::string& name) {
    return std::string(ORVANE_SAMPLES_DIR) + "/" + name;
}

// The flash an instrument holds after a complete load of the file.
inline std::string ExpectedDigest(const std::string& file) {
    int32_t highest = 0;
    uint32_t end = 0;
    EXPECT_TRUE(ReadImageFile(file.c_str(), ImageBase, false, &highest, &end));
    StampImageHeader(ImageBase, end);
    return sim::FlashDigestOf(AppImage, ImageSize);
}

// A folder for the station: its shelf (copies of the samples) and its history.
struct Bench {
    TempDir dir;
    std::string shelf = dir.File("shelf");
    std::string db = dir.File("history.db");
    Bench() {
        fs::create_directory(shelf);
        for (const char* name : {"VYRA_SMALL.A37", "VYRA_FULL.A37", "VYRA_UNSIGNED.A37"}) {
            fs::copy_file(Sample(name), shelf + "/" + name);
        }
    }
    // A link named `name` in the folder, leading to an instrument's port.
    std::string Link(const std::string& name, const sim::SimulatedInstrument& instrument) const {
        const std::string path = dir.File(name);
        fs::create_symlink(instrument.PortPath(), path);
        return path;
    }
};

struct Instrument {
    sim::SimulatedInstrument sim;
    explicit Instrument(sim::Options options = {}) : sim(options) { EXPECT_TRUE(sim.Start()); }
};

// The program, serving on a free loopback port unless told otherwise.  Its start-up line,
// "velko-station: open SCHEME://HOST:PORT/" and maybe a remark, says where.
class Station {
public:
    Station(const Bench& bench, std::vector<std::string> more) {
        // A client's write to a connection the station closed fails; it must not end the test.
        signal(SIGPIPE, SIG_IGN);
        std::vector<std::string> argv{VELKO_STATION, "--shelf", bench.shelf};
        auto given = [&](const char* option) {
            return std::find(more.begin(), more.end(), option) != more.end();
        };
        if (!given("--db")) {
            argv.insert(argv.end(), {"--db", bench.db});
        }
        if (!given("--listen")) {
            argv.insert(argv.end(), {"--listen", "127.0.0.1:0"});
        }
        argv.insert(argv.end(), more.begin(), more.end());
        m_process = std::make_unique<ChildProcess>(argv);
        if (m_process->WaitForOut("\n", kStartMs)) {
            const std::string out = m_process->OutSoFar();
            m_startLine = out.substr(0, out.find('\n'));
            const size_t scheme = m_startLine.find("://");
            const size_t slash = m_startLine.find('/', scheme + 3);
            const size_t colon = m_startLine.rfind(':', slash);
            if (scheme != std::string::npos && slash != std::string::npos && colon > scheme) {
                m_tls = m_startLine.compare(scheme - 5, 5, "https") == 0;
                m_port = std::stoi(m_startLine.substr(colon + 1, slash - colon - 1));
            }
        }
    }
    ~Station() {
        if (m_process) {
            m_process->Signal(SIGKILL);
        }
    }

    bool Serving() const { return m_port > 0; }
    int Port() const { return m_port; }
    bool Tls() const { return m_tls; }
    const std::string& StartLine() const { return m_startLine; }
    ChildProcess& Process() { return *m_process; }
    // Over HTTPS, clients trust this certificate (and check the name 127.0.0.1 against it).
    void Trust(const std::string& certificateFile) { m_trusted = certificateFile; }

    httplib::Client Client() const {
        httplib::Client client(std::string(m_tls ? "https" : "http") +
                               "://127.0.0.1:" + std::to_string(m_port));
        client.set_read_timeout(30, 0);
        if (m_tls) {
            client.set_ca_cert_path(m_trusted.c_str());
            client.enable_server_certificate_verification(true);
        }
        return client;
    }
    Json Get(const std::string& path, const httplib::Headers& headers = {}) const {
        auto client = Client();
        auto result = client.Get(path.c_str(), headers);
        EXPECT_TRUE(result) << path << ": " << httplib::to_string(result.error());
        return result ? Json::parse(result->body, nullptr, false) : Json();
    }
    // Status and body of a JSON POST.
    std::pair<int, Json> Post(const std::string& path, const Json& body,
                              const httplib::Headers& headers = {}) const {
        auto client = Client();
        auto result = client.Post(path.c_str(), headers, body.dump(), "application/json");
        EXPECT_TRUE(result) << path;
        if (!result) {
            return {0, Json()};
        }
        return {result->status, Json::parse(result->body, nullptr, false)};
    }
    // Ends the program with a signal; its exit status.
    int Stop(int signal = SIGTERM) {
        m_process->Signal(signal);
        return m_process->Wait(kRunMs);
    }

private:
    std::unique_ptr<ChildProcess> m_process;
    std::string m_startLine;
    std::string m_trusted;
    bool m_tls = false;
    int m_port = 0;
};

// One page's event stream, read on a thread of its own into a list.
class EventStream {
public:
    EventStream(const Station& station, const std::string& query = "",
                const httplib::Headers& headers = {})
        : m_client(station.Client()) {
        m_client.set_read_timeout(60, 0);
        m_thread = std::thread([this, query, headers] {
            std::string pending;
            m_client.Get(("/api/events" + query).c_str(), headers, [&](const char* data, size_t size) {
                pending.append(data, size);
                for (size_t end; (end = pending.find("\n\n")) != std::string::npos;) {
                    const std::string block = pending.substr(0, end);
                    pending.erase(0, end + 2);
                    if (block.rfind("data: ", 0) == 0) {
                        std::lock_guard<std::mutex> lock(m_mutex);
                        m_events.push_back(Json::parse(block.substr(6)));
                        m_changed.notify_all();
                    }
                }
                return true;
            });
            std::lock_guard<std::mutex> lock(m_mutex);
            m_ended = true;
            m_changed.notify_all();
        });
    }
    ~EventStream() {
        m_client.stop();
        m_thread.join();
    }

    // Waits until `done` holds for the events so far.
    bool WaitFor(const std::function<bool(const std::vector<Json>&)>& done,
                 int timeoutMs = kRunMs) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
            return done(m_events) || m_ended;
        }) && done(m_events);
    }
    std::vector<Json> Events() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_events;
    }
    // Waits until the station ends the stream.
    bool WaitForEnd(int timeoutMs = kRunMs) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                  [&] { return m_ended; });
    }

private:
    httplib::Client m_client;
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Json> m_events;
    bool m_ended = false;
};

// How many runs have a result among the events.
inline size_t Results(const std::vector<Json>& events) {
    return static_cast<size_t>(std::count_if(events.begin(), events.end(),
                                             [](const Json& e) { return e["event"] == "result"; }));
}

inline auto ResultsReach(size_t count) {
    return [count](const std::vector<Json>& events) { return Results(events) >= count; };
}

// The slot event that last told a port's state.
inline auto SlotReaches(const std::string& port, const std::string& state) {
    return [port, state](const std::vector<Json>& events) {
        for (auto it = events.rbegin(); it != events.rend(); ++it) {
            if ((*it)["event"] == "slot" && (*it)["name"] == port) {
                return (*it)["state"] == state;
            }
        }
        return false;
    };
}

inline std::map<std::string, Json> RowsByPort(const Json& history) {
    std::map<std::string, Json> rows;
    for (const Json& row : history["runs"]) {
        rows[row["port"].get<std::string>()] = row;
    }
    return rows;
}

// A TCP connection to the station's port from a loopback address of the test's choice
// (127.0.0.2 and up stand for other machines), for clients that send slowly, stay idle or
// hold many connections.
class RawClient {
public:
    RawClient(int port, const std::string& from = "127.0.0.1") {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in source{};
        source.sin_family = AF_INET;
        inet_pton(AF_INET, from.c_str(), &source.sin_addr);
        sockaddr_in station{};
        station.sin_family = AF_INET;
        station.sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, "127.0.0.1", &station.sin_addr);
        m_connected = m_fd >= 0 &&
                      ::bind(m_fd, reinterpret_cast<sockaddr*>(&source), sizeof source) == 0 &&
                      ::connect(m_fd, reinterpret_cast<sockaddr*>(&station), sizeof station) == 0;
    }
    ~RawClient() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool Connected() const { return m_connected; }
    int Fd() const { return m_fd; }
    bool Send(const std::string& bytes) {
        return ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(bytes.size());
    }
    // Reads until `until` is among the bytes read, the station closes the connection, or
    // the time is up; everything read so far.
    std::string Read(const std::string& until, int timeoutMs) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (m_read.find(until) == std::string::npos && !m_closed) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (!WaitReadable(static_cast<int>(std::max<int64_t>(left.count(), 0)))) {
                break;
            }
            char chunk[4096];
            const ssize_t got = ::recv(m_fd, chunk, sizeof chunk, 0);
            if (got <= 0) {
                m_closed = true;
            } else {
                m_read.append(chunk, static_cast<size_t>(got));
            }
        }
        return m_read;
    }
    // Reads until the station closes the connection (or the time is up): all it sent.
    std::string ReadToEnd(int timeoutMs) { return Read(std::string(1, '\0') + "end", timeoutMs); }
    // True when the station has closed the connection, waiting up to timeoutMs for it.
    bool ClosedWithin(int timeoutMs) {
        ReadToEnd(timeoutMs);
        return m_closed;
    }
    const std::string& Received() const { return m_read; }
    // True while the station keeps the connection open (looked at without waiting).
    bool Open() { return !ClosedWithin(0); }

private:
    bool WaitReadable(int timeoutMs) {
        pollfd entry{m_fd, POLLIN, 0};
        return ::poll(&entry, 1, timeoutMs) > 0;
    }

    int m_fd = -1;
    bool m_connected = false;
    bool m_closed = false;
    std::string m_read;
};

// A request's head as a browser would send it to the station.
inline std::string RequestHead(int port, const std::string& line, const std::string& more = "") {
    return line + "\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n" + more + "\r\n";
}

}  // namespace station_test
