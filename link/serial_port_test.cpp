// CSerialPort on real pseudo-terminals: open and its states, exclusive use, the line
// settings the other side sees, timed reads, purge, rate changes, hang-ups.  And on a real
// UART, when the machine has one: the driver's low-latency flag, put back at close.
#include "link/serial_port.h"

#include "tests/support/pty_pair.h"
#include "tests/support/temp_dir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::string AsText(const uint8_t* bytes, uint32_t count) {
    return std::string(reinterpret_cast<const char*>(bytes), count);
}

class SerialPortTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_pty.Ok()); }
    PtyPair m_pty;
    CSerialPort m_port;
};

// ---- Open, close and the states they leave ---------------------------------------------

TEST_F(SerialPortTest, OpenAppliesRaw8N1AtTheRateAndKeepsHardwareFlowControl) {
    // Hardware flow control as the driver had it before the open must survive it; software
    // flow control would eat the bytes 0x11 and 0x13 of binary frames.
    int fd = open(m_pty.SlavePath(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    termios before;
    ASSERT_EQ(tcgetattr(fd, &before), 0);
    before.c_iflag |= IXON | IXOFF;
    before.c_cflag |= CRTSCTS | CSTOPB;
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &before), 0);
    close(fd);

    ASSERT_EQ(m_port.Open(m_pty.SlavePath(), 4800, 500), 1);
    EXPECT_TRUE(m_port.IsOpen());
    EXPECT_EQ(m_port.BaudRate(), 4800);
    EXPECT_STREQ(m_port.PortName(), m_pty.SlavePath());

    termios t;
    ASSERT_TRUE(m_pty.SlaveSettings(&t));
    EXPECT_EQ(cfgetospeed(&t), B4800);
    EXPECT_EQ(cfgetispeed(&t), B4800);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB), 0u);
    EXPECT_NE(t.c_cflag & CREAD, 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP), 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY), 0u);
    EXPECT_NE(t.c_cflag & CRTSCTS, 0u);
}

TEST_F(SerialPortTest, BytesPassUntranslatedBothWays) {
    ASSERT_EQ(m_port.Open(m_pty.SlavePath(), 19200, 500), 1);
    const std::vector<uint8_t> all = [] {
        std::vector<uint8_t> v;
        for (int b = 0; b < 256; ++b) {
            v.push_back(static_cast<uint8_t>(b));
        }
        return v;
    }();
    ASSERT_EQ(m_port.Write(all.data(), 256), 1);
    EXPECT_EQ(m_pty.Receive(256, 2000), all);

    ASSERT_TRUE(m_pty.Send(all));
    uint8_t buffer[256];
    uint32_t got = 0;
    EXPECT_EQ(m_port.Read(buffer, 256, &got), 1);
    ASSERT_EQ(got, 256u);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 256), all);
}

TEST_F(SerialPortTest, OpenOfAMissingPortFailsAndHoldsNothing) {
    EXPECT_EQ(m_port.Open("/dev/no-such-port", 4800, 500), 0);
    EXPECT_FALSE(m_port.IsOpen());
}

TEST_F(SerialPortTest, OpenWhileHeldReleasesTheHeldPortEvenWhenTheNewOpenFails) {
    ASSERT_EQ(m_port.Open(m_pty.SlavePath(), 4800, 500), 1);
    EXPECT_EQ(m_port.Open("/dev/no-such-port", 4800, 500), 0);
    EXPECT_FALSE(m_port.IsOpen());
    CSerialPort other;
    EXPECT_EQ(other.Open(m_pty.SlavePath(), 4800, 500), 1);
}

TEST_F(SerialPortTest, AHeldPortCannotBeOpenedAgainUntilClosed) {
    ASSERT_EQ(m_port.Open(m_pty.SlavePath(), 4800, 500), 1);
    CSerialPort second;
    EXPECT_EQ(second.Open(m_pty.SlavePath(), 4800, 500), 0);
    EXPECT_FALSE(second.IsOpen());
    EXPECT_TRUE(m_port.IsOpen());

    m_port.Close();
    m_port.Close();  // a second close does nothing
    EXPECT_FALSE(m_port.IsOpen());
    EXPECT_EQ(second.Open(m_pty.SlavePath(), 4800, 500), 1);
}

