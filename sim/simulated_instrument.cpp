// The simulated instrument on a pseudo-terminal: one thread that reads whatever the host sends
// the moment it arrives (a host's purge throws away what is still unread on the pty), stamps
// each byte with its arrival time and the line rate, hands it to the loader model when its
// wire time has come, and writes the model's replies when theirs has.
//
// Without pacing every time is "now".  With pacing a byte of the host counts as received one
// byte time (10 bits at the line rate) after the previous one or after its arrival, whichever
// is later, and each reply byte goes out one byte time after the one before; reading never
// waits for that.  Stray bytes go out unpaced, together with the reply's last byte, so that
// they sit in the host's input queue before its next purge.
#include "sim/simulated_instrument.h"

#include "sim/loader_model.h"
#include "sim/sim_report.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

namespace sim {
namespace {

using Clock = std::chrono::steady_clock;

// A half-received message is given up after this much silence.
constexpr auto kQuiet = std::chrono::milliseconds(250);
// WaitIdle wants the instrument idle for this long.
constexpr auto kSettle = std::chrono::milliseconds(20);
// WaitFor looks at the report at most this often.
constexpr auto kWaitForInterval = std::chrono::milliseconds(5);
constexpr int kBitsPerByte = 10;
constexpr size_t kReadChunk = 4096;

struct SpeedEntry {
    speed_t code;
    uint32_t baud;
};
constexpr SpeedEntry kSpeeds[] = {
    {B50, 50},       {B75, 75},         {B110, 110},       {B134, 134},       {B150, 150},
    {B200, 200},     {B300, 300},       {B600, 600},       {B1200, 1200},     {B1800, 1800},
    {B2400, 2400},   {B4800, 4800},     {B9600, 9600},     {B19200, 19200},   {B38400, 38400},
    {B57600, 57600}, {B115200, 115200}, {B230400, 230400}, {B460800, 460800}, {B921600, 921600},
};

uint32_t BaudOf(speed_t speed) {
    for (const SpeedEntry& entry : kSpeeds) {
        if (entry.code == speed) {
            return entry.baud;
        }
    }
    // A C library that stores plain numbers in speed_t.
    return speed > 50 ? static_cast<uint32_t>(speed) : 0;
}

Clock::duration ByteTime(uint32_t baud) {
    if (baud == 0) {
        return Clock::duration::zero();
    }
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::nanoseconds(1'000'000'000LL * kBitsPerByte / baud));
}

void CloseFd(int& fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

}  // namespace

struct SimulatedInstrument::Impl {
    struct RxByte {
        uint8_t byte;
        uint32_t baud;
        Clock::time_point due;
    };
    struct TxByte {
        uint8_t byte;
        Clock::time_point due;
    };

    explicit Impl(const Options& o) : options(o), model(o) {}

    bool Start();
    void Stop();
    void Run();
    void ReadAvailable();
    void Deliver(Clock::time_point now);
    void Schedule(const ModelOutput& out, Clock::time_point at, uint32_t baud);
    void SendDue(Clock::time_point now);
    void CloseLine();
    uint32_t LineBaud() const;
    void WriteReportLocked();
    Report Snapshot() const;
    bool IdleNow() const;

    const Options options;
    std::string portPath;
    int master = -1;
    int slave = -1;  // held so that the line never hangs up when the host closes its side
    int wake = -1;
    std::thread thread;
    std::atomic<bool> stopping{false};
    bool started = false;
    bool stopped = false;

    // Shared with the other threads, under `mutex`.
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    LoaderModel model;
    std::vector<uint8_t> received;
    size_t pending = 0;  // bytes waiting to be handled or sent
    bool lineClosed = false;
    uint64_t generation = 0;
    Clock::time_point lastActivity = Clock::now();

    // The thread's own.
    std::deque<RxByte> rx;
    std::deque<TxByte> tx;
    bool txBlocked = false;
    Clock::time_point rxClock, txClock, lastDelivered;
};

bool SimulatedInstrument::Impl::Start() {
    if (started) {
        return false;
    }
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (master < 0) {
        return false;
    }
    char name[128];
    if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name)) {
        CloseFd(master);
        return false;
    }
    portPath = name;
    slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    termios settings{};
    if (slave < 0 || wake < 0 || tcgetattr(slave, &settings) != 0) {
        CloseFd(master);
        CloseFd(slave);
        CloseFd(wake);
        return false;
    }
    // Raw, as a serial line is: no echo of the host's bytes back to it, no line editing.
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&settings, B9600);
    cfsetospeed(&settings, B9600);
    tcsetattr(slave, TCSANOW, &settings);

    started = true;
    thread = std::thread([this] { Run(); });
    return true;
}

