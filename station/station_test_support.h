// What the tests of the whole station program share: a folder for a station (its shelf and
// history), simulated instruments, the program run as a child process and driven over HTTP,
// and a page's event stream read on a thread of its own.
#pragma once

#include "image/app_image.h"
#include "image/image_header.h"
#include "image/srec_reader.h"
#include "sim/simulated_instrument.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
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

// The program, serving on a free loopback port unless told otherwise.
class Station {
public:
    Station(const Bench& bench, std::vector<std::string> more) {
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
        if (m_process->WaitForOut("/\n", kStartMs)) {
            const std::string out = m_process->OutSoFar();
            const size_t colon = out.rfind(':');
            m_port = std::stoi(out.substr(colon + 1));
        }
    }
    ~Station() {
        if (m_process) {
            m_process->Signal(SIGKILL);
        }
    }

    bool Serving() const { return m_port > 0; }
    int Port() const { return m_port; }
    ChildProcess& Process() { return *m_process; }

    httplib::Client Client() const {
        httplib::Client client("127.0.0.1", m_port);
        client.set_read_timeout(30, 0);
        return client;
    }
    Json Get(const std::string& path, const httplib::Headers& headers = {}) const {
        auto client = Client();
        auto result = client.Get(path.c_str(), headers);
        EXPECT_TRUE(result) << path;
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
        const int status = m_process->Wait(kRunMs);
        return status;
    }

private:
    std::unique_ptr<ChildProcess> m_process;
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
    bool WaitFor(const std::function<bool(const std::vector<Json>&)>& done, int timeoutMs = kRunMs) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                  [&] { return done(m_events) || m_ended; }) &&
               done(m_events);
    }
    std::vector<Json> Events() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_events;
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
    return static_cast<size_t>(std::count_if(events.begin(), events.end(), [](const Json& e) {
        return e["event"] == "result";
    }));
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

}  // namespace station_test
