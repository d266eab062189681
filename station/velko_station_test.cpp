// velko-station end to end: the real program, run as a child process, driven over HTTP
// against simulated instruments on pseudo-terminals.  What the instruments' flash holds, the
// history's rows, the event stream and the answers to bad requests are what count.
#include "gang/exit_status.h"
#include "image/app_image.h"
#include "image/image_header.h"
#include "image/srec_reader.h"
#include "station/station_test_support.h"

#include <sqlite3.h>

#include <map>

namespace {

using namespace station_test;

const std::string kIdentityHex = "5659524100010005";  // the simulated loader's identify bytes

// The flash an instrument holds after a complete load of the file.
std::string ExpectedDigest(const std::string& file) {
    int32_t highest = 0;
    uint32_t end = 0;
    EXPECT_TRUE(ReadImageFile(file.c_str(), ImageBase, false, &highest, &end));
    StampImageHeader(ImageBase, end);
    return sim::FlashDigestOf(AppImage, ImageSize);
}

// The slot event that last told a port's state.
auto SlotReaches(const std::string& port, const std::string& state) {
    return [port, state](const std::vector<Json>& events) {
        for (auto it = events.rbegin(); it != events.rend(); ++it) {
            if ((*it)["event"] == "slot" && (*it)["name"] == port) {
                return (*it)["state"] == state;
            }
        }
        return false;
    };
}

std::map<std::string, Json> RowsByPort(const Json& history) {
    std::map<std::string, Json> rows;
    for (const Json& row : history["runs"]) {
        rows[row["port"].get<std::string>()] = row;
    }
    return rows;
}

}  // namespace

