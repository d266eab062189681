// velko-station end to end: the real program, run as a child process, driven over HTTP
// against simulated instruments on pseudo-terminals.  What the instruments' flash holds, the
// history's rows, the event stream and the answers to bad requests are what count.
#include "port_runs/exit_status.h"
#include "station/password_hash.h"
#include "station/station_test_support.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <array>
#include <map>

using namespace station_test;

namespace {

// An operators file of NAME ROLE PASSWORD triples, the passwords hashed.
std::string OperatorsFile(const Bench& bench, const std::string& name,
                          const std::vector<std::array<std::string, 3>>& operators) {
    std::string text = "# the bench's operators\n\n";
    for (const auto& [who, role, password] : operators) {
        text += who + " " + role + "  " + HashPassword(password) + "   # " + who + "\n";
    }
    return bench.dir.Write(name, text);
}

// Signs in: the status, and the Cookie header of the session it began (none when refused).
std::pair<int, httplib::Headers> SignIn(const Station& station, const std::string& name,
                                        const std::string& password) {
    auto client = station.Client();
    auto result = client.Post("/api/session", Json{{"name", name}, {"password", password}}.dump(),
                              "application/json");
    if (!result) {
        return {0, {}};
    }
    const std::string cookie = result->get_header_value("Set-Cookie");
    if (result->status != 200 || cookie.empty()) {
        return {result->status, {}};
    }
    return {200, {{"Cookie", cookie.substr(0, cookie.find(';'))}}};
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
              "bytes,seconds,block_ms,station,version,attempt,block_rate,instrument,operator");
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
            EXPECT_TRUE(slot["state"] == "absent" || slot["state"] == "failed" ||
                        slot["state"] == "idle")
                << slot;
            if (slot["state"] != "idle") {  // a port that came back starts afresh
                EXPECT_EQ(slot["error"], "Can't Load Application");
            }
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
    // Without the automatic file a port that appears only waits, and it waits idle: the
    // instrument there now was never programmed, whatever the last one's tile said.
    EXPECT_EQ(station.Post("/api/auto", {{"file", nullptr}}).first, 200);
    fs::create_symlink(instrument.sim.PortPath(), port);
    ASSERT_TRUE(events.WaitFor(SlotReaches(port, "idle")));
    EXPECT_EQ(station.Get("/api/history")["runs"].size(), 2u);
    // A unit scanned and programmed, unplugged, another plugged in: the slot forgets the run.
    auto [status, answer] = station.Post(
        "/api/runs", {{"file", kSmall}, {"ports", {port}}, {"instruments", {{port, "4711"}}}});
    ASSERT_EQ(status, 202) << answer;
    ASSERT_TRUE(events.WaitFor(ResultsReach(3)));
    ASSERT_TRUE(events.WaitFor(SlotReaches(port, "done")));
    EXPECT_EQ(station.Get("/api/ports")["ports"][0]["instrument"], "4711");
    fs::remove(port);
    ASSERT_TRUE(events.WaitFor(SlotReaches(port, "absent")));
    fs::create_symlink(instrument.sim.PortPath(), port);
    ASSERT_TRUE(events.WaitFor(SlotReaches(port, "idle")));
    const Json slot = station.Get("/api/ports")["ports"][0];
    EXPECT_EQ(slot["state"], "idle");
    for (const char* key : {"instrument", "file", "run", "error", "note", "started"}) {
        EXPECT_TRUE(slot[key].is_null()) << key << ": " << slot;
    }
    const Json runs = station.Get("/api/history?instrument=4711")["runs"];
    ASSERT_EQ(runs.size(), 1u);  // the run stays in the history
    EXPECT_EQ(runs[0]["id"], answer["runs"][0]["id"]);
    EXPECT_EQ(runs[0]["result"], "done");
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

// A batch whose rows the history can't all take starts on none of its ports, and none of
// them stays "running": the history here refuses a second running row, as a full disk might.
TEST(VelkoStation, ABatchTheHistoryCantRecordStartsNowhere) {
    Bench bench;
    Instrument a, b;
    const std::string pa = bench.Link("pa", a.sim), pb = bench.Link("pb", b.sim);
    {
        Station made(bench, {"--port", pa, "--port", pb});
        ASSERT_TRUE(made.Serving()) << made.Process().ErrSoFar();
        EXPECT_EQ(made.Stop(), kExitOk);
    }
    ASSERT_TRUE(ExecSql(bench.db,
                        "CREATE TRIGGER one_running BEFORE INSERT ON runs WHEN (SELECT count(*)"
                        " FROM runs WHERE result = 'running') > 0 BEGIN"
                        " SELECT RAISE(ABORT, 'the disk is full'); END;"));

    Station station(bench, {"--port", pa, "--port", pb});
    ASSERT_TRUE(station.Serving()) << station.Process().ErrSoFar();
    auto [status, answer] = station.Post("/api/runs", {{"file", kSmall}, {"ports", {pa, pb}}});
    EXPECT_EQ(status, 500);
    EXPECT_EQ(answer["error"], "can't write the history");
    const Json ports = station.Get("/api/ports");
    std::map<std::string, Json> slots;
    for (const Json& slot : ports["ports"]) {
        slots[slot["name"].get<std::string>()] = slot;
    }
    EXPECT_EQ(slots[pa]["state"], "failed");
    EXPECT_EQ(slots[pa]["error"], "can't write the history");
    EXPECT_EQ(slots[pb]["state"], "idle");
    const Json rows = station.Get("/api/history")["runs"];
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0]["port"], pa);
    EXPECT_EQ(rows[0]["result"], "failed");
    EXPECT_FALSE(rows[0]["ended"].is_null());

    // Nothing is left running: a batch the history can take runs.
    EventStream events(station);
    EXPECT_EQ(station.Post("/api/runs", {{"file", kSmall}, {"ports", {pb}}}).first, 202);
    ASSERT_TRUE(events.WaitFor(ResultsReach(1)));
    EXPECT_EQ(b.sim.GetReport().flashDigest, ExpectedDigest(Sample(kSmall)));
    EXPECT_EQ(station.Stop(), kExitOk);
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
    EXPECT_TRUE(row["instrument"].is_null());
    EXPECT_TRUE(row["operator"].is_null());
    // Its row waits in the outbox for a site given later; the file now has an identity.
    const Json site = upgraded.Get("/api/site");
    EXPECT_EQ(site["state"], "off");
    EXPECT_EQ(site["pending"], 1);
    EXPECT_EQ(site["station_id"].get<std::string>().size(), 36u);
    EXPECT_EQ(upgraded.Get("/api/site/stations")["error"],
              "this station has no site database (--site)");

    // The released schema, 2, with a finished run: upgraded in place with the new columns
    // and their indexes, the row as it was.
    const std::string released = bench.dir.File("released.db");
    ASSERT_TRUE(ExecSql(released, std::string(kReleasedHistorySchema) +
                                      "INSERT INTO runs VALUES (9, '2026-12-02T09:00:00Z',"
                                      " '2026-12-02T09:00:33Z', 'p05', 'APP.A37', 'cd', 1, 2, 3,"
                                      " '5659524100010005', 'done', NULL, 262144, 33.0, 7.1,"
                                      " 'pc', '1.1.0', 2, 57600);"));
    {
        Station fromReleased(bench, {"--db", released});
        ASSERT_TRUE(fromReleased.Serving()) << fromReleased.Process().ErrSoFar();
        const Json kept = fromReleased.Get("/api/history")["runs"][0];
        EXPECT_EQ(kept["id"], 9);
        EXPECT_EQ(kept["result"], "done");
        EXPECT_EQ(kept["attempt"], 2);
        EXPECT_EQ(kept["block_rate"], 57600);
        EXPECT_EQ(kept["identify"], kIdentityHex);
        EXPECT_TRUE(kept["instrument"].is_null());
        EXPECT_TRUE(kept["operator"].is_null());
        EXPECT_EQ(fromReleased.Stop(), kExitOk);
    }
    ASSERT_EQ(sqlite3_open(released.c_str(), &db), SQLITE_OK);
    auto single = [&](const char* sql) {
        sqlite3_stmt* statement = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(db, sql, -1, &statement, nullptr), SQLITE_OK) << sql;
        const bool stepped = sqlite3_step(statement) == SQLITE_ROW;
        const std::string value =
            stepped ? reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)) : "";
        sqlite3_finalize(statement);
        return value;
    };
    EXPECT_EQ(single("PRAGMA user_version"), "4");
    EXPECT_EQ(single("SELECT count(*) FROM sqlite_master WHERE type = 'index' AND name IN"
                     " ('runs_instrument', 'runs_file_sha256', 'runs_operator')"),
              "3");
    sqlite3_close(db);
}

