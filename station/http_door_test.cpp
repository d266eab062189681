// The station's door against clients that send slowly, stay idle, hold many connections or
// send requests the door must complete itself: the real program over real sockets, from
// several loopback addresses (127.0.0.2 and up stand for other machines).
#include "port_runs/exit_status.h"
#include "station/station_test_support.h"

#include <sqlite3.h>

#include <atomic>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

namespace {

using namespace station_test;

constexpr int kAnswerMs = 10000;    // a bound for an answer on a busy machine, never a pause
constexpr int kDeadlineMs = 30000;  // a bound for the door's deadlines (5 s) to pass
constexpr int kStopMs = 5000;       // a signalled station has ended by then, whatever its clients

std::vector<std::unique_ptr<RawClient>> Connect(int port, int count,
                                                const std::function<std::string(int)>& from) {
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < count; ++i) {
        clients.push_back(std::make_unique<RawClient>(port, from(i)));
        EXPECT_TRUE(clients.back()->Connected()) << i;
    }
    return clients;
}

std::string Address(int last) {
    return "127.0.0." + std::to_string(last);
}

// The process whose command line holds `part` (the station's own history file).
std::string ProcessWith(const std::string& part) {
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::ifstream cmdline(entry.path() / "cmdline");
        std::string text((std::istreambuf_iterator<char>(cmdline)), {});
        std::replace(text.begin(), text.end(), '\0', ' ');
        if (text.find(part) != std::string::npos && text.find(VELKO_STATION) == 0) {
            return entry.path();
        }
    }
    return "";
}

// The nice value of each of the process's threads, by the thread's name ("velko-http", ...).
std::multimap<std::string, int> NiceByThread(const std::string& process) {
    std::multimap<std::string, int> nice;
    for (const auto& task : fs::directory_iterator(process + "/task")) {
        std::ifstream statFile(task.path() / "stat");
        std::string stat((std::istreambuf_iterator<char>(statFile)), {});
        const size_t open = stat.find('('), close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos) {
            continue;  // the thread ended while it was read
        }
        std::istringstream fields(stat.substr(close + 2));
        std::string field;
        for (int i = 3; i <= 19 && fields >> field; ++i) {
        }
        nice.emplace(stat.substr(open + 1, close - open - 1), std::stoi(field));  // field 19
    }
    return nice;
}

size_t Count(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

}  // namespace

TEST(HttpDoor, ASlowHeadIsClosedAtItsDeadlineAsAWholeWhileFreshRequestsAreAnswered) {
    Bench bench;
    Station station(bench, {});
    ASSERT_TRUE(station.Serving()) << station.Process().ErrSoFar();
    // One byte every 100 ms: the whole head would take over 40 s, each byte comes in time.
    const std::string head = RequestHead(station.Port(), "GET /api/ports HTTP/1.1",
                                         "X-Slow: " + std::string(400, 'a') + "\r\n");
    RawClient slow(station.Port(), Address(2));
    size_t sent = 0;
    bool openAfterFreshAnswer = false;
    while (sent < head.size() && slow.Send(head.substr(sent, 1))) {
        if (++sent == 3) {
            EXPECT_EQ(station.Get("/api/station")["loopback"], true);
            openAfterFreshAnswer = slow.Open();
        }
        if (slow.ClosedWithin(100)) {
            break;
        }
    }
    EXPECT_TRUE(openAfterFreshAnswer);
    EXPECT_TRUE(slow.ClosedWithin(kDeadlineMs));
    EXPECT_LT(sent, head.size()) << "the head was let in at its own pace";
    EXPECT_EQ(slow.Received(), "");  // closed without an answer
}

TEST(HttpDoor, RequestsBackToBackAreEachAnsweredAndAnIdleConnectionIsClosed) {
    Bench bench;
    Station station(bench, {});
    ASSERT_TRUE(station.Serving()) << station.Process().ErrSoFar();
    RawClient client(station.Port());
    ASSERT_TRUE(client.Send(RequestHead(station.Port(), "GET /api/station HTTP/1.1") +
                            RequestHead(station.Port(), "GET /api/shelf HTTP/1.1")));
    const std::string both = client.Read("VYRA_UNSIGNED.A37", kAnswerMs);
    EXPECT_EQ(Count(both, "HTTP/1.1 200 OK\r\n"), 2u) << both;
    EXPECT_LT(both.find("\"signs\""), both.find("\"files\"")) << "answered in order";
    // Kept alive (no "Connection: close"), it is closed once it has idled its time.
    EXPECT_EQ(both.find("Connection: close"), std::string::npos) << both;
    EXPECT_NE(both.find("Keep-Alive: timeout=5"), std::string::npos) << both;
    EXPECT_TRUE(client.ClosedWithin(kDeadlineMs));
}

