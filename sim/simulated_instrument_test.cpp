// The simulated instrument driven over its pty by a small raw termios client: the whole
// conversation, the checks it makes, every fault, stray bytes, hang-up, pacing, the report
// and the vyra-sim program.
#include "sim/simulated_instrument.h"

#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

// The host's side of the line, as plain as it gets.
class RawLine {
public:
    explicit RawLine(const std::string& path) {
        m_fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios settings{};
        if (m_fd >= 0 && tcgetattr(m_fd, &settings) == 0) {
            cfmakeraw(&settings);
            settings.c_cflag |= CLOCAL | CREAD;
            tcsetattr(m_fd, TCSANOW, &settings);
        }
    }
    ~RawLine() {
        if (m_fd >= 0) {
            close(m_fd);
        }
    }
    bool IsOpen() const { return m_fd >= 0; }

    void SetBaud(speed_t speed) {
        termios settings{};
        tcgetattr(m_fd, &settings);
        cfsetispeed(&settings, speed);
        cfsetospeed(&settings, speed);
        tcsetattr(m_fd, TCSANOW, &settings);
    }
    void Purge() { tcflush(m_fd, TCIOFLUSH); }
    // Discards what this side wrote and the other side has not read yet.
    void PurgeOutput() { tcflush(m_fd, TCOFLUSH); }
    void Send(const Bytes& bytes) {
        ASSERT_EQ(write(m_fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Up to n bytes, waiting at most timeoutMs; stops early when the line hangs up.
    Bytes Read(size_t n, int timeoutMs) {
        Bytes got;
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (got.size() < n) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd fd{m_fd, POLLIN, 0};
            if (left.count() <= 0 || poll(&fd, 1, static_cast<int>(left.count())) <= 0) {
                break;
            }
            uint8_t buffer[512];
            const ssize_t r = read(m_fd, buffer, std::min(sizeof buffer, n - got.size()));
            if (r <= 0) {
                m_hungUp = true;
                break;
            }
            got.insert(got.end(), buffer, buffer + r);
        }
        return got;
    }
    Bytes Exchange(const Bytes& request, size_t replyLength, int timeoutMs = 2000) {
        Purge();
        Send(request);
        return Read(replyLength, timeoutMs);
    }
    bool HungUp() const { return m_hungUp; }

private:
    int m_fd = -1;
    bool m_hungUp = false;
};

uint8_t Sum(const Bytes& bytes, size_t count) {
    unsigned sum = 0;
    for (size_t i = 0; i < count; ++i) {
        sum += bytes[i];
    }
    return static_cast<uint8_t>(sum);
}

Bytes Frame(uint8_t letter, const Bytes& payload) {
    Bytes frame(payload.size() + 4);
    frame[0] = 0x2A;
    frame[1] = static_cast<uint8_t>(payload.size() + 4);
    frame[2] = letter;
    std::copy(payload.begin(), payload.end(), frame.begin() + 3);
    frame.back() = Sum(frame, frame.size() - 1);
    return frame;
}

Bytes Be32(uint32_t v) {
    return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}

const Bytes kSif = {0x03, 'S', 'I', 'F', ' ', '0', ' ', '1', '\r'};
const Bytes kEtxRun(7, 0x03);
const Bytes kTst = {'T', 'S', 'T', ' ', '0', ' ', '2', '\r'};
const Bytes kKickStart = {0x23, 0x4C};
const Bytes kIdentify = Frame('I', {});
const Bytes kBaud115200 = Frame('B', {11});
const Bytes kEraseReply = {0x2A, 0x04, 0x44, 0x72};
const Bytes kBlockReply = {0x2A, 0x04, 0x46, 0x74};

Bytes Erase(uint32_t address) {
    return Frame('D', Be32(address));
}

Bytes Block(uint32_t address, const uint8_t* data, size_t length = 64) {
    Bytes payload(7 + length);
    const Bytes address4 = Be32(address);
    std::copy(address4.begin(), address4.end(), payload.begin());
    payload[4] = 0x01;
    payload[5] = static_cast<uint8_t>(length / 2);
    payload[6] = 0x00;
    std::copy(data, data + length, payload.begin() + 7);
    return Frame('F', payload);
}

Bytes TestImage(size_t size) {
    Bytes image(size);
    uint32_t x = 12345;
    for (uint8_t& b : image) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return image;
}

// Waits until the instrument has taken everything sent, so that a rate change that follows
// cannot overtake bytes still on their way (the host proper waits 50 ms or more there).
void Settle(const sim::SimulatedInstrument& instrument) {
    EXPECT_TRUE(instrument.WaitIdle(3000));
}

// A rate the host can ask the loader for the block phase.
struct BlockRate {
    uint32_t baud;
    speed_t speed;
    uint8_t code;  // of the 'B' request
};
constexpr BlockRate kBlockRates[] = {
    {19200, B19200, 8}, {38400, B38400, 9}, {57600, B57600, 10}, {115200, B115200, 11}};
constexpr BlockRate k115200 = kBlockRates[3];

// The host's programming sequence, quickly: the right rates, no pauses worth the name.
void Program(RawLine& line, const sim::SimulatedInstrument& instrument, const Bytes& image,
             uint32_t blocks, const BlockRate& rate = k115200) {
    line.SetBaud(B4800);
    line.Purge();
    line.Send(kSif);
    Settle(instrument);
    line.SetBaud(B19200);
    line.Purge();
    line.Send(kEtxRun);
    Settle(instrument);
    Bytes id = line.Exchange(kIdentify, 12);
    ASSERT_EQ(id.size(), 12u);
    EXPECT_EQ(Bytes(id.begin(), id.begin() + 3), (Bytes{0x2A, 0x0C, 0x49}));
    EXPECT_EQ(id[11], Sum(id, 11));
    for (uint32_t sector = 0; sector < 4; ++sector) {
        ASSERT_EQ(line.Exchange(Erase(sim::kFlashBase + sector * sim::kSectorSize), 4),
                  kEraseReply);
    }
    line.Purge();
    line.Send(Frame('B', {rate.code}));
    Settle(instrument);
    line.SetBaud(rate.speed);
    for (uint32_t i = 0; i < blocks; ++i) {
        ASSERT_EQ(line.Exchange(Block(sim::kFlashBase + i * 64, &image[i * 64]), 4), kBlockReply)
            << "block " << i;
    }
    line.Purge();
    line.Send(kEtxRun);
    Settle(instrument);
    line.Purge();
    line.Send(kTst);
}

struct Started {
    explicit Started(sim::Options options = {}) : instrument(std::move(options)) {
        EXPECT_TRUE(instrument.Start());
    }
    sim::SimulatedInstrument instrument;
};

bool HasViolation(const sim::Report& report, const std::string& part) {
    return std::any_of(report.violations.begin(), report.violations.end(),
                       [&](const std::string& v) { return v.find(part) != std::string::npos; });
}

std::string ViolationsOf(const sim::Report& report) {
    std::string text;
    for (const std::string& v : report.violations) {
        text += v + "\n";
    }
    return text;
}

TEST(SimulatedInstrument, FullImageAtTheRightRatesCompletesWithoutViolations) {
    Started sim;
    RawLine line(sim.instrument.PortPath());
    ASSERT_TRUE(line.IsOpen());
    const Bytes image = TestImage(sim::kFlashSize);
    Program(line, sim.instrument, image, sim::kFlashSize / 64);
    ASSERT_TRUE(sim.instrument.WaitFor(
        [](const sim::Report& r) { return !r.sessions.empty() && r.sessions[0].completed; }, 5000));

    const sim::Report report = sim.instrument.GetReport();
    EXPECT_TRUE(report.violations.empty()) << ViolationsOf(report);
    ASSERT_EQ(report.sessions.size(), 1u);
    const sim::SessionReport& session = report.sessions[0];
    EXPECT_EQ(session.phases,
              (std::vector<std::string>{"sif", "identify", "erase", "baud", "blocks", "tst"}));
    EXPECT_EQ(session.erased, (std::vector<uint32_t>{0x420000, 0x430000, 0x440000, 0x450000}));
    EXPECT_EQ(session.blocksWritten, 4096u);
    EXPECT_EQ(session.blockBaud, 115200u);
    EXPECT_EQ(session.lowestBlock, 0x420000u);
    EXPECT_EQ(session.highestBlockEnd, 0x460000u);
    EXPECT_EQ(session.etxRuns, 2u);
    EXPECT_EQ(session.fault, "");
    EXPECT_EQ(report.kickStarts, 0u);
    EXPECT_FALSE(report.lineClosed);
    EXPECT_EQ(report.flashDigest, sim::FlashDigestOf(image.data(), image.size()));
    EXPECT_EQ(sim.instrument.Flash(), image);

    const Bytes received = sim.instrument.Received();
    ASSERT_GE(received.size(), kSif.size());
    EXPECT_EQ(Bytes(received.begin(), received.begin() + 9), kSif);
}

TEST(SimulatedInstrument, FlashStartsOldAndAShortImageLeavesTheRestErased) {
    Started sim;
    const Bytes before = sim.instrument.Flash();
    ASSERT_EQ(before.size(), sim::kFlashSize);
    EXPECT_EQ(before[0], sim::OldFlashByte(0));
    EXPECT_EQ(std::count(before.begin(), before.end(), 0xFF), 0);

    RawLine line(sim.instrument.PortPath());
    const Bytes image = TestImage(3 * 64);
    Program(line, sim.instrument, image, 3);
    ASSERT_TRUE(sim.instrument.WaitFor(
        [](const sim::Report& r) { return !r.sessions.empty() && r.sessions[0].completed; }, 5000));
    const sim::Report report = sim.instrument.GetReport();
    EXPECT_TRUE(report.violations.empty()) << ViolationsOf(report);
    EXPECT_EQ(report.flashDigest, sim::FlashDigestOf(image.data(), image.size()));
    EXPECT_EQ(report.sessions[0].highestBlockEnd, 0x4200C0u);
    const Bytes flash = sim.instrument.Flash();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
    EXPECT_EQ(std::count(flash.begin() + 192, flash.end(), 0xFF),
              static_cast<long>(sim::kFlashSize - 192));
}

// Runs `talk` against a fresh instrument and returns what it reported.
template <typename Talk>
sim::Report Converse(Talk talk, sim::Options options = {}) {
    Started sim(std::move(options));
    RawLine line(sim.instrument.PortPath());
    line.SetBaud(B19200);
    talk(line, sim.instrument);
    EXPECT_TRUE(sim.instrument.WaitIdle(3000));
    return sim.instrument.GetReport();
}

TEST(SimulatedInstrument, RecordsWritesThatTheFlashCannotTake) {
    const Bytes data(64, 0x11);
    // A block into a sector that this session has not erased: still answered, but recorded.
    sim::Report report = Converse([&](RawLine& line, const sim::SimulatedInstrument& instrument) {
        EXPECT_EQ(line.Exchange(Block(0x430000, data.data()), 4), kBlockReply);
    });
    EXPECT_TRUE(HasViolation(report, "block at 0x430000 into sector 0x430000, not erased"))
        << ViolationsOf(report);

    // Erased in an earlier session does not count; writing the same place twice does.
    report = Converse([&](RawLine& line, const sim::SimulatedInstrument& instrument) {
        line.Exchange(Erase(0x420000), 4);
        line.Exchange(Block(0x420000, data.data()), 4);
        line.Exchange(Block(0x420000, data.data()), 4);
        line.SetBaud(B4800);
        line.Exchange(kSif, 0);
        Settle(instrument);
        line.SetBaud(B19200);
        line.Exchange(Block(0x420040, data.data()), 4);
    });
    EXPECT_TRUE(HasViolation(report, "block at 0x420000 writes flash that is not erased"));
    EXPECT_TRUE(HasViolation(report, "block at 0x420040 into sector 0x420000, not erased"));
    EXPECT_EQ(report.sessions.size(), 2u);

    // Addresses and lengths: misaligned, outside the flash, a wrong word count.
    report = Converse([&](RawLine& line, const sim::SimulatedInstrument& instrument) {
        line.Exchange(Erase(0x450000), 4);
        line.Exchange(Block(0x450020, data.data()), 4);
        line.Exchange(Block(0x45FFC0 + 64, data.data()), 4);
        Bytes badCount = Block(0x450080, data.data());
        badCount[8] = 0x40;
        badCount.back() = Sum(badCount, badCount.size() - 1);
        line.Exchange(badCount, 4);
        line.Exchange(Erase(0x421000), 4);
    });
    EXPECT_TRUE(HasViolation(report, "block at 0x450020 is not 64-byte aligned"));
    EXPECT_TRUE(HasViolation(report, "block at 0x460000 of 64 bytes reaches outside"));
    EXPECT_TRUE(HasViolation(report, "0x450080 with word count 64 for 64 data bytes"));
    EXPECT_TRUE(HasViolation(report, "erase of 0x421000, which is not the start"));
    EXPECT_EQ(report.violations.size(), 4u) << ViolationsOf(report);
}

TEST(SimulatedInstrument, RecordsWrongRatesAndSpoiltFrames) {
    // Identify at 9600, the SIF command at 19200, blocks at 115200 without a 'B' request.
    const Bytes data(64, 0);
    sim::Report report = Converse([&](RawLine& line, const sim::SimulatedInstrument& instrument) {
        line.SetBaud(B9600);
        EXPECT_EQ(line.Exchange(kIdentify, 12).size(), 12u);  // answered all the same
        line.SetBaud(B19200);
        line.Exchange(kSif, 0);
        Settle(instrument);
        line.Exchange(Erase(0x420000), 4);
        line.SetBaud(B115200);
        line.Exchange(Block(0x420000, data.data()), 4);
        line.Exchange(kKickStart, 0);
        Settle(instrument);
    });
    EXPECT_TRUE(HasViolation(report, "identify request at 9600 baud, expected 19200"));
    EXPECT_TRUE(HasViolation(report, "SIF command at 19200 baud, expected 4800"));
    EXPECT_TRUE(HasViolation(report, "write-block request at 115200 baud, expected 19200"));
    EXPECT_TRUE(HasViolation(report, "kick-start at 115200 baud, expected 19200"));
    EXPECT_EQ(report.violations.size(), 4u) << ViolationsOf(report);

    // A wrong checksum is recorded and not answered; so are stray and cut-off bytes.
    report = Converse([&](RawLine& line, const sim::SimulatedInstrument& instrument) {
        Bytes erase = Erase(0x420000);
        erase.back() ^= 0x01;
        EXPECT_TRUE(line.Exchange(erase, 4, 300).empty());
        line.Exchange({0x41, 0x42}, 0);
        usleep(400'000);  // the line falls quiet after two stray bytes
        line.Exchange({0x2A, 0x08, 0x44}, 0);
        usleep(400'000);
        line.Exchange(Bytes(3, 0x03), 0);
    });
    EXPECT_TRUE(HasViolation(report, "'D' frame with a wrong checksum 0xB9"));
    EXPECT_TRUE(HasViolation(report, "2 stray bytes outside any message"));
    EXPECT_TRUE(HasViolation(report, "incomplete frame: 3 of 8 bytes came"));
    EXPECT_TRUE(HasViolation(report, "ETX run of 3 bytes"));
    EXPECT_TRUE(report.sessions.empty() || report.sessions[0].erased.empty());
}

TEST(SimulatedInstrument, KickStartIsASessionOfItsOwn) {
    TempDir dir;
    sim::Options options;
    options.reportPath = dir.File("report.json");
    Started sim(options);
    RawLine line(sim.instrument.PortPath());
    line.SetBaud(B19200);
    line.Exchange(kKickStart, 0);
    ASSERT_TRUE(
        sim.instrument.WaitFor([](const sim::Report& r) { return r.kickStarts == 1; }, 3000));
    const sim::Report report = sim.instrument.GetReport();
    ASSERT_EQ(report.sessions.size(), 1u);
    EXPECT_EQ(report.sessions[0].phases, std::vector<std::string>{"kickstart"});
    EXPECT_TRUE(report.violations.empty()) << ViolationsOf(report);
    // The report file follows each kick-start.
    EXPECT_NE(TempDir::Read(options.reportPath).find("\"kickStarts\": 1"), std::string::npos);
}

TEST(SimulatedInstrument, StopHearsWhatTheHostSentBeforeIt) {
    // The host sends its last bytes and ends, and the instrument is stopped at once, before
    // its wire time for them has passed: the report written at the stop still holds them.
    TempDir dir;
    sim::Options options;
    options.reportPath = dir.File("report.json");
    options.pace = true;
    Started sim(options);
    {
        RawLine line(sim.instrument.PortPath());
        line.SetBaud(B19200);
        line.Send(kKickStart);
    }
    sim.instrument.Stop();
    EXPECT_NE(TempDir::Read(options.reportPath).find("\"kickStarts\": 1"), std::string::npos)
        << TempDir::Read(options.reportPath);
    EXPECT_TRUE(sim.instrument.GetReport().violations.empty());
}

TEST(SimulatedInstrument, IdentifyFaults) {
    struct Case {
        sim::Answer answer;
        int length;
        Bytes expectedStart;
        size_t expectedSize;
    };
    const Case cases[] = {
        {sim::Answer::Silent, 12, {}, 0},
        {sim::Answer::BadChecksum, 12, {0x2A, 0x0C, 0x49}, 12},
        {sim::Answer::Normal, 3, {0x2A, 0x03, 0x49}, 3},
        {sim::Answer::Normal, 4, {0x2A, 0x04, 0x49, 0x77}, 4},
        {sim::Answer::Normal, 30, {0x2A, 0x1E, 0x49}, 30},
        {sim::Answer::Normal, 31, {0x2A, 0x1F, 0x49}, 31},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("identify length " + std::to_string(c.length));
        sim::Options options;
        options.identify = c.answer;
        options.identifyLength = c.length;
        Started sim(options);
        RawLine line(sim.instrument.PortPath());
        line.SetBaud(B19200);
        const Bytes reply = line.Exchange(kIdentify, 40, 300);
        ASSERT_EQ(reply.size(), c.expectedSize);
        EXPECT_TRUE(std::equal(c.expectedStart.begin(), c.expectedStart.end(), reply.begin()));
        if (reply.size() >= 4) {
            const bool right = reply.back() == Sum(reply, reply.size() - 1);
            EXPECT_EQ(right, c.answer == sim::Answer::Normal);
        }
        const sim::Report report = sim.instrument.GetReport();
        EXPECT_EQ(report.sessions.at(0).fault,
                  c.answer == sim::Answer::Silent        ? "identify unanswered"
                  : c.answer == sim::Answer::BadChecksum ? "identify answered with a wrong checksum"
                                                         : "");
    }
}

TEST(SimulatedInstrument, EraseAndBlockFaultsStrikeTheirIndexOnly) {
    const Bytes data(64, 0x22);
    for (sim::Answer answer : {sim::Answer::Silent, sim::Answer::BadChecksum}) {
        TempDir dir;
        sim::Options options;
        options.eraseFaultAt = 2;
        options.eraseFault = answer;
        options.blockFaultAt = 3;
        options.blockFault = answer;
        options.reportPath = dir.File("report.json");
        Started sim(options);
        RawLine line(sim.instrument.PortPath());
        line.SetBaud(B19200);
        const Bytes spoilt =
            answer == sim::Answer::Silent ? Bytes{} : Bytes{0x2A, 0x04, 0x44, 0x73};
        EXPECT_EQ(line.Exchange(Erase(0x420000), 4, 300), kEraseReply);
        EXPECT_EQ(line.Exchange(Erase(0x430000), 4, 300), spoilt);
        EXPECT_EQ(line.Exchange(Erase(0x440000), 4, 300), kEraseReply);
        const std::string afterErase = TempDir::Read(options.reportPath);
        EXPECT_NE(afterErase.find("\"fault\": \"erase 2 "), std::string::npos) << afterErase;

        const Bytes spoiltBlock =
            answer == sim::Answer::Silent ? Bytes{} : Bytes{0x2A, 0x04, 0x46, 0x75};
        for (uint32_t i = 1; i <= 4; ++i) {
            EXPECT_EQ(line.Exchange(Block(0x420000 + (i - 1) * 64, data.data()), 4, 300),
                      i == 3 ? spoiltBlock : kBlockReply)
                << "block " << i;
        }
        const sim::Report report = sim.instrument.GetReport();
        EXPECT_EQ(report.sessions.at(0).fault, answer == sim::Answer::Silent
                                                   ? "block 3 unanswered"
                                                   : "block 3 answered with a wrong checksum");
        EXPECT_EQ(report.sessions[0].blocksWritten, 4u);  // the faulted block was stored
        EXPECT_TRUE(report.violations.empty()) << ViolationsOf(report);
    }
}

TEST(SimulatedInstrument, StaleBytesWaitForTheHostsPurge) {
    sim::Options options;
    options.staleBytes = true;
    Started sim(options);
    RawLine line(sim.instrument.PortPath());
    const Bytes tail = {0x2A, 0x04, 0x46, 0x00, 0x5A, 0x5A, 0x5A, 0x5A};

    // After the SIF command and the first ETX run: the host's drain of 300 / 500 bytes, and 8
    // more for its purge.
    line.SetBaud(B4800);
    line.Exchange(kSif, 0);
    Bytes drained = line.Read(300, 1000);
    EXPECT_EQ(drained.size(), 300u);
    EXPECT_EQ(line.Read(100, 200), tail);
    line.SetBaud(B19200);
    line.Exchange(kEtxRun, 0);
    EXPECT_EQ(line.Read(500, 1000).size(), 500u);
    EXPECT_EQ(line.Read(100, 200), tail);

    // Behind each reply, already there when the reply has been read.
    line.Purge();
    line.Send(kIdentify);
    EXPECT_EQ(line.Read(12, 1000).size(), 12u);
    EXPECT_EQ(line.Read(100, 200), tail);
    // A host that purges before each request never sees them.
    EXPECT_EQ(line.Exchange(Erase(0x420000), 4), kEraseReply);
    EXPECT_EQ(line.Exchange(Erase(0x430000), 4), kEraseReply);
    // A host that does not purge takes them for its reply.
    line.Send(Erase(0x440000));
    EXPECT_EQ(line.Read(4, 500), Bytes(tail.begin(), tail.begin() + 4));
    EXPECT_TRUE(sim.instrument.GetReport().violations.empty());
}

TEST(SimulatedInstrument, LineClosesAtTheChosenBlock) {
    TempDir dir;
    sim::Options options;
    options.closeAtBlock = 2;
    options.reportPath = dir.File("report.json");
    Started sim(options);
    const std::string path = sim.instrument.PortPath();
    RawLine line(path);
    line.SetBaud(B19200);
    const Bytes one(64, 0x01), two(64, 0x02);
    line.Exchange(Erase(0x420000), 4);
    EXPECT_EQ(line.Exchange(Block(0x420000, one.data()), 4), kBlockReply);
    EXPECT_TRUE(line.Exchange(Block(0x420040, two.data()), 4).empty());
    EXPECT_TRUE(line.HungUp());
    EXPECT_FALSE(std::filesystem::exists(path));

    const sim::Report report = sim.instrument.GetReport();
    EXPECT_TRUE(report.lineClosed);
    EXPECT_EQ(report.sessions.at(0).fault, "line closed at block 2");
    EXPECT_EQ(report.sessions[0].blocksWritten, 1u);
    EXPECT_EQ(sim.instrument.Flash()[0x40], 0xFF);  // the second block was not stored
    EXPECT_NE(TempDir::Read(options.reportPath).find("\"lineClosed\": true"), std::string::npos);
}

double MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

TEST(SimulatedInstrument, PacingTakesTheWireTimeButReadsAtOnce) {
    sim::Options options;
    options.pace = true;
    Started sim(options);
    RawLine line(sim.instrument.PortPath());
    line.SetBaud(B19200);

    // Identify: 4 + 12 bytes at 19200 baud: 8.3 ms on the wire.
    auto start = Clock::now();
    EXPECT_EQ(line.Exchange(kIdentify, 12).size(), 12u);
    double elapsed = MillisecondsSince(start);
    EXPECT_GE(elapsed, 8.3);
    EXPECT_LT(elapsed, 2000.0);

    // A block and its reply at 115200 baud: 79 bytes, 6.86 ms.
    const Bytes data(64, 0x33);
    line.Exchange(Erase(0x420000), 4);
    line.Exchange(kBaud115200, 0);
    Settle(sim.instrument);
    line.SetBaud(B115200);
    start = Clock::now();
    EXPECT_EQ(line.Exchange(Block(0x420000, data.data()), 4), kBlockReply);
    elapsed = MillisecondsSince(start);
    EXPECT_GE(elapsed, 6.8);
    EXPECT_LT(elapsed, 2000.0);

    // At 1200 baud a block lasts 625 ms on the wire, yet the instrument has read it long
    // before: a purge of the host's output 50 ms after the write loses nothing.
    line.Exchange(Frame('B', {4}), 0);
    Settle(sim.instrument);
    line.SetBaud(B1200);
    start = Clock::now();
    line.Purge();
    line.Send(Block(0x420040, data.data()));
    usleep(50'000);
    line.PurgeOutput();
    EXPECT_EQ(line.Read(4, 3000), kBlockReply);
    elapsed = MillisecondsSince(start);
    EXPECT_GE(elapsed, 625.0);
    const sim::Report report = sim.instrument.GetReport();
    EXPECT_TRUE(report.violations.empty()) << ViolationsOf(report);
}

TEST(SimulatedInstrument, ReplyDelayHoldsEveryAnswerBackPacedOrNot) {
    for (bool pace : {false, true}) {
        SCOPED_TRACE(pace ? "paced" : "unpaced");
        sim::Options options;
        options.pace = pace;
        options.replyDelayMs = 40;
        Started sim(options);
        RawLine line(sim.instrument.PortPath());
        line.SetBaud(B19200);
        // Paced, identify takes its 8.3 ms of wire time on top.
        const auto start = Clock::now();
        EXPECT_EQ(line.Exchange(kIdentify, 12).size(), 12u);
        EXPECT_GE(MillisecondsSince(start), pace ? 48.3 : 40.0);
    }
}

// The host may ask for any of the four rates for the block phase: the loader moves to it,
// checks the blocks at it, and the report tells it.
TEST(SimulatedInstrument, BlockPhaseRunsAtTheRateTheBRequestAsksFor) {
    const Bytes image = TestImage(4 * 64);
    for (const BlockRate& rate : kBlockRates) {
        SCOPED_TRACE(rate.baud);
        sim::Options options;
        options.pace = true;
        Started sim(options);
        RawLine line(sim.instrument.PortPath());
        Program(line, sim.instrument, image, 4, rate);
        ASSERT_TRUE(sim.instrument.WaitFor(
            [](const sim::Report& r) { return !r.sessions.empty() && r.sessions[0].completed; },
            5000));
        const sim::Report report = sim.instrument.GetReport();
        EXPECT_TRUE(report.violations.empty()) << ViolationsOf(report);
        EXPECT_EQ(report.sessions[0].blockBaud, rate.baud);
        EXPECT_EQ(report.flashDigest, sim::FlashDigestOf(image.data(), image.size()));
    }

    // Blocks at another rate than the one asked for are told.
    const sim::Report report =
        Converse([&](RawLine& line, const sim::SimulatedInstrument& instrument) {
            line.Exchange(Erase(0x420000), 4);
            line.Exchange(Frame('B', {10}), 0);
            Settle(instrument);
            line.SetBaud(B115200);
            line.Exchange(Block(0x420000, image.data()), 4);
        });
    EXPECT_TRUE(HasViolation(report, "write-block request at 115200 baud, expected 57600"))
        << ViolationsOf(report);
    EXPECT_EQ(report.sessions.at(0).blockBaud, 57600u);
}

// Every 200th byte above the rate is garbled: that block fails its checksum and gets no
// answer.  With faultySessions = 1 the second session is healthy, identify included.
TEST(SimulatedInstrument, GarblingAndTheOtherFaultsStrikeTheFirstSessionsOnly) {
    sim::Options options;
    options.garbleAboveBaud = 57600;
    options.identify = sim::Answer::Silent;
    options.faultySessions = 1;
    Started sim(options);
    RawLine line(sim.instrument.PortPath());
    const Bytes image = TestImage(8 * 64);

    auto session = [&](const std::vector<uint32_t>& unanswered) {
        line.SetBaud(B4800);
        line.Exchange(kSif, 0);
        Settle(sim.instrument);
        line.SetBaud(B19200);
        const size_t identifyReply = unanswered.empty() ? 12 : 0;
        EXPECT_EQ(line.Exchange(kIdentify, 12, 300).size(), identifyReply);
        EXPECT_EQ(line.Exchange(Erase(0x420000), 4), kEraseReply);
        line.Exchange(kBaud115200, 0);
        Settle(sim.instrument);
        line.SetBaud(B115200);
        // Blocks of 75 bytes: the 200th, 400th and 600th bytes fall in blocks 3, 6 and 8.
        for (uint32_t n = 1; n <= 8; ++n) {
            const bool answered =
                std::find(unanswered.begin(), unanswered.end(), n) == unanswered.end();
            EXPECT_EQ(line.Exchange(Block(0x420000 + (n - 1) * 64, &image[(n - 1) * 64]), 4,
                                    answered ? 2000 : 300),
                      answered ? kBlockReply : Bytes{})
                << "block " << n;
        }
    };
    session({3, 6, 8});
    session({});

    ASSERT_TRUE(sim.instrument.WaitIdle(3000));
    const sim::Report report = sim.instrument.GetReport();
    EXPECT_TRUE(report.violations.empty()) << ViolationsOf(report);
    ASSERT_EQ(report.sessions.size(), 2u);
    EXPECT_EQ(report.sessions[0].fault, "block 8 garbled on the line, not answered");
    EXPECT_EQ(report.sessions[0].blocksWritten, 5u);
    EXPECT_EQ(report.sessions[1].fault, "");
    EXPECT_EQ(report.sessions[1].blocksWritten, 8u);
    const Bytes flash = sim.instrument.Flash();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
}

TEST(SimulatedInstrument, ReportJsonShape) {
    sim::Report report;
    sim::SessionReport session;
    session.phases = {"sif", "identify"};
    session.erased = {0x420000, 0x430000};
    session.blocksWritten = 2;
    session.lowestBlock = 0x420000;
    session.highestBlockEnd = 0x420080;
    session.blockBaud = 115200;
    session.completed = true;
    session.etxRuns = 1;
    report.sessions.push_back(session);
    report.kickStarts = 3;
    report.flashDigest = "ab01";
    report.violations = {"say \"no\"\\", "second"};
    EXPECT_EQ(report.ToJson(),
              "{\n"
              "  \"sessions\": [\n"
              "    {\n"
              "      \"phases\": [\"sif\", \"identify\"],\n"
              "      \"erased\": [\"0x420000\", \"0x430000\"],\n"
              "      \"blocksWritten\": 2,\n"
              "      \"lowestBlock\": \"0x420000\",\n"
              "      \"highestBlockEnd\": \"0x420080\",\n"
              "      \"blockBaud\": 115200,\n"
              "      \"completed\": true,\n"
              "      \"etxRuns\": 1,\n"
              "      \"fault\": \"\"\n"
              "    }\n"
              "  ],\n"
              "  \"kickStarts\": 3,\n"
              "  \"lineClosed\": false,\n"
              "  \"flashDigest\": \"ab01\",\n"
              "  \"violations\": [\n"
              "    \"say \\\"no\\\"\\\\\",\n"
              "    \"second\"\n"
              "  ]\n"
              "}\n");
    EXPECT_EQ(sim::Report{}.ToJson(),
              "{\n  \"sessions\": [],\n  \"kickStarts\": 0,\n  \"lineClosed\": false,\n"
              "  \"flashDigest\": \"\",\n  \"violations\": []\n}\n");

    // The digest of an all-0xFF flash, against an independent value.
    EXPECT_EQ(sim::FlashDigestOf(nullptr, 0),
              "3b874d3ba46c638fc3094f8e92fb744ca974893873f8885f54e23760f9b6311b");
}

TEST(SimulatedInstrument, ProgramLinksAnswersAndReportsOnSigterm) {
    TempDir dir;
    const std::string link = dir.File("com1"), report = dir.File("report.json"),
                      pidFile = dir.File("sim.pid");
    std::filesystem::create_symlink("/dev/null/no-port", link);  // replaced by the program

    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        execl(VYRA_SIM_PROGRAM, "vyra-sim", "--link", link.c_str(), "--report", report.c_str(),
              "--pidfile", pidFile.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string path;
    char c = 0;
    while (read(out[0], &c, 1) == 1 && c != '\n') {
        path += c;
    }
    close(out[0]);
    ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
    EXPECT_EQ(std::filesystem::read_symlink(link).string(), path);
    EXPECT_EQ(std::stoi(TempDir::Read(pidFile)), pid);

    {
        RawLine line(link);
        line.SetBaud(B19200);
        line.Exchange(kKickStart, 0);
    }
    // The report file follows each kick-start.
    for (int i = 0; i < 500 && TempDir::Read(report).find("\"kickStarts\": 1") == std::string::npos;
         ++i) {
        usleep(10'000);
    }
    kill(pid, SIGTERM);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    const std::string json = TempDir::Read(report);
    EXPECT_NE(json.find("\"kickStarts\": 1"), std::string::npos) << json;
    EXPECT_FALSE(std::filesystem::exists(pidFile));
}

}  // namespace