// An export for an audit holds every row its filters select, however many: streamed in
// chunks, not the newest 100,000.
TEST(VelkoStation, TheCsvHoldsEveryRow) {
    Bench bench;
    {
        Station empty(bench, {});
        ASSERT_TRUE(empty.Serving()) << empty.Process().ErrSoFar();
        EXPECT_EQ(empty.Stop(), kExitOk);
    }
    constexpr int kRows = 100050;
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(bench.db.c_str(), &db), SQLITE_OK);
    const std::string insert =
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
        std::to_string(kRows) +
        ") INSERT INTO runs (started, ended, port, file, file_sha256, image_crc, start, \"end\","
        " result, bytes, station, version, instrument) SELECT '2026-11-01T08:00:00Z',"
        " '2026-11-01T08:00:30Z', 'p' || (i % 16), 'APP.A37', 'ab', 1, 2, 3, 'done', 6272, 'pc',"
        " '1.1.0', 'SN' || i FROM n";
    ASSERT_EQ(sqlite3_exec(db, insert.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);

    Station station(bench, {});
    ASSERT_TRUE(station.Serving()) << station.Process().ErrSoFar();
    auto client = station.Client();
    auto csv = client.Get("/api/history.csv");
    ASSERT_TRUE(csv);
    EXPECT_EQ(csv->status, 200);
    EXPECT_EQ(csv->get_header_value("Transfer-Encoding"), "chunked");
    EXPECT_EQ(std::count(csv->body.begin(), csv->body.end(), '\n'), kRows + 1);
    EXPECT_NE(csv->body.find(",SN1,\r\n"), std::string::npos);  // the oldest row is there too
    // A row of the CSV says what the same row of the JSON says, column by column.
    const Json newest = station.Get("/api/history?limit=1")["runs"][0];
    const size_t firstRow = csv->body.find("\r\n") + 2;
    std::string expected, header = csv->body.substr(0, firstRow - 2) + ",";
    for (size_t at = 0, comma; (comma = header.find(',', at)) != std::string::npos;
         at = comma + 1) {
        const Json& value = newest.at(header.substr(at, comma - at));
        expected += (at == 0 ? "" : ",") + (value.is_string() ? value.get<std::string>()
                                            : value.is_null() ? ""
                                                              : value.dump());
    }
    EXPECT_EQ(csv->body.substr(firstRow, csv->body.find("\r\n", firstRow) - firstRow), expected);
    // The filters select; a limit, when asked for, holds.
    auto some = client.Get("/api/history.csv?port=p3&limit=7");
    ASSERT_TRUE(some);
    EXPECT_EQ(std::count(some->body.begin(), some->body.end(), '\n'), 8);
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

// A bench run with a scanner and a sign-in: each unit's serial and the operator on every
// event, row and slot; every request that can't name its units refused before anything
// starts.
TEST(VelkoStationRecords, AScannedBatchIsRecordedWithItsSerialsAndItsOperator) {
    Bench bench;
    Instrument a, b, c;
    const std::string pa = bench.Link("pa", a.sim), pb = bench.Link("pb", b.sim),
                      pc = bench.Link("pc", c.sim);
    const std::string operators = OperatorsFile(
        bench, "operators", {{"anna", "supervisor", "1357"}, {"bob", "operator", "2468"}});
    const std::string token = "0123456789abcdefXYZ";
    const std::string tokenFile = bench.dir.Write("token", token + "\n");
    Station station(bench, {"--port", pa, "--port", pb, "--port", pc, "--operators", operators,
                            "--require-instrument", "--token-file", tokenFile});
    ASSERT_TRUE(station.Serving()) << station.Process().ErrSoFar();
    auto client = station.Client();
    EXPECT_EQ(client.Get("/api/ports")->status, 401);
    EXPECT_EQ(client.Get("/api/events")->status, 401);
    EXPECT_EQ(station.Get("/api/session"), Json({{"sign_in", true}, {"operator", nullptr}}));

    auto signIn =
        client.Post("/api/session", R"({"name":"bob","password":"2468"})", "application/json");
    ASSERT_TRUE(signIn);
    ASSERT_EQ(signIn->status, 200) << signIn->body;
    const std::string cookie = signIn->get_header_value("Set-Cookie");
    EXPECT_EQ(cookie.substr(cookie.find(';')),
              "; HttpOnly; SameSite=Strict; Path=/; Max-Age=43200");
    EXPECT_EQ(cookie.find('='), 13u);
    EXPECT_EQ(cookie.find(';') - 14, 64u);  // 256 random bits in hex
    const httplib::Headers bob{{"Cookie", cookie.substr(0, cookie.find(';'))}};
    EXPECT_EQ(station.Get("/api/session", bob)["operator"],
              Json({{"name", "bob"}, {"role", "operator"}}));
    EXPECT_EQ(station.Get("/api/station", bob)["require_instrument"], true);
    EventStream events(station, "", bob);

    // Nothing starts for a request whose serials can't all be used; the answer names the port.
    const std::vector<std::pair<Json, std::string>> refused = {
        {{{"ports", {pa, pb}}, {"instruments", {{pa, "A-1"}, {pb, "A-1"}}}}, pb},
        {{{"ports", {pa, pb}}, {"instruments", {{pa, "A-1"}}}}, pb},
        {{{"ports", {pa}}}, pa},
        {{{"ports", {pa}}, {"instruments", {{pa, "  \t "}}}}, pa},
        {{{"ports", {pa}}, {"instruments", {{pa, std::string(65, '7')}}}}, pa},
        {{{"ports", {pa}}, {"instruments", {{pa, "47\n11"}}}}, pa},
        {{{"ports", {pa}},
          {"instruments",
           {{pa, std::string("47\0"
                             "11",
                             5)}}}},
         pa},
        {{{"ports", {pa}}, {"instruments", {{pa, 4711}}}}, pa},
        {{{"ports", {pa}}, {"instruments", {{pa, "4711"}, {pb, "4712"}}}}, pb},
    };
    for (auto [request, port] : refused) {
        request["file"] = kSmall;
        auto [status, answer] = station.Post("/api/runs", request, bob);
        EXPECT_EQ(status, 400) << request;
        EXPECT_NE(answer["error"].get<std::string>().find(port), std::string::npos) << answer;
    }
    EXPECT_TRUE(station.Get("/api/history", bob)["runs"].empty());
    EXPECT_TRUE(a.sim.Received().empty() && b.sim.Received().empty());

    // Only a supervisor sets or clears the automatic file; under --require-instrument no
    // file can be automatic (a port that appears has no serial).
    EXPECT_EQ(station.Post("/api/auto", {{"file", nullptr}}, bob).first, 403);
    const auto [annaStatus, anna] = SignIn(station, "anna", "1357");
    ASSERT_EQ(annaStatus, 200);
    EXPECT_EQ(station.Post("/api/auto", {{"file", nullptr}}, anna).first, 200);
    EXPECT_EQ(station.Post("/api/auto", {{"file", kSmall}}, anna).first, 400);

    // The batch, scanned: every event of a port names its unit and who started it.
    const std::map<std::string, std::string> serials{{pa, "4711"}, {pb, "4712"}, {pc, "4713"}};
    auto [status, answer] =
        station.Post("/api/runs",
                     {{"file", kSmall},
                      {"ports", {pa, pb, pc}},
                      {"instruments", {{pa, " 4711 "}, {pb, "4712"}, {pc, "4713"}}}},
                     bob);
    ASSERT_EQ(status, 202) << answer;
    ASSERT_TRUE(events.WaitFor(ResultsReach(3)));
    for (const Json& event : events.Events()) {
        if (event["event"] != "slot" && event["event"] != "snapshot" && event.contains("run")) {
            EXPECT_EQ(event["instrument"], serials.at(event["port"])) << event;
            EXPECT_EQ(event["operator"], "bob") << event;
        }
    }
    const std::map<std::string, Json> rows = RowsByPort(station.Get("/api/history", bob));
    ASSERT_EQ(rows.size(), 3u);
    for (const auto& [port, serial] : serials) {
        EXPECT_EQ(rows.at(port)["instrument"], serial);
        EXPECT_EQ(rows.at(port)["operator"], "bob");
        EXPECT_EQ(rows.at(port)["result"], "done");
    }
    const Json slots = station.Get("/api/ports", bob);
    for (const Json& slot : slots["ports"]) {
        EXPECT_EQ(slot["instrument"], serials.at(slot["name"]));
        EXPECT_EQ(slot["operator"], "bob");
    }

    // The token of --token-file signs its runs as "token".
    const httplib::Headers bearer{{"Authorization", "Bearer " + token}};
    EXPECT_EQ(
        station
            .Post("/api/runs", {{"file", kSmall}, {"ports", {pa}}, {"instruments", {{pa, "4714"}}}},
                  bearer)
            .first,
        202);
    ASSERT_TRUE(events.WaitFor(ResultsReach(4)));
    const Json newest = station.Get("/api/history?limit=1", bearer)["runs"][0];
    EXPECT_EQ(newest["instrument"], "4714");
    EXPECT_EQ(newest["operator"], "token");

    // Signed out, the session is no more, and its page's stream ends at the next event.
    EXPECT_EQ(station.Post("/api/session/end", Json::object(), bob).first, 200);
    EXPECT_EQ(client.Get("/api/ports", bob)->status, 401);
    EXPECT_EQ(client.Get("/api/ports", anna)->status, 200);
    EventStream annasPage(station, "", anna);
    ASSERT_TRUE(annasPage.WaitFor([](const std::vector<Json>& e) { return !e.empty(); }));
    EXPECT_EQ(station.Post("/api/auto", {{"file", nullptr}}, anna).first, 200);
    EXPECT_TRUE(events.WaitForEnd());
    ASSERT_TRUE(annasPage.WaitFor([](const std::vector<Json>& e) {
        return e.back()["event"] == "auto";
    }));
}

// The operators file: what it may hold, the sign-in's answers, the lock-out, and a new list
// taken on SIGHUP without stopping the bench (a bad one leaving the old in force).
// One unit can't be on two ports at once: a serial that a running port's unit has is refused
// for another port, whichever request names it.
TEST(VelkoStationRecords, ASerialBeingProgrammedIsRefusedForAnotherPort) {
    Bench bench;
    sim::Options paced;
    paced.pace = true;
    Instrument a(paced), b;
    const std::string pa = bench.Link("pa", a.sim), pb = bench.Link("pb", b.sim);
    Station station(bench, {"--port", pa, "--port", pb});
    ASSERT_TRUE(station.Serving()) << station.Process().ErrSoFar();
    EventStream events(station);
    ASSERT_EQ(station.Post("/api/runs", {{"file", "VYRA_FULL.A37"},
                                         {"ports", {pa}},
                                         {"instruments", {{pa, "4711"}}}})
                  .first,
              202);
    auto [status, answer] = station.Post(
        "/api/runs", {{"file", kSmall}, {"ports", {pb}}, {"instruments", {{pb, "4711"}}}});
    EXPECT_EQ(status, 409);
    EXPECT_EQ(answer["error"], "the instrument 4711 is being programmed on " + pa);
    EXPECT_EQ(answer["ports"], Json::array({pa}));
    EXPECT_TRUE(b.sim.Received().empty());
    EXPECT_EQ(station.Post("/api/runs", {{"file", kSmall},
                                         {"ports", {pb}},
                                         {"instruments", {{pb, "4712"}}}})
                  .first,
              202);
    ASSERT_TRUE(events.WaitFor(SlotReaches(pb, "done")));
    EXPECT_EQ(station.Post("/api/cancel", {{"all", true}}).first, 202);
    ASSERT_TRUE(events.WaitFor(ResultsReach(2)));
}

TEST(VelkoStationRecords, TheOperatorsFileAndItsSignIn) {
    Bench bench;
    const std::string hash = HashPassword("1357");
    for (const auto& [text, why] : std::vector<std::pair<std::string, std::string>>{
             {"anna admin " + hash + "\n",
              "line 1: the role admin is neither operator nor supervisor"},
             {"# two\n\nanna supervisor\n", "line 3: want NAME ROLE HASH, three words"},
             {"anna supervisor sha256$abc\n", "line 1: the hash of anna is none"},
             {"anna supervisor " + hash + "\nanna operator " + hash + "\n",
              "line 2: anna is named twice"},
             {"token supervisor " + hash + "\n", "line 1: the name token is the bearer token's"},
             {"# nobody yet\n", "names no operator"}}) {
        const std::string file = bench.dir.Write("bad-operators", text);
        const ChildResult run = RunChild({VELKO_STATION, "--shelf", bench.shelf, "--db", bench.db,
                                          "--listen", "127.0.0.1:0", "--operators", file});
        EXPECT_EQ(run.status, kExitUsage) << text;
        EXPECT_NE(run.err.find(why), std::string::npos) << run.err;
    }
    const ChildResult missing = RunChild({VELKO_STATION, "--shelf", bench.shelf, "--operators",
                                          bench.dir.File("none"), "--listen", "127.0.0.1:0"});
    EXPECT_EQ(missing.status, kExitUsage);
    EXPECT_NE(missing.err.find("can't read the operators file"), std::string::npos);

    // hash-password reads the password from a pipe and prints the HASH field.
    const ChildResult hashed = RunChild(
        {"/bin/sh", "-c", std::string("printf '2468\\n' | ") + VELKO_STATION + " hash-password"});
    ASSERT_EQ(hashed.status, kExitOk) << hashed.err;
    EXPECT_EQ(hashed.out.rfind("pbkdf2-sha256$600000$", 0), 0u) << hashed.out;
    const std::string operators = bench.dir.Write(
        "operators", "bob operator " + hashed.out.substr(0, hashed.out.size() - 1) + "\n");
    Station station(bench, {"--operators", operators});
    ASSERT_TRUE(station.Serving()) << station.Process().ErrSoFar();
    auto client = station.Client();
    auto attempt = [&](const std::string& name, const std::string& password) {
        auto result =
            client.Post("/api/session", Json{{"name", name}, {"password", password}}.dump(),
                        "application/json");
        return result ? std::make_pair(result->status, result->body)
                      : std::make_pair(0, std::string());
    };
    // An unknown name and a wrong password get the same answer.
    const auto wrong = attempt("bob", "1111");
    EXPECT_EQ(wrong.first, 401);
    EXPECT_EQ(attempt("zed", "2468"), wrong);
    EXPECT_EQ(attempt("bob", "2468").first, 200);
    EXPECT_EQ(client.Post("/api/session", "{\"name\":\"bob\"}", "application/json")->status, 400);
    // Five failures for a name lock it, even against the right password; other names not.
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(attempt("bob", "1111").first, 401) << i;
    }
    EXPECT_EQ(attempt("bob", "2468").first, 429);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(attempt("zed", "1111").first, 401) << i;  // zed has failed once before
    }
    EXPECT_EQ(attempt("zed", "1111").first, 429);  // a name unknown is counted as any other

    // SIGHUP: a new list is taken, carol may sign in; a bad one is refused and the list kept.
    EXPECT_EQ(attempt("carol", "9999").first, 401);
    bench.dir.Write("operators", "carol supervisor " + HashPassword("9999") + "\n");
    station.Process().Signal(SIGHUP);
    ASSERT_TRUE(station.Process().WaitForErr("was read again: 1 operator(s)", kStartMs));
    EXPECT_EQ(attempt("carol", "9999").first, 200);
    bench.dir.Write("operators", "carol chief " + HashPassword("9999") + "\n");
    station.Process().Signal(SIGHUP);
    ASSERT_TRUE(station.Process().WaitForErr("was not taken", kStartMs));
    EXPECT_NE(station.Process().ErrSoFar().find("the role chief is neither"), std::string::npos);
    EXPECT_EQ(attempt("carol", "9999").first, 200);
    EXPECT_EQ(station.Stop(), kExitOk);
}