TEST(HttpDoor, EachAddressHoldsItsShareOfConnectionsAtOnce) {
    Bench bench;
    Station station(bench, {"--max-per-address", "3"});
    ASSERT_TRUE(station.Serving()) << station.Process().ErrSoFar();
    auto held = Connect(station.Port(), 3, [](int) { return Address(2); });
    RawClient fourth(station.Port(), Address(2));
    EXPECT_TRUE(fourth.ClosedWithin(kAnswerMs)) << "closed at once";
    RawClient other(station.Port(), Address(3));
    other.Send(RequestHead(station.Port(), "GET /api/station HTTP/1.1", "Connection: close\r\n"));
    EXPECT_EQ(other.Read("\r\n", kAnswerMs).substr(0, 17), "HTTP/1.1 200 OK\r\n");
    for (auto& client : held) {
        EXPECT_TRUE(client->Open());
    }
    // Once the door has closed them (nothing came in their time), the address may come again.
    for (auto& client : held) {
        EXPECT_TRUE(client->ClosedWithin(kDeadlineMs));
    }
    RawClient again(station.Port(), Address(2));
    again.Send(RequestHead(station.Port(), "GET /api/station HTTP/1.1", "Connection: close\r\n"));
    EXPECT_EQ(again.Read("\r\n", kAnswerMs).substr(0, 17), "HTTP/1.1 200 OK\r\n");
}

TEST(HttpDoor, ManySlowConnectionsAndEveryEventStreamLeaveRoomForFreshRequests) {
    Bench bench;
    Station station(bench, {"--port", bench.dir.File("absent")});
    ASSERT_TRUE(station.Serving()) << station.Process().ErrSoFar();
    const int port = station.Port();
    // Far more slow clients than a thread per connection could hold, 15 from each address.
    auto slow = Connect(port, 300, [](int i) { return Address(10 + i / 15); });
    for (auto& client : slow) {
        client->Send("GET /api/ports HTTP/1.1\r\nHo");
    }
    // As many event streams as the station allows, and one more, which it refuses.
    auto streams = Connect(port, 33, [](int i) { return Address(100 + i / 8); });
    for (size_t i = 0; i < streams.size(); ++i) {
        streams[i]->Send(RequestHead(port, "GET /api/events HTTP/1.1"));
        const std::string answer = streams[i]->Read(i < 32 ? "\"snapshot\"" : "}", kAnswerMs);
        EXPECT_EQ(answer.substr(0, 12), i < 32 ? "HTTP/1.1 200" : "HTTP/1.1 503") << i;
    }
    EXPECT_NE(streams.back()->Read("}", kAnswerMs).find("too many event streams are open"),
              std::string::npos);

    EXPECT_EQ(station.Get("/api/ports")["ports"][0]["state"], "absent");
    EXPECT_EQ(station.Get("/api/history")["runs"].size(), 0u);
    EXPECT_EQ(station.Post("/api/auto", {{"file", nullptr}}).first, 200);
    // Answered before any slow client's deadline: every one of them is still waiting.
    EXPECT_EQ(std::count_if(slow.begin(), slow.end(), [](auto& c) { return c->Open(); }), 300);
    for (size_t i = 0; i < 32; ++i) {
        EXPECT_TRUE(streams[i]->Open()) << i;
    }
}

TEST(HttpDoor, AtTheBoundTheConnectionThatWaitedLongestMakesRoom) {
    Bench bench;
    Station station(bench, {"--max-connections", "40"});
    ASSERT_TRUE(station.Serving()) << station.Process().ErrSoFar();
    auto idle = Connect(station.Port(), 50, [](int i) { return Address(2 + i / 13); });
    EXPECT_EQ(station.Get("/api/station")["loopback"], true);
    // 50 and the fresh request, 40 at once: the first 11 made room, in the order they came.
    for (size_t i = 0; i < idle.size(); ++i) {
        if (i < 11) {
            EXPECT_TRUE(idle[i]->ClosedWithin(kAnswerMs)) << i;
        } else {
            EXPECT_TRUE(idle[i]->Open()) << i;
        }
    }
}