TEST(VelkoStation, MixedBatchIsRecordedAndToldToEveryPageInOrder) {
    Bench bench;
    auto faulty = [](void (*set)(sim::Options&)) {
        sim::Options options;
        set(options);
        return std::make_unique<Instrument>(options);
    };
    Instrument healthy;
    auto silent = faulty([](sim::Options& o) { o.identify = sim::Answer::Silent; });
    auto erase = faulty([](sim::Options& o) { o.eraseFaultAt = 2; });
    auto block = faulty([](sim::Options& o) {
        o.blockFaultAt = 5;
        o.blockFault = sim::Answer::BadChecksum;
    });
    auto closes = faulty([](sim::Options& o) { o.closeAtBlock = 3; });
    auto shortId = faulty([](sim::Options& o) { o.identifyLength = 8; });
    Instrument untouched;
    // A name with a comma and a quote, which the CSV must quote.
    const std::map<std::string, std::string> expected = {
        {bench.Link("bench \"A\",1", healthy.sim), ""},
        {bench.Link("silent", silent->sim), "Can't find Vyra"},
        {bench.Link("erase", erase->sim), "Can't Erase Program Memory (Sector Erase Rec fail!)"},
        {bench.Link("block", block->sim), "Can't Load Application"},
        {bench.Link("closes", closes->sim), "Can't Load Application"},
        {bench.Link("short-identify", shortId->sim), ""},
        {bench.dir.File("unplugged"), "Can't Open " + bench.dir.File("unplugged")},
    };
    const std::string spare = bench.Link("spare", untouched.sim);
    std::vector<std::string> args;
    Json ports = Json::array();
    for (const auto& [port, error] : expected) {
        args.insert(args.end(), {"--port", port});
        ports.push_back(port);
    }
    args.insert(args.end(), {"--port", spare});
    Station station(bench, args);
    ASSERT_TRUE(station.Serving()) << station.Process().ErrSoFar();
    EventStream first(station), second(station);
    auto snapshot = [](const std::vector<Json>& e) { return !e.empty(); };
    ASSERT_TRUE(first.WaitFor(snapshot) && second.WaitFor(snapshot));
    EXPECT_EQ(first.Events()[0]["event"], "snapshot");
    EXPECT_EQ(first.Events()[0]["ports"].size(), expected.size() + 1);

    auto [status, answer] = station.Post("/api/runs", {{"file", kSmall}, {"ports", ports}});
    ASSERT_EQ(status, 202) << answer;
    std::map<std::string, int64_t> ids;
    for (const Json& run : answer["runs"]) {
        ids[run["port"]] = run["id"];
    }
    ASSERT_EQ(ids.size(), expected.size());
    // The silent instrument keeps its port busy for seconds: asked again, nothing starts.
    const std::string busy = bench.dir.File("silent");
    auto [again, refusal] = station.Post("/api/runs", {{"file", kSmall}, {"ports", {spare, busy}}});
    EXPECT_EQ(again, 409) << refusal;
    EXPECT_EQ(refusal["ports"], Json::array({busy}));
    // An unsigned file is refused before any port is touched.
    auto [unsigned_, why] =
        station.Post("/api/runs", {{"file", "VYRA_UNSIGNED.A37"}, {"ports", {spare}}});
    EXPECT_EQ(unsigned_, 422);
    EXPECT_EQ(why["error"], "Can't load unsigned file");

    // Every run's result, and after it the slot event of the port's new state: only then
    // has each page been told everything the batch will tell.
    auto settled = [&](const std::vector<Json>& events) {
        if (Results(events) < expected.size()) {
            return false;
        }
        for (const auto& [port, error] : expected) {
            if (SlotReaches(port, "running")(events)) {
                return false;
            }
        }
        return true;
    };
    ASSERT_TRUE(first.WaitFor(settled));
    ASSERT_TRUE(second.WaitFor(settled));
    const std::vector<Json> events = first.Events();
    EXPECT_EQ(events, second.Events());
    // Each run's events in order: its status texts and total before its blocks, its result
    // last, and all carrying its id.
    for (const auto& [port, error] : expected) {
        SCOPED_TRACE(port);
        std::vector<std::string> kinds;
        for (const Json& event : events) {
            if (event.value("port", Json()) == port && event["event"] != "slot") {
                EXPECT_EQ(event["run"], ids[port]);
                kinds.push_back(event["event"]);
            }
        }
        ASSERT_FALSE(kinds.empty());
        EXPECT_EQ(kinds.back(), "result");
        EXPECT_EQ(std::count(kinds.begin(), kinds.end(), "result"), 1);
        const auto firstProgress = std::find(kinds.begin(), kinds.end(), "progress");
        EXPECT_TRUE(std::find(firstProgress, kinds.end(), "total") == kinds.end());
    }
    EXPECT_TRUE(untouched.sim.Received().empty());
    EXPECT_EQ(healthy.sim.GetReport().flashDigest, ExpectedDigest(Sample(kSmall)));

    // The history: one row a run, with the result, the failure as velko-cli words it and
    // the identify bytes as the loader sent them.
    const std::map<std::string, Json> rows = RowsByPort(station.Get("/api/history"));
    ASSERT_EQ(rows.size(), expected.size());
    for (const auto& [port, error] : expected) {
        SCOPED_TRACE(port);
        const Json& row = rows.at(port);
        EXPECT_EQ(row["id"], ids[port]);
        EXPECT_EQ(row["file"], kSmall);
        EXPECT_EQ(row["image_crc"], 50892);
        EXPECT_EQ(row["file_sha256"].get<std::string>().size(), 64u);
        EXPECT_EQ(row["result"], error.empty() ? "done" : "failed");
        EXPECT_EQ(row["error"], error.empty() ? Json() : Json(error));
        EXPECT_FALSE(row["ended"].is_null());
    }
    EXPECT_EQ(rows.at(bench.dir.File("bench \"A\",1"))["identify"], kIdentityHex);
    EXPECT_EQ(rows.at(bench.dir.File("bench \"A\",1"))["bytes"], 6272);
    EXPECT_GT(rows.at(bench.dir.File("bench \"A\",1"))["block_ms"].get<double>(), 0.0);
    // A reply of 8 bytes carries offsets 3 to 7: four identify bytes and its checksum.
    EXPECT_EQ(rows.at(bench.dir.File("short-identify"))["identify"].get<std::string>().substr(0, 8),
              "56595241");
    EXPECT_EQ(rows.at(bench.dir.File("short-identify"))["identify"].get<std::string>().size(), 10u);
    EXPECT_TRUE(rows.at(bench.dir.File("silent"))["identify"].is_null());
    EXPECT_EQ(station.Get("/api/history?result=failed&limit=2")["runs"].size(), 2u);

    auto csv = station.Client().Get("/api/history.csv");
    ASSERT_TRUE(csv);
    EXPECT_EQ(csv->body.substr(0, csv->body.find("\r\n")),
              "id,started,ended,port,file,file_sha256,image_crc,start,end,identify,result,error,"
              "bytes,seconds,block_ms,station,version,attempt,block_rate");
    EXPECT_EQ(std::count(csv->body.begin(), csv->body.end(), '\n'),
              static_cast<long>(expected.size()) + 1);
    EXPECT_NE(csv->body.find(",\"" + bench.dir.File("bench \"\"A\"\",1") + "\","),
              std::string::npos);

    const Json slots = station.Get("/api/ports");
    for (const Json& slot : slots["ports"]) {
        const std::string name = slot["name"];
        if (name == spare) {
            EXPECT_EQ(slot["state"], "idle");
        } else if (name == bench.dir.File("unplugged")) {
            EXPECT_EQ(slot["state"], "absent");
            EXPECT_EQ(slot["note"], "no such port");
        } else if (name == bench.dir.File("closes")) {
            // The instrument hung up and its port went with it (absent once the watch has
            // seen it, unless another program's pseudo-terminal took the number); the
            // failure stays.
            EXPECT_TRUE(slot["state"] == "absent" || slot["state"] == "failed") << slot;
            EXPECT_EQ(slot["error"], "Can't Load Application");
        } else {
            EXPECT_EQ(slot["state"], expected.at(name).empty() ? "done" : "failed") << name;
            EXPECT_EQ(slot["run"], ids[name]);
        }
    }
    EXPECT_EQ(station.Stop(), kExitOk);
}