TEST_F(SerialPortTest, AFileThatIsNoTerminalIsHeldButUnconfigured) {
    TempDir dir;
    std::string path = dir.Write("not-a-port", "x");
    EXPECT_EQ(m_port.Open(path.c_str(), 4800, 500), 0);
    EXPECT_TRUE(m_port.IsOpen());
    m_port.Close();
    EXPECT_FALSE(m_port.IsOpen());
}

TEST_F(SerialPortTest, ARateTheLineCannotTakeLeavesThePortHeldWithItsSettingsAsFound) {
    const int before = m_pty.SlaveBaudRate();
    EXPECT_EQ(m_port.Open(m_pty.SlavePath(), 12345, 500), 0);
    EXPECT_TRUE(m_port.IsOpen());
    EXPECT_EQ(m_pty.SlaveBaudRate(), before);
    // The next open closes it first and succeeds.
    EXPECT_EQ(m_port.Open(m_pty.SlavePath(), 4800, 500), 1);
}

TEST_F(SerialPortTest, OperationsWithoutAPortFailOrReturnNothingAtOnce) {
    auto start = Clock::now();
    EXPECT_EQ(m_port.SetBaudRate(19200), 0);  // no drain, no 50 ms pause
    EXPECT_LT(MsSince(start), 40);
    EXPECT_EQ(m_port.SetReadTimeout(500), 0);
    EXPECT_EQ(m_port.SetWriteTimeout(1000), 0);
    const uint8_t byte = 0x55;
    EXPECT_EQ(m_port.Write(&byte, 1), 0);
    uint8_t buffer[4];
    uint32_t got = 99;
    EXPECT_EQ(m_port.Read(buffer, 4, &got), 1);
    EXPECT_EQ(got, 0u);
    m_port.Purge();
}

// ---- Transfers ---------------------------------------------------------------------------

TEST_F(SerialPortTest, ZeroLengthTransfersSucceedAtOnce) {
    ASSERT_EQ(m_port.Open(m_pty.SlavePath(), 4800, 500), 1);
    EXPECT_EQ(m_port.Write(nullptr, 0), 1);
    uint8_t buffer[1];
    uint32_t got = 99;
    auto start = Clock::now();
    EXPECT_EQ(m_port.Read(buffer, 0, &got), 1);
    EXPECT_EQ(got, 0u);
    EXPECT_LT(MsSince(start), 50);
    EXPECT_TRUE(m_pty.Receive(1, 100).empty());
}

TEST_F(SerialPortTest, ASilentReadReturnsNothingAfterTwoMsPerByteAndTheConstant) {
    ASSERT_EQ(m_port.Open(m_pty.SlavePath(), 4800, 500), 1);
    uint8_t buffer[2];
    uint32_t got = 99;
    auto start = Clock::now();
    EXPECT_EQ(m_port.Read(buffer, 2, &got), 1);
    const auto elapsed = MsSince(start);
    EXPECT_EQ(got, 0u);
    EXPECT_GE(elapsed, 500);  // 504 ms
    EXPECT_LE(elapsed, 3000);

    // The per-byte part counts: 250 bytes at a constant of 100 wait 600 ms.
    ASSERT_EQ(m_port.SetReadTimeout(100), 1);
    uint8_t big[250];
    start = Clock::now();
    m_port.Read(big, 250, &got);
    EXPECT_EQ(got, 0u);
    EXPECT_GE(MsSince(start), 590);
    EXPECT_LE(MsSince(start), 3000);
}

TEST_F(SerialPortTest, AReadReturnsWhatArrivedWhenTheTimeRunsOut) {
    ASSERT_EQ(m_port.Open(m_pty.SlavePath(), 4800, 200), 1);
    ASSERT_TRUE(m_pty.Send("abc"));
    uint8_t buffer[10];
    uint32_t got = 0;
    auto start = Clock::now();
    m_port.Read(buffer, 10, &got);
    EXPECT_EQ(AsText(buffer, got), "abc");
    EXPECT_GE(MsSince(start), 210);  // 220 ms
}