TEST(HttpDoor, RequestsTheDoorCompletesOrRefusesItself) {
    Bench bench;
    Station station(bench, {});
    ASSERT_TRUE(station.Serving()) << station.Process().ErrSoFar();
    const int port = station.Port();
    const std::string json = "Content-Type: application/json\r\n";
    auto answer = [&](const std::string& request) {
        RawClient client(port);
        client.Send(request);
        return client.ReadToEnd(kAnswerMs);  // the station closes after answering
    };

    // A head over 8 KiB.
    const std::string tooLong = answer(
        RequestHead(port, "GET /api/ports HTTP/1.1", "X-Big: " + std::string(9000, 'b') + "\r\n"));
    EXPECT_EQ(tooLong.substr(0, 13), "HTTP/1.1 431 ") << tooLong;
    EXPECT_NE(tooLong.find("{\"error\":\"the request's line and headers are too long\"}"),
              std::string::npos);
    // A POST that declares no body has none: answered at once, not after a time-out.
    const std::string noLength =
        answer(RequestHead(port, "POST /api/auto HTTP/1.1", json + "Connection: close\r\n"));
    EXPECT_EQ(noLength.substr(0, 13), "HTTP/1.1 400 ") << noLength;
    EXPECT_NE(noLength.find("the body is no JSON object"), std::string::npos);
    // A body in chunks.
    const std::string chunked =
        answer(RequestHead(port, "POST /api/auto HTTP/1.1",
                           json + "Transfer-Encoding: chunked\r\nConnection: close\r\n") +
               "d\r\n{\"file\":null}\r\n0\r\n\r\n");
    EXPECT_EQ(chunked.substr(0, 13), "HTTP/1.1 200 ") << chunked;

    // "Expect: 100-continue": told to go on once, then answered.
    RawClient expecting(port);
    expecting.Send(RequestHead(port, "POST /api/auto HTTP/1.1",
                               json + "Content-Length: 13\r\nExpect: 100-continue\r\n"));
    EXPECT_EQ(expecting.Read("\r\n\r\n", kAnswerMs), "HTTP/1.1 100 Continue\r\n\r\n");
    expecting.Send("{\"file\":null}");
    const std::string expected = expecting.Read("{\"file\":null}", kAnswerMs);
    EXPECT_EQ(Count(expected, "HTTP/1.1 100 Continue"), 1u) << expected;
    EXPECT_NE(expected.find("HTTP/1.1 200 OK\r\n"), std::string::npos) << expected;

    // A second station can't take the port.
    Bench other;
    const ChildResult second = RunChild({VELKO_STATION, "--shelf", other.shelf, "--db", other.db,
                                         "--listen", "127.0.0.1:" + std::to_string(port)});
    EXPECT_EQ(second.status, kExitUsage);
    EXPECT_NE(second.err.find("can't listen on 127.0.0.1:" + std::to_string(port) + " (in use"),
              std::string::npos)
        << second.err;
}

TEST(HttpDoor, PagesYieldToTheRunsTheyStart) {
    Bench bench;
    sim::Options paced;
    paced.pace = true;
    Instrument instrument(paced);
    const std::string port = bench.Link("port", instrument.sim);
    Station station(bench, {"--port", port});
    ASSERT_TRUE(station.Serving()) << station.Process().ErrSoFar();
    EventStream events(station);
    ASSERT_EQ(station.Post("/api/runs", {{"file", "VYRA_FULL.A37"}, {"ports", {port}}}).first, 202);
    ASSERT_TRUE(events.WaitFor([](const std::vector<Json>& e) {
        return std::any_of(e.begin(), e.end(),
                           [](const Json& x) { return x["event"] == "progress"; });
    }));
    // The door and the threads that answer pages run at a lower priority; the run, started by
    // a POST on a control worker, and everything else keep the process's.
    const std::string process = ProcessWith(bench.db);
    ASSERT_FALSE(process.empty());
    const std::multimap<std::string, int> nice = NiceByThread(process);
    std::map<std::string, int> lowered;
    size_t normal = 0;
    for (const auto& [name, value] : nice) {
        if (name == "velko-http" || name == "velko-events" || name == "velko-door") {
            EXPECT_EQ(value, 10) << name;
            ++lowered[name];
        } else {
            EXPECT_EQ(value, 0) << name;
            ++normal;
        }
    }
    EXPECT_EQ(lowered["velko-door"], 1);
    EXPECT_EQ(lowered["velko-http"], 8);
    // Two control workers and the run's thread, which takes its name from the one that
    // started it.
    EXPECT_GE(nice.count("velko-control"), 3u);
    EXPECT_GE(normal, 4u);
    EXPECT_EQ(station.Post("/api/cancel", {{"all", true}}).first, 202);
}