TEST(VelkoStation, RefusesWhatARequestMayNotAsk) {
    Bench bench;
    Instrument instrument;
    const std::string port = bench.Link("port", instrument.sim);
    fs::create_symlink("/etc/passwd", bench.shelf + "/outside.a37");
    Station station(bench, {"--port", port});
    ASSERT_TRUE(station.Serving()) << station.Process().ErrSoFar();
    EXPECT_EQ(station.StartLine(),
              "velko-station: open http://127.0.0.1:" + std::to_string(station.Port()) + "/");
    auto client = station.Client();

    // Another host name: a page of another site that resolves to this machine.
    auto foreign = client.Get("/api/ports", {{"Host", "evil.example:" + std::to_string(station.Port())}});
    ASSERT_TRUE(foreign);
    EXPECT_EQ(foreign->status, 403);
    for (const char* host : {"localhost", "127.0.0.1"}) {
        auto own = client.Get("/api/ports", {{"Host", host + (":" + std::to_string(station.Port()))}});
        ASSERT_TRUE(own);
        EXPECT_EQ(own->status, 200) << host;
    }
    // Only JSON, and not too much of it.
    auto plain = client.Post("/api/runs", R"({"file":"VYRA_SMALL.A37","ports":[]})", "text/plain");
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->status, 415);
    auto huge = client.Post("/api/runs", std::string(70 * 1024, ' ') + "{}", "application/json");
    ASSERT_TRUE(huge);
    EXPECT_EQ(huge->status, 413);
    auto broken = client.Post("/api/runs", "{\"file\":", "application/json");
    ASSERT_TRUE(broken);
    EXPECT_EQ(broken->status, 400);
    // Names that are no shelf names open nothing; ports must be slots.
    for (const std::string& file : {std::string("../history.db"), std::string("/etc/passwd"),
                                    std::string("VYRA_SMALL.A37/.."), std::string("sub/x.a37"),
                                    std::string("VYRA_SMALL.A37\0.a37", 19),
                                    std::string("outside.a37"), std::string("missing.a37")}) {
        SCOPED_TRACE(file);
        EXPECT_EQ(station.Post("/api/runs", {{"file", file}, {"ports", {port}}}).first, 400);
        EXPECT_EQ(station.Post("/api/auto", {{"file", file}}).first, 400);
    }
    EXPECT_EQ(station.Post("/api/runs", {{"file", kSmall}, {"ports", {"/dev/null"}}}).first, 400);
    EXPECT_EQ(station.Post("/api/runs", {{"file", kSmall}, {"ports", Json::array()}}).first, 400);
    EXPECT_EQ(station.Post("/api/runs", {{"file", kSmall}, {"ports", {port, port}}}).first, 400);
    EXPECT_EQ(station.Post("/api/runs", {{"file", kSmall}, {"ports", {port}}, {"block_rate", 9600}})
                  .first,
              400);
    EXPECT_EQ(station.Post("/api/cancel", {{"ports", {"/dev/null"}}}).first, 400);
    EXPECT_EQ(station.Post("/api/auto", {{"file", "VYRA_UNSIGNED.A37"}}).first, 422);
    // The page's files only, never a path.
    for (const char* path : {"/../../etc/passwd", "/station.cpp", "/%2e%2e/history.db"}) {
        auto page = client.Get(path);
        ASSERT_TRUE(page);
        EXPECT_EQ(page->status, 404) << path;
    }
    EXPECT_EQ(client.Get("/")->status, 200);
    EXPECT_TRUE(instrument.sim.Received().empty());
    EXPECT_TRUE(station.Get("/api/history")["runs"].empty());
}