TEST_F(SerialPortTest, AReadReturnsAsSoonAsAllBytesAreThere) {
    ASSERT_EQ(m_port.Open(m_pty.SlavePath(), 4800, 3000), 1);
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        m_pty.Send("wx");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        m_pty.Send("yz");
    });
    uint8_t buffer[4];
    uint32_t got = 0;
    auto start = Clock::now();
    m_port.Read(buffer, 4, &got);
    const auto elapsed = MsSince(start);
    late.join();
    EXPECT_EQ(AsText(buffer, got), "wxyz");
    EXPECT_GE(elapsed, 150);
    EXPECT_LT(elapsed, 2000);  // far below the 3008 ms it could wait
}

TEST_F(SerialPortTest, AHangUpEndsAReadWithWhatArrived) {
    ASSERT_EQ(m_port.Open(m_pty.SlavePath(), 4800, 5000), 1);
    std::thread line([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        m_pty.Send("ok");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        m_pty.CloseMaster();  // the line goes away in the middle of the read
    });
    uint8_t buffer[8];
    uint32_t got = 0;
    auto start = Clock::now();
    EXPECT_EQ(m_port.Read(buffer, 8, &got), 1);
    const auto elapsed = MsSince(start);
    line.join();
    EXPECT_EQ(AsText(buffer, got), "ok");
    EXPECT_LT(elapsed, 2000);  // not the 5016 ms it could wait

    // Nothing more arrives, and the next read does not wait either.
    start = Clock::now();
    m_port.Read(buffer, 8, &got);
    EXPECT_EQ(got, 0u);
    EXPECT_LT(MsSince(start), 2000);
    const uint8_t byte = 1;
    EXPECT_EQ(m_port.Write(&byte, 1), 0);
}

TEST_F(SerialPortTest, ALongWriteGoesOutWholeThroughAFullQueue) {
    ASSERT_EQ(m_port.Open(m_pty.SlavePath(), 115200, 500), 1);
    std::vector<uint8_t> data(100000);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i * 7 + i / 256);
    }
    // The other side reads late and in pieces: the writer meets a full queue many times.
    std::vector<uint8_t> arrived;
    std::thread reader([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        arrived = m_pty.Receive(data.size(), 10000);
    });
    EXPECT_EQ(m_port.Write(data.data(), static_cast<int32_t>(data.size())), 1);
    reader.join();
    EXPECT_EQ(arrived, data);
}

TEST_F(SerialPortTest, PurgeDiscardsInputThatArrivedBeforeIt) {
    ASSERT_EQ(m_port.Open(m_pty.SlavePath(), 19200, 300), 1);
    ASSERT_TRUE(m_pty.Send("stale"));
    ASSERT_TRUE(WaitInputQueued(m_port.NativeHandle(), 5, 5000));
    m_port.Purge();
    ASSERT_TRUE(m_pty.Send("fresh"));
    uint8_t buffer[10];
    uint32_t got = 0;
    m_port.Read(buffer, 10, &got);
    EXPECT_EQ(AsText(buffer, got), "fresh");
}

TEST_F(SerialPortTest, OpenDiscardsInputQueuedBeforeIt) {
    // The line's input from before the open is not this conversation's.
    int fd = open(m_pty.SlavePath(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    termios raw{};
    tcgetattr(fd, &raw);
    cfmakeraw(&raw);
    tcsetattr(fd, TCSANOW, &raw);  // a line as an earlier program left it
    ASSERT_TRUE(m_pty.Send("old"));
    ASSERT_TRUE(WaitInputQueued(fd, 3, 5000));
    ASSERT_EQ(m_port.Open(m_pty.SlavePath(), 19200, 100), 1);
    close(fd);
    uint8_t buffer[4];
    uint32_t got = 0;
    m_port.Read(buffer, 4, &got);
    EXPECT_EQ(got, 0u);
}

// ---- Rate changes --------------------------------------------------------------------------

TEST_F(SerialPortTest, ARateChangeIsSeenByTheOtherSideAfterThePause) {
    ASSERT_EQ(m_port.Open(m_pty.SlavePath(), 19200, 500), 1);
    EXPECT_EQ(m_pty.SlaveBaudRate(), 19200);
    auto start = Clock::now();
    EXPECT_EQ(m_port.SetBaudRate(115200), 1);
    EXPECT_GE(MsSince(start), 50);
    EXPECT_EQ(m_port.BaudRate(), 115200);
    EXPECT_EQ(m_pty.SlaveBaudRate(), 115200);

    termios t;
    ASSERT_TRUE(m_pty.SlaveSettings(&t));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));  // the rest stays
    EXPECT_EQ(t.c_lflag & ICANON, 0u);
}