// However its clients behave, a signal stops the station within seconds: the runs in flight
// are recorded cancelled, every connection is closed, and the program ends with status 0.
// Its clients here: connections that trickle a header byte a second (and come back when
// closed), one kept alive and idle, a page that reads its event stream, one that reads
// nothing of its own, and a download of the history that takes nothing after its first bytes.
TEST(HttpDoor, ASignalStopsTheStationWhateverItsClientsDo) {
    Bench bench;
    // A history whose CSV is far more than a reader that takes nothing lets the station
    // buffer, so that the download holds a worker in its write.
    const std::string db = bench.dir.File("big.db");
    ASSERT_TRUE(ExecSql(db, std::string(kReleasedHistorySchema) +
                                "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n"
                                " WHERE i < 60000) INSERT INTO runs SELECT i,"
                                " '2026-12-02T09:00:00Z', '2026-12-02T09:00:33Z', 'p05',"
                                " 'VYRA_FULL.A37', printf('%064x', i), 1, 2, 3,"
                                " '5659524100010005', 'done', NULL, 262144, 33.0, 7.1, 'pc',"
                                " '1.1.0', 1, 115200 FROM n;"));

    sim::Options paced;
    paced.pace = true;
    std::vector<std::unique_ptr<Instrument>> instruments;
    std::vector<std::string> options{"--db", db}, ports;
    for (int i = 0; i < 4; ++i) {
        instruments.push_back(std::make_unique<Instrument>(paced));
        ports.push_back(bench.Link("p" + std::to_string(i), instruments.back()->sim));
        options.insert(options.end(), {"--port", ports.back()});
    }
    Station station(bench, options);
    ASSERT_TRUE(station.Serving()) << station.Process().ErrSoFar();
    const int port = station.Port();

    std::atomic<bool> trickling{true};
    std::thread trickler([&] {
        auto slow = Connect(port, 60, [](int i) { return Address(40 + i / 15); });
        for (int i = 0; trickling; ++i) {
            for (size_t c = 0; c < slow.size(); ++c) {
                if (!slow[c]->Send(i == 0 ? std::string("GET /api/ports HTTP/1.1\r\n") : "X") ||
                    !slow[c]->Open()) {
                    slow[c] = std::make_unique<RawClient>(port, Address(40 + int(c) / 15));
                    slow[c]->Send("GET /api/ports HTTP/1.1\r\n");
                }
            }
            for (int tenth = 0; tenth < 10 && trickling; ++tenth) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the trickle's pace
            }
        }
    });
    RawClient idle(port, Address(60));
    idle.Send(RequestHead(port, "GET /api/station HTTP/1.1"));
    EXPECT_NE(idle.Read("}", kAnswerMs).find("\"version\""), std::string::npos);
    RawClient deafStream(port, Address(61));
    deafStream.Send(RequestHead(port, "GET /api/events HTTP/1.1"));
    EXPECT_EQ(deafStream.Read("HTTP/1.1 200", kAnswerMs).substr(0, 12), "HTTP/1.1 200");
    RawClient download(port, Address(62));
    download.Send(RequestHead(port, "GET /api/history.csv HTTP/1.1"));
    EXPECT_EQ(download.Read("HTTP/1.1 200", kAnswerMs).substr(0, 12), "HTTP/1.1 200");

    EventStream events(station);
    ASSERT_EQ(station.Post("/api/runs", {{"file", "VYRA_FULL.A37"}, {"ports", ports}}).first, 202);
    ASSERT_TRUE(events.WaitFor([&](const std::vector<Json>& e) {
        std::set<std::string> moving;
        for (const Json& x : e) {
            if (x["event"] == "progress") {
                moving.insert(x["port"].get<std::string>());
            }
        }
        return moving.size() == ports.size();
    }));

    station.Process().Signal(SIGTERM);
    EXPECT_EQ(station.Process().Wait(kStopMs), kExitOk) << station.Process().Err();
    trickling = false;
    trickler.join();
    EXPECT_TRUE(deafStream.ClosedWithin(kAnswerMs));
    EXPECT_TRUE(idle.ClosedWithin(kAnswerMs));

    sqlite3* handle = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &handle), SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(handle, "SELECT port, result FROM runs WHERE id > 60000", -1,
                                 &statement, nullptr),
              SQLITE_OK);
    std::map<std::string, std::string> results;
    while (sqlite3_step(statement) == SQLITE_ROW) {
        results[reinterpret_cast<const char*>(sqlite3_column_text(statement, 0))] =
            reinterpret_cast<const char*>(sqlite3_column_text(statement, 1));
    }
    sqlite3_finalize(statement);
    sqlite3_close(handle);
    EXPECT_EQ(results.size(), ports.size());
    for (const auto& [name, result] : results) {
        EXPECT_EQ(result, "cancelled") << name;
    }
}