void SimulatedInstrument::Impl::Stop() {
    if (!started || stopped) {
        return;
    }
    stopping = true;
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t ignored = write(wake, &one, sizeof one);
    thread.join();
    std::lock_guard lock(mutex);
    CloseFd(master);
    CloseFd(slave);
    CloseFd(wake);
    stopped = true;
    WriteReportLocked();
    changed.notify_all();
}

void SimulatedInstrument::Impl::Run() {
    if (options.pace) {
        // Wake-ups within microseconds: a byte at 115200 baud lasts 87 us.
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    }
    const auto start = Clock::now();
    rxClock = txClock = lastDelivered = start;
    while (!stopping) {
        const auto now = Clock::now();
        Deliver(now);
        if (lineClosed) {
            break;  // the pty is gone
        }
        SendDue(now);

        // Sleep until input arrives, output may go, or the next byte's time comes.
        std::optional<Clock::time_point> deadline;
        auto consider = [&deadline](Clock::time_point t) {
            if (!deadline || t < *deadline) {
                deadline = t;
            }
        };
        if (!rx.empty()) {
            consider(rx.front().due);
        } else if (model.HasPartial()) {
            consider(lastDelivered + kQuiet);
        }
        if (!tx.empty() && !txBlocked) {
            consider(tx.front().due);
        }
        {
            std::lock_guard lock(mutex);
            pending = rx.size() + tx.size();
            ++generation;
        }
        changed.notify_all();

        pollfd fds[2] = {{master, static_cast<short>(POLLIN | (txBlocked ? POLLOUT : 0)), 0},
                         {wake, POLLIN, 0}};
        timespec timeout{};
        timespec* timeoutPtr = nullptr;
        if (deadline) {
            const auto left = std::max(*deadline - Clock::now(), Clock::duration::zero());
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            timeout.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
            timeout.tv_nsec = static_cast<long>(ns % 1'000'000'000);
            timeoutPtr = &timeout;
        }
        if (ppoll(fds, 2, timeoutPtr, nullptr) < 0 && errno != EINTR) {
            break;
        }
        if (fds[0].revents & POLLIN) {
            ReadAvailable();
        }
        if (fds[0].revents & POLLNVAL) {
            break;
        }
        if ((fds[0].revents & (POLLHUP | POLLERR)) && !(fds[0].revents & POLLIN)) {
            // Cannot happen while the slave is held; never spin on it should it come.
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    {
        std::lock_guard lock(mutex);
        pending = 0;
        ++generation;
    }
    changed.notify_all();
}

void SimulatedInstrument::Impl::ReadAvailable() {
    uint8_t buffer[kReadChunk];
    for (;;) {
        const ssize_t got = read(master, buffer, sizeof buffer);
        if (got <= 0) {
            return;  // EAGAIN: all read
        }
        const auto now = Clock::now();
        const uint32_t baud = LineBaud();
        const auto byteTime = options.pace ? ByteTime(baud) : Clock::duration::zero();
        for (ssize_t i = 0; i < got; ++i) {
            rxClock = std::max(rxClock, now) + byteTime;
            rx.push_back({buffer[i], baud, options.pace ? rxClock : now});
        }
        std::lock_guard lock(mutex);
        received.insert(received.end(), buffer, buffer + got);
        pending = rx.size() + tx.size();
        lastActivity = now;
    }
}

void SimulatedInstrument::Impl::Deliver(Clock::time_point now) {
    std::lock_guard lock(mutex);
    bool reportDue = false;
    while (!rx.empty() && rx.front().due <= now) {
        const RxByte in = rx.front();
        rx.pop_front();
        lastDelivered = in.due;
        ModelOutput out;
        model.Feed(in.byte, in.baud, out);
        reportDue |= out.writeReport;
        if (out.closeLine) {
            CloseLine();
            break;
        }
        if (!out.reply.empty() || !out.stale.empty()) {
            Schedule(out, std::max(in.due, txClock), in.baud);
        }
    }
    if (!lineClosed && rx.empty() && model.HasPartial() && now - lastDelivered >= kQuiet) {
        model.AbandonPartial();
    }
    if (reportDue) {
        WriteReportLocked();
    }
}

void SimulatedInstrument::Impl::Schedule(const ModelOutput& out, Clock::time_point at,
                                         uint32_t baud) {
    const auto byteTime = options.pace ? ByteTime(baud) : Clock::duration::zero();
    Clock::time_point due = at;
    for (uint8_t b : out.reply) {
        due += byteTime;
        tx.push_back({b, due});
    }
    if (options.pace) {
        txClock = due;
    }
    for (uint8_t b : out.stale) {
        tx.push_back({b, due});
    }
}

void SimulatedInstrument::Impl::SendDue(Clock::time_point now) {
    txBlocked = false;
    uint8_t buffer[kReadChunk];
    while (!tx.empty() && tx.front().due <= now) {
        size_t count = 0;
        while (count < tx.size() && count < sizeof buffer && tx[count].due <= now) {
            buffer[count] = tx[count].byte;
            ++count;
        }
        const ssize_t sent = write(master, buffer, count);
        if (sent < 0 && (errno == EAGAIN || errno == EINTR)) {
            txBlocked = errno == EAGAIN;
            return;
        }
        const size_t drop = sent < 0 ? count : static_cast<size_t>(sent);
        tx.erase(tx.begin(), tx.begin() + static_cast<ptrdiff_t>(drop));
        {
            std::lock_guard lock(mutex);
            lastActivity = Clock::now();
        }
        if (sent >= 0 && static_cast<size_t>(sent) < count) {
            txBlocked = true;  // the host's input queue is full
            return;
        }
    }
}

void SimulatedInstrument::Impl::CloseLine() {
    // Caller holds the mutex.  The host's side sees a hang-up; its reads fail from now on.
    CloseFd(master);
    CloseFd(slave);
    rx.clear();
    tx.clear();
    lineClosed = true;
    model.SetLineClosed();
}

uint32_t SimulatedInstrument::Impl::LineBaud() const {
    // On Linux the master reports the settings of the host's side.
    termios settings{};
    if (tcgetattr(master, &settings) != 0) {
        return 0;
    }
    const uint32_t out = BaudOf(cfgetospeed(&settings));
    return out != 0 ? out : BaudOf(cfgetispeed(&settings));
}

void SimulatedInstrument::Impl::WriteReportLocked() {
    if (!options.reportPath.empty()) {
        WriteReportFile(options.reportPath, model.BuildReport());
    }
}

Report SimulatedInstrument::Impl::Snapshot() const {
    Report report;
    std::vector<uint8_t> flash;
    {
        std::lock_guard lock(mutex);
        report = model.BuildReport(false);
        flash = model.Flash();
    }
    report.flashDigest = FlashDigestOf(flash.data(), flash.size());
    return report;
}

bool SimulatedInstrument::Impl::IdleNow() const {
    // Caller holds the mutex.
    if (lineClosed || stopped) {
        return true;
    }
    int unread = 0;
    if (pending != 0 || model.HasPartial() || ioctl(master, FIONREAD, &unread) != 0 ||
        unread != 0) {
        return false;
    }
    return Clock::now() - lastActivity >= kSettle;
}

SimulatedInstrument::SimulatedInstrument(Options options)
    : m_impl(std::make_unique<Impl>(options)) {}

SimulatedInstrument::~SimulatedInstrument() {
    Stop();
}

bool SimulatedInstrument::Start() {
    return m_impl->Start();
}

void SimulatedInstrument::Stop() {
    m_impl->Stop();
}

const std::string& SimulatedInstrument::PortPath() const {
    return m_impl->portPath;
}

Report SimulatedInstrument::GetReport() const {
    return m_impl->Snapshot();
}

std::vector<uint8_t> SimulatedInstrument::Flash() const {
    std::lock_guard lock(m_impl->mutex);
    return m_impl->model.Flash();
}

std::vector<uint8_t> SimulatedInstrument::Received() const {
    std::lock_guard lock(m_impl->mutex);
    return m_impl->received;
}

bool SimulatedInstrument::WaitIdle(int timeoutMs) const {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    // Idle must hold for kSettle from when this call first sees it: bytes that the host has
    // just written may still be on their way through the pty.
    std::optional<Clock::time_point> idleSince;
    std::unique_lock lock(m_impl->mutex);
    for (;;) {
        const auto now = Clock::now();
        if (!m_impl->IdleNow()) {
            idleSince.reset();
        } else if (!idleSince) {
            idleSince = now;
        } else if (now - *idleSince >= kSettle) {
            return true;
        }
        if (now >= deadline) {
            return false;
        }
        m_impl->changed.wait_for(lock, std::chrono::milliseconds(2));
    }
}

bool SimulatedInstrument::WaitFor(const std::function<bool(const Report&)>& done,
                                  int timeoutMs) const {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        uint64_t seen = 0;
        {
            std::lock_guard lock(m_impl->mutex);
            seen = m_impl->generation;
        }
        if (done(m_impl->Snapshot())) {
            return true;
        }
        const auto evaluated = Clock::now();
        if (evaluated >= deadline) {
            return false;
        }
        {
            std::unique_lock lock(m_impl->mutex);
            m_impl->changed.wait_until(lock, deadline, [&] { return m_impl->generation != seen; });
        }
        // Each look hashes the flash: keep them a few milliseconds apart so that a waiting
        // test leaves the cores to the conversation it waits for.
        std::this_thread::sleep_until(std::min(evaluated + kWaitForInterval, deadline));
    }
}

}  // namespace sim