TEST_F(SerialPortTest, ARefusedRateChangeKeepsTheOldRate) {
    ASSERT_EQ(m_port.Open(m_pty.SlavePath(), 19200, 500), 1);
    EXPECT_EQ(m_port.SetBaudRate(12345), 0);
    EXPECT_EQ(m_port.BaudRate(), 19200);
    EXPECT_EQ(m_pty.SlaveBaudRate(), 19200);
    EXPECT_TRUE(m_port.IsOpen());
}

// ---- The driver's low-latency flag, on a real UART ---------------------------------------

// A real serial port held through a descriptor of the test's own, which reads the driver's
// flag while CSerialPort has the port, and puts the flag and the line settings back as it
// found them however the test ends.
class SerialDriverPort {
public:
    // The first /dev/ttyS* whose driver answers TIOCGSERIAL (pseudo-terminals refuse it).
    SerialDriverPort() {
        for (int n = 0; n < 32 && m_fd < 0; ++n) {
            m_path = "/dev/ttyS" + std::to_string(n);
            m_fd = open(m_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
            if (m_fd >= 0 && (ioctl(m_fd, TIOCGSERIAL, &m_serialFound) != 0 ||
                              tcgetattr(m_fd, &m_settingsFound) != 0)) {
                close(m_fd);
                m_fd = -1;
            }
        }
    }
    ~SerialDriverPort() {
        if (m_fd >= 0) {
            SetLowLatency((m_serialFound.flags & ASYNC_LOW_LATENCY) != 0);
            tcsetattr(m_fd, TCSANOW, &m_settingsFound);
            close(m_fd);
        }
    }
    SerialDriverPort(const SerialDriverPort&) = delete;
    SerialDriverPort& operator=(const SerialDriverPort&) = delete;

    bool Found() const { return m_fd >= 0; }
    const char* Path() const { return m_path.c_str(); }
    bool LowLatency() const {
        serial_struct serial{};
        return ioctl(m_fd, TIOCGSERIAL, &serial) == 0 && (serial.flags & ASYNC_LOW_LATENCY) != 0;
    }
    // False when the driver refuses (no permission).
    bool SetLowLatency(bool on) {
        serial_struct serial{};
        if (ioctl(m_fd, TIOCGSERIAL, &serial) != 0) {
            return false;
        }
        serial.flags = on ? serial.flags | ASYNC_LOW_LATENCY : serial.flags & ~ASYNC_LOW_LATENCY;
        return ioctl(m_fd, TIOCSSERIAL, &serial) == 0 && LowLatency() == on;
    }

private:
    std::string m_path;
    int m_fd = -1;
    serial_struct m_serialFound{};
    termios m_settingsFound{};
};

TEST(SerialPortDriverTest, TheLowLatencyFlagIsOnWhileOpenAndAsFoundAfterClose) {
    SerialDriverPort uart;
    if (!uart.Found()) {
        GTEST_SKIP() << "no /dev/ttyS* that this user can open and whose driver answers "
                        "TIOCGSERIAL";
    }
    for (bool before : {false, true}) {
        SCOPED_TRACE(before ? "flag on before the open" : "flag off before the open");
        if (!uart.SetLowLatency(before)) {
            GTEST_SKIP() << "the driver of " << uart.Path() << " refuses to change the flag";
        }
        CSerialPort port;
        if (port.Open(uart.Path(), 19200, 0) != 1) {
            GTEST_SKIP() << uart.Path() << " is in use by another program";
        }
        EXPECT_TRUE(uart.LowLatency());
        port.Close();
        EXPECT_EQ(uart.LowLatency(), before);
    }
}

}  // namespace