TEST(VelkoStation, ElsewhereThanLoopbackOnlyWithAToken) {
    Bench bench;
    const std::string tokenFile = bench.dir.Write("token", "  0123456789abcdefXYZ \n");
    const std::string shortToken = bench.dir.Write("short", "0123456789abcde\n");
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--listen", "0.0.0.0:0"},
             {"--listen", "0.0.0.0:0", "--token-file", shortToken},
             {"--listen", "0.0.0.0:0", "--token-file", "/dev/zero"}}) {
        const ChildResult run = RunChild([&] {
            std::vector<std::string> argv{VELKO_STATION, "--shelf", bench.shelf, "--db", bench.db};
            argv.insert(argv.end(), args.begin(), args.end());
            return argv;
        }());
        EXPECT_EQ(run.status, kExitUsage) << run.err;
        EXPECT_NE(run.err.find("token"), std::string::npos) << run.err;
    }

    Station station(bench, {"--listen", "0.0.0.0:0", "--token-file", tokenFile});
    ASSERT_TRUE(station.Serving()) << station.Process().ErrSoFar();
    // Without TLS the start-up line and the API say that the token crosses the network as
    // it is (the page shows it in its header).
    EXPECT_NE(station.StartLine().find("http://"), std::string::npos) << station.StartLine();
    EXPECT_NE(station.StartLine().find("(unencrypted: the token travels in clear text"),
              std::string::npos)
        << station.StartLine();
    const Json info =
        station.Get("/api/station", {{"Authorization", "Bearer 0123456789abcdefXYZ"}});
    EXPECT_EQ(info["tls"], false);
    EXPECT_EQ(info["loopback"], false);
    auto client = station.Client();
    EXPECT_EQ(client.Get("/api/ports")->status, 401);
    EXPECT_EQ(client.Get("/api/ports", {{"Authorization", "Bearer 0123456789abcdefXY"}})->status, 401);
    EXPECT_EQ(client.Get("/api/ports", {{"Authorization", "Bearer 0123456789abcdefXYZ"}})->status,
              200);
    EXPECT_EQ(client.Get("/api/events")->status, 401);
    EXPECT_EQ(client.Post("/api/auto", R"({"file":null})", "application/json")->status, 401);
    // The page itself needs none: it takes the token from its address's fragment.
    EXPECT_EQ(client.Get("/")->status, 200);
    EXPECT_EQ(client.Get("/api/history.csv?token=0123456789abcdefXYZ")->status, 200);
    EXPECT_EQ(client.Get("/api/history?token=0123456789abcdefXYZ")->status, 401);
    EventStream events(station, "?token=0123456789abcdefXYZ");
    EXPECT_TRUE(events.WaitFor([](const std::vector<Json>& e) { return !e.empty(); }));
}

