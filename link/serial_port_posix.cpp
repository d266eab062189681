// CSerialPort on a POSIX host (termios): the same observable rules as on Windows.
//
// The descriptor is opened non-blocking and every transfer waits in poll() against a
// deadline on the monotonic clock, so a read means one thing here as there: return as soon
// as n bytes are there, or after 2 * n + constant ms with what has arrived.  A hang-up or an
// I/O error ends a read with what arrived; nothing ever spins.  The open is exclusive twice
// over: flock() stops every other open that locks (and root, whom TIOCEXCL does not stop),
// TIOCEXCL stops the opens that don't lock.
#include "link/serial_port.h"

#include "framework/runtime.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int64_t kReadMsPerByte = 2;   // read timeout: 2 ms per requested byte + constant
constexpr int64_t kWriteMsPerByte = 1;  // write timeout: 1 ms per byte + constant
constexpr int32_t kOpenWriteTimeoutS = 1000;

// The termios speed for a rate in bits per second; false for a rate the table lacks.
bool SpeedForRate(int32_t rate, speed_t* speed) {
    static constexpr struct {
        int32_t rate;
        speed_t speed;
    } kSpeeds[] = {
        {300, B300},       {600, B600},       {1200, B1200},     {2400, B2400},   {4800, B4800},
        {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600}, {115200, B115200},
        {230400, B230400}, {460800, B460800}, {921600, B921600},
    };
    for (const auto& entry : kSpeeds) {
        if (entry.rate == rate) {
            *speed = entry.speed;
            return true;
        }
    }
    return false;
}

// Applies raw 8N1 at `speed` to a copy of the settings found: no echo, no line editing, no
// signals, no translation of input or output bytes, the receiver on and the modem lines
// ignored.  Hardware flow control (CRTSCTS) and the other flags stay as found.
//
// Software flow control goes too: Linux turns IXON on for every terminal by default,
// whether or not the line uses it, and in-band XON/XOFF can't share a line with binary
// frames: a reply byte 0x13 would vanish from the input and stop our output.
termios RawSettings(const termios& found, speed_t speed) {
    termios t = found;
    t.c_iflag &= ~static_cast<tcflag_t>(ISTRIP | INLCR | IGNCR | ICRNL | PARMRK | BRKINT | IXON |
                                        IXOFF | IXANY);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB);
    t.c_cflag |= CS8 | CREAD | CLOCAL;
    // Reads are timed by poll(); with VMIN 1 an empty non-blocking read says EAGAIN, so that
    // 0 means end of file (a hang-up) and nothing else.
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    return t;
}

// tcsetattr() succeeds when any of the changes took; a rate the driver can't run is only seen
// by reading the settings back.
bool Apply(int fd, const termios& wanted) {
    termios now;
    return tcsetattr(fd, TCSANOW, &wanted) == 0 && tcgetattr(fd, &now) == 0 &&
           cfgetospeed(&now) == cfgetospeed(&wanted) && cfgetispeed(&now) == cfgetispeed(&wanted);
}

// Milliseconds left until the deadline, rounded up so that a wait never ends early; 0 once
// it has passed.
int MsLeft(Clock::time_point deadline) {
    auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) {
        return 0;
    }
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::min<int64_t>(ms, INT_MAX));
}

// USB adapters otherwise hold short replies up to their latency timer (16 ms); ports that
// know no such setting (a pseudo-terminal) refuse, which is fine.  True when this call
// turned the flag on, which the close then takes back: the driver keeps the setting beyond
// the descriptor.
bool AskForLowLatency(int fd) {
    serial_struct serial;
    std::memset(&serial, 0, sizeof serial);
    if (ioctl(fd, TIOCGSERIAL, &serial) != 0 || (serial.flags & ASYNC_LOW_LATENCY) != 0) {
        return false;
    }
    serial.flags |= ASYNC_LOW_LATENCY;
    return ioctl(fd, TIOCSSERIAL, &serial) == 0;
}

// Turns the flag off again, leaving every other driver setting as it is now.
void DropLowLatency(int fd) {
    serial_struct serial;
    std::memset(&serial, 0, sizeof serial);
    if (ioctl(fd, TIOCGSERIAL, &serial) == 0) {
        serial.flags &= ~ASYNC_LOW_LATENCY;
        (void)ioctl(fd, TIOCSSERIAL, &serial);
    }
}

}  // namespace

CSerialPort::CSerialPort()
    : m_settings{},
      m_portName(nullptr),
      m_handle(-1),
      m_baudRate(0),
      m_readTimeoutMs(0),
      m_writeTimeoutMs(0),
      m_lowLatencySet(false) {}

bool CSerialPort::IsOpen() const {
    return m_handle >= 0;
}

