// velko-cli end to end: the real program, run as a child process, against simulated
// instruments on pseudo-terminals.  What the instruments' flash holds, what the program
// printed and its exit status are what count.
#include "devtools/sign_library.h"
#include "image/app_image.h"
#include "image/image_header.h"
#include "image/srec_reader.h"
#include "link/serial_port.h"
#include "port_runs/exit_status.h"
#include "sim/simulated_instrument.h"
#include "tests/support/child_process.h"
#include "tests/support/pty_pair.h"
#include "tests/support/temp_dir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <map>
#include <memory>
#include <thread>

namespace {

using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;

std::string Sample(const char* name) {
    return std::string(ORVANE_SAMPLES_DIR) + "/" + name;
}

// The flash an instrument holds after a complete load of the file: the image as a load job
// reads, stamps and (with the entry) signs it.
std::string ExpectedDigest(const std::string& file, SignAppFn signApp = nullptr) {
    int32_t highest = 0;
    uint32_t end = 0;
    EXPECT_TRUE(ReadImageFile(file.c_str(), ImageBase, false, &highest, &end));
    StampImageHeader(ImageBase, end);
    if (signApp != nullptr) {
        signApp(AppImage, ImageBase, end);
    }
    return sim::FlashDigestOf(AppImage, ImageSize);
}

struct Instrument {
    sim::SimulatedInstrument sim;
    explicit Instrument(sim::Options options = {}) : sim(options) { EXPECT_TRUE(sim.Start()); }
    const std::string& Port() const { return sim.PortPath(); }
    // The blocks the host has begun to send: its bytes after the 'B' request, 75 a block.
    // (The report counts a block only once its last byte is due at the line's rate.)
    size_t BlocksBegun() const {
        const std::vector<uint8_t> bytes = sim.Received();
        const uint8_t baudRequest[] = {0x2A, 0x05, 0x42, 0x0B, 0x7C};
        auto at =
            std::search(bytes.begin(), bytes.end(), std::begin(baudRequest), std::end(baudRequest));
        if (at == bytes.end()) {
            return 0;
        }
        const size_t blockBytes = static_cast<size_t>(bytes.end() - at) - sizeof baudRequest;
        return (blockBytes + 74) / 75;
    }
};

std::vector<std::string> Program(const std::string& file, const std::vector<std::string>& ports,
                                 std::vector<std::string> more = {}) {
    std::vector<std::string> argv{VELKO_CLI, "program", file};
    for (const std::string& port : ports) {
        argv.insert(argv.end(), {"--port", port});
    }
    argv.insert(argv.end(), more.begin(), more.end());
    return argv;
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The last event of a kind among the JSON lines of a run's output (null: none).
Json LastEvent(const std::string& out, const std::string& kind) {
    Json last;
    for (size_t at = 0, end; (end = out.find('\n', at)) != std::string::npos; at = end + 1) {
        const Json event = Json::parse(out.substr(at, end - at), nullptr, false);
        if (event.is_object() && event.value("event", "") == kind) {
            last = event;
        }
    }
    return last;
}

// Standard error without the notes on slow replies, which a host loaded enough to stretch
// its own wake-ups past twice the line's block time may add to any run.
std::string Told(const std::string& err) {
    std::string kept;
    size_t start = 0;
    while (start < err.size()) {
        size_t end = err.find('\n', start);
        end = end == std::string::npos ? err.size() : end + 1;
        const std::string line = err.substr(start, end - start);
        if (!Contains(line, ": slow replies: ")) {
            kept += line;
        }
        start = end;
    }
    return kept;
}

// One instrument fault and what the user must be told of it.
struct Fault {
    const char* name;
    sim::Options options;
    std::string stderrText;  // all of stderr; "PORT" stands for the port's path
    int status;
};

sim::Options With(void (*set)(sim::Options&)) {
    sim::Options options;
    set(options);
    return options;
}

const std::vector<Fault> kFaults = {
    {"identify silent", With([](sim::Options& o) { o.identify = sim::Answer::Silent; }),
     "error: Can't find Vyra\n", kExitFailed},
    {"identify checksum", With([](sim::Options& o) { o.identify = sim::Answer::BadChecksum; }),
     "error: Can't find Vyra\n", kExitFailed},
    {"identify too long", With([](sim::Options& o) { o.identifyLength = 31; }),
     "error: Can't find Vyra\n", kExitFailed},
    {"erase silent", With([](sim::Options& o) { o.eraseFaultAt = 1; }),
     "error: Sector Erase Rec fail!\nerror: Can't Erase Program Memory\n", kExitFailed},
    {"erase checksum", With([](sim::Options& o) {
         o.eraseFaultAt = 3;
         o.eraseFault = sim::Answer::BadChecksum;
     }),
     "error: Verify fail!\nerror: Can't Erase Program Memory\n", kExitFailed},
    {"block silent", With([](sim::Options& o) { o.blockFaultAt = 5; }),
     "error: Can't Load Application\n", kExitFailed},
    {"block checksum", With([](sim::Options& o) {
         o.blockFaultAt = 5;
         o.blockFault = sim::Answer::BadChecksum;
     }),
     "error: Can't Load Application\n", kExitFailed},
    {"line closed", With([](sim::Options& o) { o.closeAtBlock = 20; }),
     "error: Can't Load Application\n", kExitFailed},
    {"stale bytes", With([](sim::Options& o) { o.staleBytes = true; }), "", kExitOk},
};

}  // namespace

TEST(VelkoCliProgram, FullAndSmallImagesReachTheFlashExactly) {
    TempDir dir;
    for (const char* name : {"VYRA_FULL.A37", "VYRA_SMALL.A37"}) {
        SCOPED_TRACE(name);
        Instrument instrument;
        const std::string trace = dir.File(std::string(name) + ".trace");
        const ChildResult run =
            RunChild(Program(Sample(name), {instrument.Port()}, {"--trace", trace}));
        EXPECT_EQ(run.status, kExitOk) << run.err;
        EXPECT_EQ(Told(run.err), "");
        // The status texts as lines, without repeats, and a line at each tenth.
        EXPECT_EQ(run.out.rfind("Reading File " + Sample(name) +
                                    "...\nFile Read...\nLooking For "
                                    "Vyra...\nVyra Found...\nErasing Program Memory...\nLoading "
                                    "Application...\n",
                                0),
                  0u)
            << run.out;
        for (int tenth = 1; tenth <= 10; ++tenth) {
            EXPECT_TRUE(Contains(run.out, "bytes (" + std::to_string(tenth * 10) + "%)\n"));
        }
        EXPECT_TRUE(Contains(run.out, "%)\nDone\n"));
        // The trace holds every byte; the identify request exactly.
        const std::string text = TempDir::Read(trace);
        EXPECT_TRUE(Contains(text, "19200  sent 4        2A 04 49 77 ")) << text.substr(0, 2000);
        EXPECT_TRUE(Contains(text, "115200  sent 75 "));

        instrument.sim.Stop();
        const sim::Report report = instrument.sim.GetReport();
        ASSERT_EQ(report.sessions.size(), 1u);
        EXPECT_TRUE(report.sessions[0].completed);
        EXPECT_TRUE(report.violations.empty());
        EXPECT_EQ(report.flashDigest, ExpectedDigest(Sample(name)));
    }
}

TEST(VelkoCliProgram, EachFaultIsToldOnStderrWithItsExitStatus) {
    // Every fault at once, each on an instrument of its own.
    struct Case {
        const Fault* fault;
        std::unique_ptr<Instrument> instrument;
        std::unique_ptr<ChildProcess> run;
    };
    std::vector<Case> cases;
    for (const Fault& fault : kFaults) {
        auto instrument = std::make_unique<Instrument>(fault.options);
        auto run = std::make_unique<ChildProcess>(
            Program(Sample("VYRA_SMALL.A37"), {instrument->Port()}, {"--no-progress"}));
        cases.push_back({&fault, std::move(instrument), std::move(run)});
    }
    for (Case& c : cases) {
        SCOPED_TRACE(c.fault->name);
        EXPECT_EQ(c.run->Wait(), c.fault->status);
        EXPECT_EQ(Told(c.run->Err()), c.fault->stderrText);
    }

    // A port that isn't there is named, with the reason.
    const ChildResult missing =
        RunChild(Program(Sample("VYRA_SMALL.A37"), {"/dev/ttyVYRA-missing"}));
    EXPECT_EQ(missing.status, kExitFailed);
    EXPECT_EQ(missing.err,
              "error: Can't Open /dev/ttyVYRA-missing\n/dev/ttyVYRA-missing: no such port\n");
}

TEST(VelkoCliProgram, HangUpEndsTheRunWithinASecond) {
    Instrument instrument(With([](sim::Options& o) {
        o.closeAtBlock = 200;
        o.pace = true;
    }));
    ChildProcess run(Program(Sample("VYRA_FULL.A37"), {instrument.Port()}));
    ASSERT_TRUE(instrument.sim.WaitFor([](const sim::Report& r) { return r.lineClosed; }, 60000));
    const auto closed = Clock::now();
    EXPECT_EQ(run.Wait(), kExitFailed);
    // Generous for a loaded machine: what matters is that a vanished port ends the run
    // instead of leaving it to wait.
    EXPECT_LT(Clock::now() - closed, std::chrono::seconds(2));
    EXPECT_EQ(Told(run.Err()), "error: Can't Load Application\n");
}

TEST(VelkoCliProgram, UnsignedFileIsRefusedUnlessSigned) {
    Instrument instrument;
    const ChildResult refused = RunChild(Program(Sample("VYRA_UNSIGNED.A37"), {instrument.Port()}));
    EXPECT_EQ(refused.status, kExitFileRefused);
    EXPECT_EQ(refused.err, "error: Can't load unsigned file\n");
    EXPECT_TRUE(instrument.sim.Received().empty());

    const ChildResult noLibrary = RunChild(
        Program(Sample("VYRA_UNSIGNED.A37"), {instrument.Port()}, {"--sign", "/no/such/lib.so"}));
    EXPECT_EQ(noLibrary.status, kExitUsage);
    EXPECT_EQ(noLibrary.err, "error: can't load the signing library /no/such/lib.so\n");
    EXPECT_TRUE(instrument.sim.Received().empty());

    const ChildResult signedRun = RunChild(
        Program(Sample("VYRA_UNSIGNED.A37"), {instrument.Port()}, {"--sign", KESP_LIBRARY}));
    EXPECT_EQ(signedRun.status, kExitOk) << signedRun.err;
    instrument.sim.Stop();
    const SignAppFn signApp = FindSignEntry(LoadSignLibrary(KESP_LIBRARY));
    ASSERT_NE(signApp, nullptr);
    EXPECT_EQ(instrument.sim.GetReport().flashDigest,
              ExpectedDigest(Sample("VYRA_UNSIGNED.A37"), signApp));
}

TEST(VelkoCliProgram, PortNamedTwiceIsAUsageError) {
    Instrument instrument;
    const ChildResult run =
        RunChild(Program(Sample("VYRA_SMALL.A37"), {instrument.Port(), instrument.Port()}));
    EXPECT_EQ(run.status, kExitUsage);
    EXPECT_EQ(run.err, "error: the port " + instrument.Port() + " is named twice\n");
    EXPECT_TRUE(instrument.sim.Received().empty());
}

// Ctrl-C while blocks go out, on one port and on four: every port stops within one block,
// is closed, and can be opened again at once.
class VelkoCliInterrupt : public testing::TestWithParam<int> {};

TEST_P(VelkoCliInterrupt, StopsEveryPortBeforeItsNextBlock) {
    std::vector<std::unique_ptr<Instrument>> instruments;
    std::vector<std::string> ports;
    for (int i = 0; i < GetParam(); ++i) {
        instruments.push_back(
            std::make_unique<Instrument>(With([](sim::Options& o) { o.pace = true; })));
        ports.push_back(instruments.back()->Port());
    }
    ChildProcess run(Program(Sample("VYRA_FULL.A37"), ports));
    for (auto& instrument : instruments) {
        ASSERT_TRUE(instrument->sim.WaitFor(
            [](const sim::Report& r) {
                return !r.sessions.empty() && r.sessions.back().blocksWritten >= 20;
            },
            60000));
    }
    std::vector<size_t> atSignal;
    for (auto& instrument : instruments) {
        atSignal.push_back(instrument->BlocksBegun());
    }
    run.Signal(SIGINT);
    EXPECT_EQ(run.Wait(), kExitInterrupted);
    for (size_t i = 0; i < instruments.size(); ++i) {
        SCOPED_TRACE(ports[i]);
        instruments[i]->sim.WaitIdle(2000);
        // The block on the line when the key came is finished; no other follows.
        EXPECT_LE(instruments[i]->BlocksBegun(), atSignal[i] + 1);
        CSerialPort again;
        EXPECT_EQ(again.Open(ports[i].c_str(), 19200, 100), 1);
        EXPECT_TRUE(Contains(run.Err(), ports[i] + ": stopping before the next block"));
        EXPECT_TRUE(Contains(run.Err(), ports[i] + ": interrupted after "));
    }
}

INSTANTIATE_TEST_SUITE_P(Ports, VelkoCliInterrupt, testing::Values(1, 4));

TEST(VelkoCliGang, EightInstrumentsEachToldOnItsOwnPortInJson) {
    // Seven faults and one healthy instrument, all in one run.
    std::vector<std::unique_ptr<Instrument>> instruments;
    std::map<std::string, std::string> expectedError;  // port -> the result's failure
    std::vector<std::string> ports = {"/dev/ttyVYRA-missing"};
    expectedError[ports[0]] = "Can't Open /dev/ttyVYRA-missing";
    const std::map<std::string, std::string> byFault = {
        {"identify silent", "Can't find Vyra"},
        {"erase silent", "Can't Erase Program Memory (Sector Erase Rec fail!)"},
        {"erase checksum", "Can't Erase Program Memory (Verify fail!)"},
        {"block silent", "Can't Load Application"},
        {"block checksum", "Can't Load Application"},
        {"line closed", "Can't Load Application"},
        {"stale bytes", ""},  // the healthy one
    };
    for (const Fault& fault : kFaults) {
        auto it = byFault.find(fault.name);
        if (it == byFault.end()) {
            continue;
        }
        instruments.push_back(std::make_unique<Instrument>(fault.options));
        ports.push_back(instruments.back()->Port());
        expectedError[ports.back()] = it->second;
    }
    ASSERT_EQ(ports.size(), 8u);
    const ChildResult run = RunChild(Program(Sample("VYRA_FULL.A37"), ports, {"--json"}));
    EXPECT_EQ(run.status, kExitFailed);
    EXPECT_EQ(Told(run.err), "/dev/ttyVYRA-missing: no such port\n");

    // Every line is an event; a port's events come in order; messages name their port.
    std::map<std::string, std::vector<std::string>> sequence;
    std::map<std::string, Json> results;
    Json summary;
    size_t line = 0;
    for (size_t at = 0; at < run.out.size(); ++line) {
        const size_t end = run.out.find('\n', at);
        ASSERT_NE(end, std::string::npos);
        const Json event = Json::parse(run.out.substr(at, end - at));
        at = end + 1;
        ASSERT_TRUE(summary.is_null()) << "an event after the summary";
        const std::string kind = event.at("event");
        if (kind == "summary") {
            summary = event;
            continue;
        }
        if (event.at("port").is_null()) {
            ASSERT_EQ(kind, "status");  // the file's two status texts, before any port
            ASSERT_LT(line, 2u);
            continue;
        }
        const std::string port = event.at("port");
        ASSERT_TRUE(expectedError.count(port)) << port;
        ASSERT_FALSE(results.count(port)) << "an event after the result of " << port;
        sequence[port].push_back(kind);
        if (kind == "result") {
            results[port] = event;
        }
    }
    EXPECT_EQ(summary.at("ok"), 1);
    EXPECT_EQ(summary.at("failed"), 7);
    ASSERT_EQ(results.size(), 8u);
    for (const auto& [port, error] : expectedError) {
        SCOPED_TRACE(port);
        EXPECT_EQ(results[port].at("ok"), error.empty());
        if (!error.empty()) {
            EXPECT_EQ(results[port].at("error"), error);
        }
    }
    // velko-cli's own word on the missing port is an event too.
    EXPECT_EQ(sequence[ports[0]], (std::vector<std::string>{"message", "note", "result"}));
    // The healthy one: status, total, progress at each percent, "Done", result.
    const std::vector<std::string>& healthy = sequence[ports.back()];
    EXPECT_EQ(healthy.front(), "status");
    EXPECT_EQ(healthy[1], "total");
    EXPECT_EQ(std::count(healthy.begin(), healthy.end(), "progress"), 101);
    EXPECT_EQ(healthy.back(), "result");
    for (auto& instrument : instruments) {
        instrument->sim.Stop();
    }
    EXPECT_EQ(instruments.back()->sim.GetReport().flashDigest,
              ExpectedDigest(Sample("VYRA_FULL.A37")));
}

TEST(VelkoCliGang, FourHealthyInstrumentsAllHoldTheImage) {
    std::vector<std::unique_ptr<Instrument>> instruments;
    std::vector<std::string> ports;
    for (int i = 0; i < 4; ++i) {
        instruments.push_back(std::make_unique<Instrument>());
        ports.push_back(instruments.back()->Port());
    }
    TempDir dir;
    std::string list = "# the rig's ports\n\n";
    for (size_t i = 1; i < ports.size(); ++i) {
        list += "  " + ports[i] + "\r\n";
    }
    const ChildResult run = RunChild(Program(Sample("VYRA_FULL.A37"), {ports[0]},
                                             {"--ports-from", dir.Write("ports.txt", list)}));
    EXPECT_EQ(run.status, kExitOk) << run.err;
    EXPECT_EQ(Told(run.err), "");
    for (const std::string& port : ports) {
        EXPECT_TRUE(Contains(run.out, port + ": Done\n"));
        EXPECT_TRUE(Contains(run.out, port + ": 262144 of 262143 bytes (100%)\n"));
    }
    EXPECT_TRUE(Contains(run.out, "4 of 4 ports done, 0 failed, in "));
    const std::string expected = ExpectedDigest(Sample("VYRA_FULL.A37"));
    for (auto& instrument : instruments) {
        instrument->sim.Stop();
        EXPECT_EQ(instrument->sim.GetReport().flashDigest, expected);
    }
}

TEST(VelkoCliProgress, RedrawsOneLineOnATerminal) {
    Instrument instrument(With([](sim::Options& o) { o.pace = true; }));
    ChildProcess run(Program(Sample("VYRA_SMALL.A37"), {instrument.Port()}), true);
    EXPECT_EQ(run.Wait(), kExitOk) << run.Out();
    // The bar is drawn and taken away again in place, and never left as a 10 % line.
    EXPECT_TRUE(Contains(run.Out(), "[#")) << run.Out();
    EXPECT_TRUE(Contains(run.Out(), " bytes ("));
    EXPECT_TRUE(Contains(run.Out(), "\x1b[1A\x1b[J"));
    EXPECT_TRUE(Contains(run.Out(), "Done"));
}

TEST(VelkoCliInfo, NamesEveryDroppedLineWithItsLineNumber) {
    TempDir dir;
    const std::string file =
        dir.Write("MIXED.A37",
                  "S00600004844521B\r\n"                                // 1: header
                  "S214420100000102030405060708090A0B0C0D0E0F30\r\n"    // 2
                  "S214420110000102030405060708090A0B0C0D0E0F00\r\n"    // 3: wrong checksum
                  "S2144201\r\n"                                        // 4: cut short
                  "s214420100000102030405060708090A0B0C0D0E0F30\r\n" +  // 5: lower-case s
                      std::string(600, 'S') +
                      "\r\n" +                                            // 6: too long
                      "S2144E0000000102030405060708090A0B0C0D0E0F25\r\n"  // 7: outside the image
                      "S804000000FB\r\n");                                // 8
    const ChildResult run = RunChild({VELKO_CLI, "info", file, "--json"});
    EXPECT_EQ(run.status, kExitOk) << run.err;
    const Json info = Json::parse(run.out);
    EXPECT_EQ(info.at("file"), file);
    EXPECT_EQ(info.at("ok"), true);
    EXPECT_EQ(info.at("signed"), false);
    EXPECT_EQ(info.at("records"), Json::parse(R"({"S0":1,"S2":2,"S8":1})"));
    EXPECT_EQ(info.at("dropped"), Json::parse(R"([
        {"reason":"checksum","count":1,"lines":[3]},
        {"reason":"malformed","count":2,"lines":[4,5]},
        {"reason":"too-long","count":1,"lines":[6]},
        {"reason":"outside-image","count":16,"lines":[7]}])"));

    const ChildResult missing = RunChild({VELKO_CLI, "info", dir.File("NONE.A37")});
    EXPECT_EQ(missing.status, kExitFileRefused);
    EXPECT_EQ(missing.err, "error: Can't Open File\nerror: Problem with file\n");
}

TEST(VelkoCliFiles, ExportAndCArrayWriteTheirFilesAndTellFailures) {
    TempDir dir;
    const std::string exported = dir.File("SIGNED.A37");
    const ChildResult run = RunChild({VELKO_CLI, "export", Sample("VYRA_UNSIGNED.A37"), "--sign",
                                      KESP_LIBRARY, "--output", exported});
    EXPECT_EQ(run.status, kExitOk) << run.err;
    // The export of the signed image reads back as a signed image with the same header.
    const ChildResult info = RunChild({VELKO_CLI, "info", exported, "--json"});
    const ChildResult original =
        RunChild({VELKO_CLI, "info", Sample("VYRA_UNSIGNED.A37"), "--json"});
    EXPECT_EQ(Json::parse(info.out).at("signed"), true);
    EXPECT_EQ(Json::parse(info.out).at("crc"), Json::parse(original.out).at("crc"));

    const ChildResult unwritable = RunChild(
        {VELKO_CLI, "export", Sample("VYRA_SMALL.A37"), "--output", dir.File("no/such/X.A37")});
    EXPECT_EQ(unwritable.status, kExitFailed);
    EXPECT_EQ(unwritable.err, "error: Can't Open File\n");

    const std::string loader = dir.Write("TINY.A37", "S10600001234AB08\r\n");
    const ChildResult carray = RunChild({VELKO_CLI, "carray", loader, "--loader"});
    EXPECT_EQ(carray.status, kExitOk) << carray.err;
    EXPECT_TRUE(Contains(TempDir::Read(dir.File("TINYCDATA.H")), "0x12,0x34,0xAB,\r\n};\r\n"));
    EXPECT_TRUE(Contains(carray.err, "Hi There: BSize:2 LBSize:32 MaxAddr:00000002\n"));
    EXPECT_EQ(RunChild({VELKO_CLI, "carray", loader}).status, kExitUsage);
    EXPECT_EQ(RunChild({VELKO_CLI, "carray", dir.File("NONE.A37"), "--base", "0x10"}).status,
              kExitFileRefused);
}

// A port that won't open is named with its real reason: a path that is no serial port is let
// go before the reason is looked for, so it is not taken for one in use; a port that somebody
// else holds is.
TEST(VelkoCliPorts, AnOpenFailureNamesTheRealReason) {
    const ChildResult notAPort = RunChild(Program(Sample("VYRA_SMALL.A37"), {"/dev/null"}));
    EXPECT_EQ(notAPort.status, kExitFailed);
    EXPECT_EQ(notAPort.err, "error: Can't Open /dev/null\n/dev/null: not a serial port\n");
    const ChildResult kick = RunChild({VELKO_CLI, "kick", "--port", "/dev/null"});
    EXPECT_EQ(kick.status, kExitFailed);
    EXPECT_EQ(kick.err, "error: Can't Open /dev/null\n/dev/null: not a serial port\n");

    PtyPair line;
    ASSERT_TRUE(line.Ok());
    const std::string port = line.SlavePath();
    const int holder = open(port.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    const ChildResult held = RunChild(Program(Sample("VYRA_SMALL.A37"), {port}));
    EXPECT_EQ(held.status, kExitFailed);
    EXPECT_EQ(held.err,
              "error: Can't Open " + port + "\n" + port + ": in use by another program\n");
    close(holder);
}

// An application file must be a regular file: anything else is refused at once, before a byte
// is read, where reading it would never end (a device, a FIFO without a writer) or make no
// sense (a folder, a serial port).
TEST(VelkoCliFiles, OnlyARegularFileIsReadAsAnApplicationFile) {
    TempDir dir;
    const std::string fifo = dir.File("PIPE.A37");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    PtyPair line;
    ASSERT_TRUE(line.Ok());
    for (const std::string& file :
         {std::string("/dev/zero"), fifo, dir.Path().string(), std::string(line.SlavePath())}) {
        SCOPED_TRACE(file);
        const ChildResult info = RunChild({VELKO_CLI, "info", file}, 20000);
        EXPECT_EQ(info.status, kExitFileRefused);
        EXPECT_EQ(info.err, "error: Can't Open File\nerror: Problem with file\n");
    }
    Instrument instrument;
    const ChildResult program = RunChild(Program(fifo, {instrument.Port()}), 20000);
    EXPECT_EQ(program.status, kExitFileRefused);
    EXPECT_TRUE(Contains(program.err, "error: Can't Open File\n")) << program.err;
    EXPECT_TRUE(instrument.sim.Received().empty());

    // So must a list of ports.
    const ChildResult list = RunChild(
        {VELKO_CLI, "program", Sample("VYRA_SMALL.A37"), "--ports-from", "/dev/zero"}, 20000);
    EXPECT_EQ(list.status, kExitUsage);
    EXPECT_EQ(list.err, "error: can't read the port list /dev/zero\n");

    // An export to a FIFO that nobody reads fails at once instead of waiting for a reader.
    const ChildResult exported =
        RunChild({VELKO_CLI, "export", Sample("VYRA_SMALL.A37"), "--output", fifo}, 20000);
    EXPECT_EQ(exported.status, kExitFailed);
    EXPECT_EQ(exported.err, "error: Can't Open File\n");
}

// The block phase is timed: an adapter that holds every reply back is named in a note (a JSON
// event), with the measured round trip beside what the line needs; a prompt one is not.
TEST(VelkoCliBenches, SlowRepliesAreNotedWithTheLinesOwnFigure) {
    sim::Options slow;
    slow.replyDelayMs = 16;
    slow.pace = true;
    Instrument held(slow);
    const ChildResult run =
        RunChild(Program(Sample("VYRA_SMALL.A37"), {held.Port()}, {"--json"}));
    EXPECT_EQ(run.status, kExitOk) << run.err;
    const Json result = LastEvent(run.out, "result");
    const Json note = LastEvent(run.out, "note");
    // Paced, every block needs at least its 16 ms of delay and 6.86 ms of line.
    EXPECT_GE(result.at("block_ms").get<double>(), 16 + 6.86);
    ASSERT_TRUE(note.is_object()) << run.out;
    EXPECT_TRUE(Contains(note.at("text"), "slow replies: a block took ")) << note;
    EXPECT_TRUE(Contains(note.at("text"), " on average where the line at 115200 baud needs 6.9 ms"))
        << note;
    EXPECT_TRUE(Contains(run.err, held.Port() + ": slow replies: "));

    Instrument prompt;
    const ChildResult quick = RunChild(Program(Sample("VYRA_SMALL.A37"), {prompt.Port()}));
    EXPECT_EQ(quick.status, kExitOk);
    EXPECT_FALSE(Contains(quick.err, "slow replies")) << quick.err;
}

// A slower block rate: the 'B' request carries its code, both sides switch, and the whole
// image arrives at that rate; a line that garbles bytes above 57600 fails at 115200 and works
// at 57600.  Any other rate is a usage error that names the rates there are.
TEST(VelkoCliBenches, TheBlockPhaseRunsAtTheRateAsked) {
    Instrument instrument;
    const ChildResult run =
        RunChild(Program(Sample("VYRA_FULL.A37"), {instrument.Port()}, {"--block-rate", "57600"}));
    EXPECT_EQ(run.status, kExitOk) << run.err;
    const sim::Report report = instrument.sim.GetReport();
    ASSERT_EQ(report.sessions.size(), 1u);
    EXPECT_EQ(report.sessions[0].blockBaud, 57600u);
    EXPECT_TRUE(report.violations.empty());
    EXPECT_EQ(report.flashDigest, ExpectedDigest(Sample("VYRA_FULL.A37")));
    const std::vector<uint8_t> sent = instrument.sim.Received();
    const uint8_t request[] = {0x2A, 0x05, 0x42, 0x0A, 0x7B};
    EXPECT_NE(std::search(sent.begin(), sent.end(), std::begin(request), std::end(request)),
              sent.end());

    sim::Options flaky;
    flaky.garbleAboveBaud = 57600;
    for (const char* rate : {"115200", "57600"}) {
        SCOPED_TRACE(rate);
        Instrument cable(flaky);
        const ChildResult attempt =
            RunChild(Program(Sample("VYRA_SMALL.A37"), {cable.Port()}, {"--block-rate", rate}));
        EXPECT_EQ(attempt.status, std::string(rate) == "57600" ? kExitOk : kExitFailed)
            << attempt.err;
    }

    const ChildResult wrong =
        RunChild(Program(Sample("VYRA_SMALL.A37"), {instrument.Port()}, {"--block-rate", "9600"}));
    EXPECT_EQ(wrong.status, kExitUsage);
    EXPECT_TRUE(Contains(wrong.err, "19200")) << wrong.err;
    EXPECT_TRUE(Contains(wrong.err, "115200")) << wrong.err;
}

// A failed run is tried again from the start and counts as done when a later attempt is; an
// interrupt is never tried again.
TEST(VelkoCliBenches, RetryRunsAFailedPortAgainButNeverAfterCtrlC) {
    sim::Options firstFails;
    firstFails.blockFaultAt = 3;
    firstFails.faultySessions = 1;
    Instrument instrument(firstFails);
    const ChildResult run = RunChild(
        Program(Sample("VYRA_SMALL.A37"), {instrument.Port()}, {"--retry", "2", "--json"}));
    EXPECT_EQ(run.status, kExitOk) << run.err;
    std::vector<Json> results;
    for (size_t at = 0, end; (end = run.out.find('\n', at)) != std::string::npos; at = end + 1) {
        const Json event = Json::parse(run.out.substr(at, end - at));
        if (event.at("event") != "summary") {
            EXPECT_TRUE(event.at("port").is_null() || event.contains("attempt")) << event;
        }
        if (event.at("event") == "result") {
            results.push_back(event);
        }
    }
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[0].at("attempt"), 1);
    EXPECT_EQ(results[0].at("error"), "Can't Load Application");
    EXPECT_EQ(results[1].at("attempt"), 2);
    EXPECT_EQ(results[1].at("ok"), true);
    EXPECT_EQ(LastEvent(run.out, "summary").at("ok"), 1);
    EXPECT_EQ(instrument.sim.GetReport().sessions.size(), 2u);
    EXPECT_EQ(instrument.sim.GetReport().flashDigest, ExpectedDigest(Sample("VYRA_SMALL.A37")));

    sim::Options paced;
    paced.pace = true;
    Instrument busy(paced);
    ChildProcess interrupted(
        Program(Sample("VYRA_FULL.A37"), {busy.Port()}, {"--retry", "2", "--no-progress"}));
    ASSERT_TRUE(interrupted.WaitForOut("Loading Application", 60000));
    interrupted.Signal(SIGINT);
    EXPECT_EQ(interrupted.Wait(), kExitInterrupted);
    EXPECT_FALSE(Contains(interrupted.Err(), "trying again")) << interrupted.Err();
    EXPECT_EQ(busy.sim.GetReport().sessions.size(), 1u);
}

// Each port's unit by its serial number: paired with the ports in order, named beside its
// port on every text line and in the table, carried by every JSON event of the port.
TEST(VelkoCliInstrument, TheSerialTravelsWithItsPort) {
    Instrument first, second;
    const std::vector<std::string> ports{first.Port(), second.Port()};
    const ChildResult text = RunChild(Program(
        Sample("VYRA_SMALL.A37"), ports, {"--instrument", " 4711 ", "--instrument", "SN-4712"}));
    EXPECT_EQ(text.status, kExitOk) << text.err;
    EXPECT_TRUE(Contains(text.out, first.Port() + " [4711]: Done\n")) << text.out;
    EXPECT_TRUE(Contains(text.out, second.Port() + " [SN-4712]: Done\n")) << text.out;

    // One port with a serial names it too, and every JSON event of the port carries it.
    const ChildResult json = RunChild(
        Program(Sample("VYRA_SMALL.A37"), {first.Port()}, {"--instrument", "4711", "--json"}));
    EXPECT_EQ(json.status, kExitOk) << json.err;
    size_t portEvents = 0;
    for (size_t at = 0, end; (end = json.out.find('\n', at)) != std::string::npos; at = end + 1) {
        const Json event = Json::parse(json.out.substr(at, end - at));
        if (event.contains("port") && !event["port"].is_null()) {
            ++portEvents;
            EXPECT_EQ(event["instrument"], "4711") << event;
        }
    }
    EXPECT_GT(portEvents, 3u);
    EXPECT_EQ(LastEvent(json.out, "result")["instrument"], "4711");

    // A count that does not match, a serial that can't be one, a label scanned twice: usage
    // errors before any port is touched.
    const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
        {{"--instrument", "4711"},
         "error: 1 --instrument for 2 port(s): give one serial number for each port, in the "
         "ports' order\n"},
        {{"--instrument", "4711", "--instrument", "  "},
         "error: the instrument on " + second.Port() + ": the serial number is empty\n"},
        {{"--instrument", std::string(65, '7'), "--instrument", "1"},
         "error: the instrument on " + first.Port() +
             ": the serial number is longer than 64 characters\n"},
        {{"--instrument",
          "47\x01"
          "1",
          "--instrument", "1"},
         "error: the instrument on " + first.Port() +
             ": the serial number holds a character that is not printable ASCII\n"},
        {{"--instrument", "4711", "--instrument", "4711 "},
         "error: the serial number 4711 is given for " + first.Port() + " and for " +
             second.Port() + "\n"},
    };
    const size_t receivedBefore = first.sim.Received().size() + second.sim.Received().size();
    for (const auto& [options, message] : refused) {
        const ChildResult run = RunChild(Program(Sample("VYRA_SMALL.A37"), ports, options));
        EXPECT_EQ(run.status, kExitUsage);
        EXPECT_EQ(run.err, message);
    }
    EXPECT_EQ(first.sim.Received().size() + second.sim.Received().size(), receivedBefore);
}