TEST(VelkoStation, WatchedPortIsProgrammedOnceEachTimeItAppears) {
    Bench bench;
    const std::string watched = bench.dir.File("hub");
    fs::create_directory(watched);
    Instrument instrument;
    Station station(bench, {"--watch", watched + "/*", "--auto", kSmall});
    ASSERT_TRUE(station.Serving()) << station.Process().ErrSoFar();
    EventStream events(station);
    const std::string port = watched + "/vyra-1";
    for (int appearance = 1; appearance <= 2; ++appearance) {
        SCOPED_TRACE(appearance);
        fs::create_symlink(instrument.sim.PortPath(), port);
        ASSERT_TRUE(events.WaitFor(ResultsReach(static_cast<size_t>(appearance))));
        ASSERT_TRUE(events.WaitFor(SlotReaches(port, "done")));
        fs::remove(port);
        ASSERT_TRUE(events.WaitFor(SlotReaches(port, "absent")));
    }
    const Json rows = station.Get("/api/history");
    ASSERT_EQ(rows["runs"].size(), 2u);
    for (const Json& row : rows["runs"]) {
        EXPECT_EQ(row["port"], port);
        EXPECT_EQ(row["result"], "done");
    }
    EXPECT_EQ(instrument.sim.GetReport().flashDigest, ExpectedDigest(Sample(kSmall)));
    // Without the automatic file a port that appears only waits.
    EXPECT_EQ(station.Post("/api/auto", {{"file", nullptr}}).first, 200);
    fs::create_symlink(instrument.sim.PortPath(), port);
    ASSERT_TRUE(events.WaitFor(SlotReaches(port, "done")));  // present again, last result kept
    EXPECT_EQ(station.Get("/api/history")["runs"].size(), 2u);
}

TEST(VelkoStation, AStopInTheMiddleOfARunIsInTheHistory) {
    Bench bench;
    sim::Options paced;
    paced.pace = true;
    Instrument instrument(paced);
    const std::string port = bench.Link("port", instrument.sim);
    auto runUntilBlocks = [&](Station& station) {
        EventStream events(station);
        EXPECT_EQ(station.Post("/api/runs", {{"file", "VYRA_FULL.A37"}, {"ports", {port}}}).first,
                  202);
        EXPECT_TRUE(events.WaitFor([](const std::vector<Json>& e) {
            return std::any_of(e.begin(), e.end(), [](const Json& x) {
                return x["event"] == "progress" && x["bytes"] >= 640;
            });
        }));
    };
    {
        // Killed outright: the row stays running, and the next start says interrupted.
        Station station(bench, {"--port", port});
        ASSERT_TRUE(station.Serving()) << station.Process().ErrSoFar();
        runUntilBlocks(station);
        station.Stop(SIGKILL);
    }
    {
        Station station(bench, {"--port", port});
        ASSERT_TRUE(station.Serving()) << station.Process().ErrSoFar();
        const Json rows = station.Get("/api/history");
        ASSERT_EQ(rows["runs"].size(), 1u);
        EXPECT_EQ(rows["runs"][0]["result"], "interrupted");
        EXPECT_EQ(rows["runs"][0]["error"], "the station stopped during the run");
        EXPECT_EQ(station.Get("/api/ports")["ports"][0]["state"], "failed");
        // Stopped in order: the run is cancelled before its next block and recorded.
        runUntilBlocks(station);
        EXPECT_EQ(station.Stop(SIGTERM), kExitOk);
        EXPECT_NE(station.Process().Err().find("stopped"), std::string::npos);
    }
    Station station(bench, {"--port", port});
    ASSERT_TRUE(station.Serving()) << station.Process().ErrSoFar();
    const Json rows = station.Get("/api/history");
    ASSERT_EQ(rows["runs"].size(), 2u);
    EXPECT_EQ(rows["runs"][0]["result"], "cancelled");
    EXPECT_LT(rows["runs"][0]["bytes"].get<int>(), 262144);
    EXPECT_EQ(station.Get("/api/ports")["ports"][0]["state"], "cancelled");
}