// Three batches with different files: each unit's record, what it carries now, and the recall
// lists of each file; the history's filters combined.
TEST(VelkoStationRecords, EachInstrumentsRecordAndTheRecallLists) {
    Bench bench;
    // A third file: the small one's records with a comment line of its own, so another hash.
    std::ifstream small(bench.shelf + "/" + kSmall, std::ios::binary);
    const std::string smallText((std::istreambuf_iterator<char>(small)), {});
    const std::string kOther = "VYRA_SMALL_2.A37";
    bench.dir.Write("shelf/" + kOther, "S00600004844521B\r\n" + smallText);
    Instrument a, b, c;
    const std::string pa = bench.Link("pa", a.sim), pb = bench.Link("pb", b.sim),
                      pc = bench.Link("pc", c.sim), pd = bench.dir.File("unplugged");
    Station station(bench, {"--port", pa, "--port", pb, "--port", pc, "--port", pd});
    ASSERT_TRUE(station.Serving()) << station.Process().ErrSoFar();
    EventStream events(station);
    size_t results = 0;
    auto batch = [&](const std::string& file, const std::map<std::string, std::string>& units) {
        Json ports = Json::array(), instruments = Json::object();
        for (const auto& [port, serial] : units) {
            ports.push_back(port);
            instruments[port] = serial;
        }
        auto [status, answer] = station.Post(
            "/api/runs", {{"file", file}, {"ports", ports}, {"instruments", instruments}});
        ASSERT_EQ(status, 202) << answer;
        results += units.size();
        ASSERT_TRUE(events.WaitFor(ResultsReach(results)));
    };
    batch(kSmall, {{pa, "A"}, {pb, "B"}, {pc, "C"}});
    batch("VYRA_FULL.A37", {{pa, "A"}, {pb, "B"}});
    batch(kOther, {{pa, "A"}, {pd, "D"}});
    std::map<std::string, std::string> sha;
    const Json history = station.Get("/api/history");
    for (const Json& row : history["runs"]) {
        sha[row["file"].get<std::string>()] = row["file_sha256"].get<std::string>();
    }
    ASSERT_EQ(sha.size(), 3u) << history;

    const Json record = station.Get("/api/instruments/A");
    EXPECT_EQ(record["instrument"], "A");
    ASSERT_EQ(record["runs"].size(), 3u);
    EXPECT_EQ(record["runs"][0]["file"], kOther);  // newest first
    EXPECT_EQ(record["runs"][1]["file"], "VYRA_FULL.A37");
    EXPECT_EQ(record["runs"][2]["file"], kSmall);
    EXPECT_EQ(record["current"], record["runs"][0]);
    // D's only run failed: it carries nothing the bench gave it.
    const Json failed = station.Get("/api/instruments/D");
    EXPECT_TRUE(failed["current"].is_null());
    ASSERT_EQ(failed["runs"].size(), 1u);
    EXPECT_EQ(failed["runs"][0]["result"], "failed");
    auto client = station.Client();
    EXPECT_EQ(client.Get("/api/instruments/NEVER-SEEN")->status, 404);
    EXPECT_EQ(client.Get("/api/instruments?file_sha256=12ab")->status, 400);

    auto units = [&](const std::string& file, bool ever) {
        std::vector<std::string> serials;
        const Json list = station.Get("/api/instruments?file_sha256=" + sha.at(file) +
                                      (ever ? "&ever=true" : ""));
        for (const Json& unit : list["instruments"]) {
            serials.push_back(unit["instrument"]);
            EXPECT_EQ(unit["current"],
                      station.Get("/api/instruments/" +
                                  unit["instrument"].get<std::string>())["current"]);
        }
        return serials;
    };
    using List = std::vector<std::string>;
    EXPECT_EQ(units(kSmall, false), List({"C"}));
    EXPECT_EQ(units(kSmall, true), List({"A", "B", "C"}));
    EXPECT_EQ(units("VYRA_FULL.A37", false), List({"B"}));
    EXPECT_EQ(units("VYRA_FULL.A37", true), List({"A", "B"}));
    EXPECT_EQ(units(kOther, false), List({"A"}));

    // The filters, alone and together.
    auto count = [&](const std::string& query) {
        return station.Get("/api/history?" + query)["runs"].size();
    };
    EXPECT_EQ(count("instrument=A"), 3u);
    EXPECT_EQ(count("instrument=A&file_sha256=" + sha.at("VYRA_FULL.A37")), 1u);
    EXPECT_EQ(count("file_sha256=" + sha.at(kSmall)), 3u);
    EXPECT_EQ(count("search=B"), 2u);
    EXPECT_EQ(count("search=VYRA_FULL.A37"), 2u);
    EXPECT_EQ(count("search=" + sha.at(kOther)), 2u);
    EXPECT_EQ(count("search=B&result=done&limit=1"), 1u);
    EXPECT_EQ(count("since=2000-01-01&until=2999-12-31T23:59Z&instrument=C"), 1u);
    EXPECT_EQ(count("since=2999-01-01T00:00:00Z"), 0u);
    for (const char* bad : {"since=2026-02-30", "until=yesterday", "since=2026-12-08T25:00:00Z",
                            "file_sha256=xyz", "instrument=%01"}) {
        EXPECT_EQ(client.Get(std::string("/api/history?") + bad)->status, 400) << bad;
    }
    auto csv = client.Get("/api/history.csv?instrument=A");
    ASSERT_TRUE(csv);
    EXPECT_EQ(std::count(csv->body.begin(), csv->body.end(), '\n'), 4);
}
