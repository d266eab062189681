// Every way the programming sequence and the kick-start can fail, against the simulated
// instrument: the message texts, captions and owners, the reports that stop, and the port
// state each failure leaves.
#include "link/device_programmer.h"

#include "link/device_programmer_test_support.h"
#include "tests/support/pty_pair.h"
#include "tests/support/temp_dir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>

namespace {

using namespace programmer_test;
using ProgramDeviceFailureTest = ProgrammerTest;
using Clock = std::chrono::steady_clock;

const std::vector<uint8_t> kKickStartBytes = {0x23, 0x4C};

int ProgramOn(CDeviceProgrammer& programmer, const std::vector<uint8_t>& image, const char* port,
              uint32_t length = 0x1000) {
    return programmer.ProgramDevice(image.data(), ImageBase, ImageBase + length, kWindow,
                                    WM_LOAD_REPORT, nullptr, port);
}

// ---- Before the instrument is reached ------------------------------------------------------

TEST_F(ProgramDeviceFailureTest, APortThatDoesNotOpenIsNamedOverTheReportWindow) {
    EXPECT_EQ(ProgramOn(m_programmer, m_image, "/dev/no-such-port"), 0);
    EXPECT_EQ(m_messages.All(),
              (std::vector<Shown>{{kWindow, "Can't Open /dev/no-such-port", "Error", false}}));
    EXPECT_TRUE(m_reports.All().empty());
    EXPECT_FALSE(m_programmer.m_link.m_serial.IsOpen());

    // The text is cut to its 128-character buffer, never overrun.
    const std::string longName = "/dev/" + std::string(300, 'x');
    EXPECT_EQ(ProgramOn(m_programmer, m_image, longName.c_str()), 0);
    ASSERT_EQ(m_messages.All().size(), 2u);
    EXPECT_EQ(m_messages.All()[1].text, ("Can't Open " + longName).substr(0, 127));
}

// A path that opens but is no terminal: the port's open fails after it got the device.  The
// device is let go before the message, so another party can lock it at once.
TEST_F(ProgramDeviceFailureTest, APortThatOpensButCannotBeConfiguredIsReleasedBeforeTheMessage) {
    TempDir dir;
    const std::string path = dir.Write("not-a-port", "");
    auto anotherPartyCanLock = [&path] {
        const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
        const bool locked = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
        if (fd >= 0) {
            close(fd);
        }
        return locked;
    };

    EXPECT_EQ(ProgramOn(m_programmer, m_image, path.c_str()), 0);
    EXPECT_EQ(m_messages.All(),
              (std::vector<Shown>{{kWindow, "Can't Open " + path, "Error", false}}));
    EXPECT_TRUE(m_reports.All().empty());
    EXPECT_TRUE(anotherPartyCanLock());

    m_programmer.KickStart(nullptr, path.c_str());
    ASSERT_EQ(m_messages.All().size(), 2u);
    EXPECT_EQ(m_messages.All()[1], (Shown{nullptr, "Can't Open " + path, "Error", false}));
    EXPECT_TRUE(anotherPartyCanLock());
    EXPECT_EQ(TempDir::Read(path), "");  // nothing was sent
}

TEST_F(ProgramDeviceFailureTest, ARangeTheImageCannotHoldIsRefusedWithoutTouchingThePort) {
    EXPECT_EQ(
        m_programmer.ProgramDevice(m_image.data(), ImageBase, ImageBase + ImageSize + 64, kWindow,
                                   WM_LOAD_REPORT, m_cancel, m_sim->PortPath().c_str()),
        0);
    EXPECT_EQ(m_programmer.ProgramDevice(m_image.data(), ImageBase, ImageBase - 1, kWindow,
                                         WM_LOAD_REPORT, m_cancel, m_sim->PortPath().c_str()),
              0);
    EXPECT_EQ(m_messages.All(),
              (std::vector<Shown>{{kWindow, "Can't Load Application", "Error", false},
                                  {kWindow, "Can't Load Application", "Error", false}}));
    EXPECT_TRUE(m_reports.All().empty());
    EXPECT_TRUE(m_sim->WaitIdle(1000));
    EXPECT_TRUE(m_sim->Received().empty());
}

// ---- Finding the loader ------------------------------------------------------------------------

TEST_F(ProgramDeviceFailureTest, NoAnswerToIdentifyIsToldAfterThePortIsClosed) {
    sim::Options options;
    options.identify = sim::Answer::Silent;
    StartSim(options);

    EXPECT_EQ(Program(0x1000), 0);
    EXPECT_EQ(m_messages.All(), (std::vector<Shown>{{kWindow, "Can't find Vyra", "Error", false}}));
    EXPECT_EQ(m_reports.StatusTexts(), std::vector<std::string>{kLooking});
    EXPECT_EQ(m_reports.Values(ReportTotal), std::vector<intptr_t>{0x1000});
    EXPECT_FALSE(m_programmer.m_link.m_serial.IsOpen());

    const sim::Report report = SimReport();
    ASSERT_EQ(report.sessions.size(), 1u);
    EXPECT_TRUE(report.sessions[0].erased.empty());
}

TEST_F(ProgramDeviceFailureTest, ALineThatVanishesBeforeTheReopenReadsAsNoLoader) {
    PtyPair line;
    ASSERT_TRUE(line.Ok());
    m_reports.onReport = [&](const Report& r) {
        if (r.kind == ReportTotal) {
            line.CloseMaster();  // the adapter is pulled while the port is open at 4800
        }
    };
    const auto start = Clock::now();
    EXPECT_EQ(ProgramOn(m_programmer, m_image, line.SlavePath()), 0);
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_EQ(m_messages.All(), (std::vector<Shown>{{kWindow, "Can't find Vyra", "Error", false}}));
    EXPECT_FALSE(m_programmer.m_link.m_serial.IsOpen());
    // The pauses stay (500 + 500 ms); the drains and reads end at once on a dead line.
    EXPECT_LT(elapsed, 3000);
}

// ---- Erasing ------------------------------------------------------------------------------------

TEST_F(ProgramDeviceFailureTest, SilenceAfterTheSecondEraseStopsTheErasingWithBothMessages) {
    sim::Options options;
    options.eraseFaultAt = 2;
    options.eraseFault = sim::Answer::Silent;
    StartSim(options);

    EXPECT_EQ(Program(0x1000), 0);
    EXPECT_EQ(m_messages.All(),
              (std::vector<Shown>{{nullptr, "Sector Erase Rec fail!", "Oops", true},
                                  {kWindow, "Can't Erase Program Memory", "Error", false}}));
    EXPECT_EQ(m_reports.StatusTexts(), (std::vector<std::string>{kLooking, kFound}));
    EXPECT_FALSE(m_programmer.m_link.m_serial.IsOpen());
    EXPECT_EQ(m_programmer.m_link.m_serial.BaudRate(), 19200);

    const sim::Report report = SimReport();
    ASSERT_EQ(report.sessions.size(), 1u);
    EXPECT_EQ(report.sessions[0].erased, (std::vector<uint32_t>{0x420000, 0x430000}));
}

TEST_F(ProgramDeviceFailureTest, AWrongEraseChecksumGivesVerifyFailThenTheErrorMessage) {
    sim::Options options;
    options.eraseFaultAt = 1;
    options.eraseFault = sim::Answer::BadChecksum;
    StartSim(options);

    EXPECT_EQ(Program(0x1000), 0);
    EXPECT_EQ(m_messages.All(),
              (std::vector<Shown>{{nullptr, "Verify fail!", "Oops", true},
                                  {kWindow, "Can't Erase Program Memory", "Error", false}}));
    EXPECT_EQ(m_programmer.m_link.m_serial.BaudRate(), 19200);
    const sim::Report report = SimReport();
    ASSERT_EQ(report.sessions.size(), 1u);
    EXPECT_EQ(report.sessions[0].erased, std::vector<uint32_t>{0x420000});
}

// ---- Writing blocks: a failure that must not look like success ----------------------------------

TEST_F(ProgramDeviceFailureTest, AMissingBlockReplyIsToldOnceAndEndsTheLoad) {
    sim::Options options;
    options.blockFaultAt = 5;
    options.blockFault = sim::Answer::Silent;
    StartSim(options);

    EXPECT_EQ(Program(0x1000), 0);
    EXPECT_EQ(m_messages.All(),
              (std::vector<Shown>{{kWindow, "Can't Load Application", "Error", false}}));
    EXPECT_EQ(m_reports.StatusTexts(), (std::vector<std::string>{kLooking, kFound, kLoading}));
    EXPECT_EQ(m_reports.Values(ReportProgress), (std::vector<intptr_t>{64, 128, 192, 256}));
    EXPECT_EQ(m_reports.All().back().kind, ReportProgress);  // no status after it
    EXPECT_FALSE(m_programmer.m_link.m_serial.IsOpen());
    EXPECT_EQ(m_programmer.m_link.m_serial.BaudRate(), 115200);

    const sim::Report report = SimReport();
    ASSERT_EQ(report.sessions.size(), 1u);
    EXPECT_FALSE(report.sessions[0].completed);
    EXPECT_EQ(report.sessions[0].etxRuns, 1u);  // no closing commands
}

TEST_F(ProgramDeviceFailureTest, ABlockReplyWithAWrongChecksumIsToldOnceAndEndsTheLoad) {
    sim::Options options;
    options.blockFaultAt = 1;
    options.blockFault = sim::Answer::BadChecksum;
    StartSim(options);

    EXPECT_EQ(Program(0x1000), 0);
    EXPECT_EQ(m_messages.All(),
              (std::vector<Shown>{{kWindow, "Can't Load Application", "Error", false}}));
    EXPECT_EQ(m_reports.StatusTexts(), (std::vector<std::string>{kLooking, kFound, kLoading}));
    EXPECT_TRUE(m_reports.Values(ReportProgress).empty());
    EXPECT_EQ(m_programmer.m_link.m_serial.BaudRate(), 115200);
    EXPECT_FALSE(SimReport().sessions.at(0).completed);
}

TEST_F(ProgramDeviceFailureTest, ALineThatClosesMidTransferIsToldOnce) {
    sim::Options options;
    options.closeAtBlock = 3;
    StartSim(options);

    EXPECT_EQ(Program(0x1000), 0);
    EXPECT_EQ(m_messages.All(),
              (std::vector<Shown>{{kWindow, "Can't Load Application", "Error", false}}));
    EXPECT_EQ(m_reports.Values(ReportProgress), (std::vector<intptr_t>{64, 128}));
    EXPECT_EQ(m_programmer.m_link.m_serial.BaudRate(), 115200);
}

// ---- Every early end releases the port ----------------------------------------------------------

// Another program's open of the port, which is exclusive: it fails while the programmer
// still holds the port.
bool AnotherPartyCanOpen(const std::string& port) {
    CSerialPort other;
    const bool opened = other.Open(port.c_str(), 19200, 0) == 1;
    other.Close();
    return opened;
}

TEST_F(ProgramDeviceFailureTest, EveryEarlyEndFreesThePortForAnotherPartyAtOnce) {
    sim::Options eraseFault;
    eraseFault.eraseFaultAt = 1;
    eraseFault.eraseFault = sim::Answer::BadChecksum;
    sim::Options blockFault;
    blockFault.blockFaultAt = 2;
    blockFault.blockFault = sim::Answer::BadChecksum;
    const struct {
        const char* end;
        sim::Options options;
        bool cancel;
    } kEnds[] = {{"failed erase", eraseFault, false},
                 {"failed block", blockFault, false},
                 {"cancel", {}, true}};

    for (const auto& end : kEnds) {
        SCOPED_TRACE(end.end);
        StartSim(end.options);
        if (end.cancel) {
            SignalCancelEvent(m_cancel);
        }
        EXPECT_EQ(Program(0x100), 0);
        EXPECT_TRUE(AnotherPartyCanOpen(m_sim->PortPath()));
        EXPECT_FALSE(SimReport().sessions.at(0).completed);
    }
}

// ---- Kick-start ---------------------------------------------------------------------------------

TEST_F(ProgramDeviceFailureTest, KickStartSendsItsTwoBytesAndSaysSo) {
    m_programmer.KickStart(kWindow, m_sim->PortPath().c_str());
    EXPECT_EQ(m_messages.All(),
              (std::vector<Shown>{{kWindow, "KickStart Attempted", "Status", false}}));
    EXPECT_FALSE(m_programmer.m_link.m_serial.IsOpen());
    const sim::Report report = SimReport();  // sent at 19200: no rate violation
    EXPECT_EQ(report.kickStarts, 1u);
    EXPECT_EQ(m_sim->Received(), kKickStartBytes);
}

TEST_F(ProgramDeviceFailureTest, KickStartOnAMissingPortNamesItAndSendsNothing) {
    m_programmer.KickStart(nullptr, "COM3:");
    EXPECT_EQ(m_messages.All(),
              (std::vector<Shown>{{nullptr, "Can't Open COM3:", "Error", false}}));
    EXPECT_TRUE(m_sim->WaitIdle(1000));
    EXPECT_TRUE(m_sim->Received().empty());
}

}  // namespace