TEST(VelkoStation, TheHistoryIsOneStationsAndOlderOnesAreUpgraded) {
    Bench bench;
    Station station(bench, {});
    ASSERT_TRUE(station.Serving()) << station.Process().ErrSoFar();
    const ChildResult second =
        RunChild({VELKO_STATION, "--shelf", bench.shelf, "--db", bench.db, "--listen", "127.0.0.1:0"});
    EXPECT_EQ(second.status, kExitUsage);
    EXPECT_NE(second.err.find("in use by another station"), std::string::npos) << second.err;

    auto refused = [&](const std::string& db) {
        const ChildResult run =
            RunChild({VELKO_STATION, "--shelf", bench.shelf, "--db", db, "--listen", "127.0.0.1:0"});
        EXPECT_EQ(run.status, kExitUsage);
        return run.err;
    };
    EXPECT_NE(refused(bench.dir.Write("text.db", "not a database at all\n")).find("not a station history"),
              std::string::npos);
    const std::string other = bench.dir.File("other.db");
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(other.c_str(), &db), SQLITE_OK);
    sqlite3_exec(db, "CREATE TABLE notes (text TEXT)", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    EXPECT_NE(refused(other).find("not a station history"), std::string::npos);

    // A history of the first schema, with a run that never ended, is upgraded in place.
    const std::string old = bench.dir.File("old.db");
    ASSERT_EQ(sqlite3_open(old.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "PRAGMA application_id=1447382091; PRAGMA user_version=1;"
                           "CREATE TABLE runs (id INTEGER PRIMARY KEY, started TEXT NOT NULL,"
                           " ended TEXT, port TEXT NOT NULL, file TEXT NOT NULL,"
                           " file_sha256 TEXT NOT NULL, image_crc INTEGER NOT NULL,"
                           " start INTEGER NOT NULL, \"end\" INTEGER NOT NULL, identify TEXT,"
                           " result TEXT NOT NULL, error TEXT, bytes INTEGER NOT NULL DEFAULT 0,"
                           " seconds REAL, block_ms REAL, station TEXT NOT NULL,"
                           " version TEXT NOT NULL);"
                           "INSERT INTO runs VALUES (7, '2026-12-01T09:00:00Z', NULL, '/dev/ttyUSB0',"
                           " 'APP.A37', 'ab', 1, 2, 3, NULL, 'running', NULL, 64, NULL, NULL, 'pc',"
                           " '1.0.4');",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    Station upgraded(bench, {"--db", old});
    ASSERT_TRUE(upgraded.Serving()) << upgraded.Process().ErrSoFar();
    const Json row = upgraded.Get("/api/history")["runs"][0];
    EXPECT_EQ(row["id"], 7);
    EXPECT_EQ(row["result"], "interrupted");
    EXPECT_EQ(row["attempt"], 1);
    EXPECT_EQ(row["block_rate"], 115200);
    EXPECT_EQ(row["version"], "1.0.4");
}

TEST(VelkoStation, ARetryIsARowOfItsOwnAndASlowAdapterIsNoted) {
    Bench bench;
    sim::Options firstFails;
    firstFails.blockFaultAt = 3;
    firstFails.faultySessions = 1;
    Instrument flaky(firstFails);
    sim::Options slow;
    slow.replyDelayMs = 16;
    Instrument held(slow);
    const std::string retried = bench.Link("retried", flaky.sim);
    const std::string noted = bench.Link("noted", held.sim);
    Station station(bench, {"--port", retried, "--port", noted, "--retry", "1"});
    ASSERT_TRUE(station.Serving()) << station.Process().ErrSoFar();
    EventStream events(station);
    auto [status, answer] =
        station.Post("/api/runs", {{"file", kSmall}, {"ports", {retried}}, {"block_rate", 38400}});
    ASSERT_EQ(status, 202) << answer;
    // At 115200 a block needs 6.9 ms of line: 16 ms of delay is over twice that.
    EXPECT_EQ(station.Post("/api/runs", {{"file", kSmall}, {"ports", {noted}}}).first, 202);
    ASSERT_TRUE(events.WaitFor(ResultsReach(3)));

    const Json runs = station.Get("/api/history?port=" + retried)["runs"];
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[1]["id"], answer["runs"][0]["id"]);  // the request's id is the first attempt
    EXPECT_EQ(runs[1]["attempt"], 1);
    EXPECT_EQ(runs[1]["result"], "failed");
    EXPECT_EQ(runs[1]["error"], "Can't Load Application");
    EXPECT_EQ(runs[0]["attempt"], 2);
    EXPECT_EQ(runs[0]["result"], "done");
    for (const Json& row : runs) {
        EXPECT_EQ(row["block_rate"], 38400);
    }
    EXPECT_EQ(flaky.sim.GetReport().sessions.back().blockBaud, 38400u);
    const Json slots = station.Get("/api/ports");
    for (const Json& slot : slots["ports"]) {
        if (slot["name"] == retried) {
            EXPECT_EQ(slot["state"], "done");
            EXPECT_EQ(slot["run"], runs[0]["id"]);
            EXPECT_EQ(slot["attempt"], 2);
        } else {
            EXPECT_EQ(slot["state"], "done");
            EXPECT_NE(slot["note"].get<std::string>().find("slow replies"), std::string::npos)
                << slot;
        }
    }
}