int CSerialPort::Open(const char* portName, int32_t baudRate, int32_t readTimeoutMs) {
    if (IsOpen()) {
        Close();
    }
    if (portName == nullptr) {
        return 0;
    }
    // The device itself, exclusively: a port that is missing or held by anybody fails here
    // and leaves nothing held.
    int fd = open(portName, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return 0;
    }
    m_handle = fd;

    // A file that is no terminal is held but can't be configured, as a Windows handle whose
    // event mask can't be set.
    if (ioctl(m_handle, TIOCEXCL) != 0) {
        return 0;
    }
    m_portName = portName;
    m_baudRate = baudRate;

    if (tcgetattr(m_handle, &m_settings) != 0) {
        Close();
        return 0;
    }
    speed_t speed;
    if (!SpeedForRate(baudRate, &speed)) {
        return 0;  // held, settings as found
    }
    termios raw = RawSettings(m_settings, speed);
    if (!Apply(m_handle, raw)) {
        tcsetattr(m_handle, TCSANOW, &m_settings);
        return 0;  // held, settings as found
    }
    m_settings = raw;
    m_lowLatencySet = AskForLowLatency(m_handle);

    SetReadTimeout(readTimeoutMs);
    SetWriteTimeout(kOpenWriteTimeoutS);
    tcflush(m_handle, TCIOFLUSH);
    return 1;
}

void CSerialPort::Close() {
    if (IsOpen()) {
        tcdrain(m_handle);
        if (m_lowLatencySet) {
            DropLowLatency(m_handle);
        }
        // The exclusive flag belongs to the terminal, which can outlive this descriptor (a
        // pty's slave does while its master is open).
        (void)ioctl(m_handle, TIOCNXCL);
        close(m_handle);  // also drops the flock
    }
    m_handle = -1;
    m_lowLatencySet = false;
}

int CSerialPort::SetBaudRate(int32_t baudRate) {
    if (!IsOpen()) {
        return 0;
    }
    tcdrain(m_handle);
    SleepMs(kRateChangePauseMs);
    speed_t speed;
    if (!SpeedForRate(baudRate, &speed)) {
        return 0;
    }
    termios t = m_settings;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    if (!Apply(m_handle, t)) {
        tcsetattr(m_handle, TCSANOW, &m_settings);  // back to the old rate
        return 0;
    }
    m_settings = t;
    m_baudRate = baudRate;
    return 1;
}

int CSerialPort::SetReadTimeout(int32_t constantMs) {
    if (!IsOpen()) {
        return 0;
    }
    m_readTimeoutMs = constantMs;
    return 1;
}

int CSerialPort::SetWriteTimeout(int32_t seconds) {
    if (!IsOpen()) {
        return 0;
    }
    m_writeTimeoutMs =
        static_cast<int32_t>(std::clamp<int64_t>(int64_t{seconds} * 1000, 0, INT32_MAX));
    return 1;
}

int CSerialPort::Write(const uint8_t* bytes, int32_t count) {
    if (count == 0) {
        return 1;
    }
    if (count < 0 || bytes == nullptr || !IsOpen()) {
        return 0;
    }
    const auto deadline =
        Clock::now() + std::chrono::milliseconds(kWriteMsPerByte * count + m_writeTimeoutMs);
    int32_t sent = 0;
    while (sent < count) {
        ssize_t n = write(m_handle, bytes + sent, static_cast<size_t>(count - sent));
        if (n > 0) {
            sent += static_cast<int32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            return 0;  // the line is gone or broken
        }
        // The output queue is full: wait until it takes more, or the time runs out.
        int left = MsLeft(deadline);
        if (left == 0) {
            return 0;
        }
        pollfd p{m_handle, POLLOUT, 0};
        int ready = poll(&p, 1, left);
        if (ready < 0 && errno != EINTR) {
            return 0;
        }
        if (ready > 0 && (p.revents & POLLOUT) == 0) {
            return 0;  // hang-up or error, nothing more will go out
        }
    }
    return 1;
}

int CSerialPort::Read(uint8_t* buffer, int32_t count, uint32_t* bytesRead) {
    uint32_t dummy = 0;
    uint32_t& got = bytesRead != nullptr ? *bytesRead : dummy;
    got = 0;
    if (count <= 0 || buffer == nullptr || !IsOpen()) {
        return 1;
    }
    const auto deadline =
        Clock::now() + std::chrono::milliseconds(kReadMsPerByte * count + m_readTimeoutMs);
    bool lineDown = false;  // the last poll saw a hang-up or error
    while (got < static_cast<uint32_t>(count)) {
        ssize_t n = read(m_handle, buffer + got, static_cast<size_t>(count) - got);
        if (n > 0) {
            got += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK) || lineDown) {
            break;  // end of file, hang-up (EIO) or error: keep what arrived
        }
        int left = MsLeft(deadline);
        if (left == 0) {
            break;
        }
        pollfd p{m_handle, POLLIN, 0};
        int ready = poll(&p, 1, left);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (ready == 0) {
            break;  // the time ran out
        }
        if ((p.revents & POLLNVAL) != 0) {
            break;
        }
        lineDown = (p.revents & (POLLHUP | POLLERR)) != 0;
    }
    return 1;
}

void CSerialPort::Purge() {
    if (IsOpen()) {
        tcflush(m_handle, TCIOFLUSH);
    }
}
