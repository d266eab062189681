// The simulated instrument on a pseudo-terminal: one thread that reads whatever the host sends
// the moment it arrives (a host's purge throws away what is still unread on the pty), stamps
// each byte with the time the line would have carried it and the line rate, and hands it to
// the loader model at once; what the model answers waits until the line could have carried
// the request and the answer, then goes out in one write.
//
// Without pacing every time is "now".  With pacing a byte of the host counts as received one
// byte time (10 bits at the line rate) after the previous one or after its arrival, whichever
// is later, and a reply's last byte is due one byte time per reply byte after the request's
// last byte (or after the previous reply).  The host's read of a reply returns only once all
// of it is there, so writing it whole when its last byte is due costs the host nothing and
// spares both sides a wake-up per byte: the thread wakes when bytes arrive and when a reply
// is due, a few times a block.  A reply delay holds every reply back that much more before
// its first byte.  Stray bytes go out unpaced, together with the reply's last byte, so that
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
    // One answer of the model: its bytes (reply, then stray bytes) go out in one write once
    // its time has come; a hang-up closes the line then instead.
    struct Outgoing {
        Clock::time_point due;
        std::vector<uint8_t> bytes;
        size_t sent = 0;
        bool closeLine = false;
    };

    explicit Impl(const Options& o) : options(o), model(o) {}

    bool Start();
    void Stop();
    void Run();
    void ReadAvailable();
    void TakeLocked(const uint8_t* bytes, size_t count, Clock::time_point now, uint32_t baud);
    void ScheduleLocked(ModelOutput& out, Clock::time_point heard, uint32_t baud);
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
    size_t pending = 0;  // answers waiting to go out
    bool lineClosed = false;
    uint64_t generation = 0;
    Clock::time_point lastActivity = Clock::now();

    // The thread's own (the model's feed runs under `mutex` as well).
    std::deque<Outgoing> tx;  // in the order of their due times
    bool txBlocked = false;
    bool hangUpScheduled = false;  // bytes after a hang-up's request are never heard
    Clock::time_point rxClock;     // when the line has carried the host's last byte
    Clock::time_point txClock;     // when the line has carried the last answer
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
        // Wake-ups within microseconds: a reply due at a byte's end should not come later.
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    }
    rxClock = txClock = Clock::now();
    while (!stopping) {
        const auto now = Clock::now();
        SendDue(now);
        if (lineClosed) {
            break;  // the pty is gone
        }

        // Sleep until input arrives, output may go, an answer is due or a half message has
        // been quiet long enough to give up.
        std::optional<Clock::time_point> deadline;
        {
            std::lock_guard lock(mutex);
            if (model.HasPartial() && !hangUpScheduled) {
                if (now - rxClock >= kQuiet) {
                    model.AbandonPartial();
                } else {
                    deadline = rxClock + kQuiet;
                }
            }
            if (!tx.empty() && !txBlocked && (!deadline || tx.front().due < *deadline)) {
                deadline = tx.front().due;
            }
            pending = tx.size();
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
    if (!lineClosed) {
        // Stopped: what the host wrote before the stop is still the instrument's to hear, so
        // that the last report holds it (a kick-start sent just before, on a loaded host).
        // The read takes in what the pty still had on its way.
        ReadAvailable();
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
        std::lock_guard lock(mutex);
        received.insert(received.end(), buffer, buffer + got);
        lastActivity = now;
        TakeLocked(buffer, static_cast<size_t>(got), now, baud);
        pending = tx.size();
    }
}

void SimulatedInstrument::Impl::TakeLocked(const uint8_t* bytes, size_t count,
                                           Clock::time_point now, uint32_t baud) {
    const auto byteTime = options.pace ? ByteTime(baud) : Clock::duration::zero();
    bool reportDue = false;
    for (size_t i = 0; i < count && !hangUpScheduled; ++i) {
        // When the line has carried this byte: the model judges a message by its last byte,
        // so the answer to it is timed from there.
        rxClock = options.pace ? std::max(rxClock, now) + byteTime : now;
        ModelOutput out;
        model.Feed(bytes[i], baud, out);
        reportDue |= out.writeReport;
        if (out.closeLine || !out.reply.empty() || !out.stale.empty()) {
            ScheduleLocked(out, rxClock, baud);
        }
    }
    if (reportDue) {
        WriteReportLocked();
    }
}

void SimulatedInstrument::Impl::ScheduleLocked(ModelOutput& out, Clock::time_point heard,
                                               uint32_t baud) {
    Outgoing answer;
    if (out.closeLine) {
        hangUpScheduled = true;
        answer.closeLine = true;
        answer.due = std::max(heard, txClock);
    } else {
        const auto byteTime = options.pace ? ByteTime(baud) : Clock::duration::zero();
        const auto start =
            std::max(heard + std::chrono::milliseconds(options.replyDelayMs), txClock);
        answer.due = start + byteTime * static_cast<int64_t>(out.reply.size());
        answer.bytes = std::move(out.reply);
        answer.bytes.insert(answer.bytes.end(), out.stale.begin(), out.stale.end());
    }
    // Answers leave in order, one after the other on the line.
    txClock = answer.due;
    tx.push_back(std::move(answer));
}

void SimulatedInstrument::Impl::SendDue(Clock::time_point now) {
    txBlocked = false;
    while (!tx.empty() && tx.front().due <= now) {
        Outgoing& answer = tx.front();
        if (answer.closeLine) {
            std::lock_guard lock(mutex);
            CloseLine();
            WriteReportLocked();
            return;
        }
        while (answer.sent < answer.bytes.size()) {
            const ssize_t sent =
                write(master, answer.bytes.data() + answer.sent, answer.bytes.size() - answer.sent);
            if (sent < 0 && errno == EINTR) {
                continue;
            }
            if (sent < 0 && errno == EAGAIN) {
                txBlocked = true;  // the host's input queue is full
                return;
            }
            if (sent <= 0) {
                answer.sent = answer.bytes.size();  // the line is broken: drop the answer
                break;
            }
            answer.sent += static_cast<size_t>(sent);
        }
        tx.pop_front();
        std::lock_guard lock(mutex);
        lastActivity = Clock::now();
    }
}

void SimulatedInstrument::Impl::CloseLine() {
    // Caller holds the mutex.  The host's side sees a hang-up; its reads fail from now on.
    CloseFd(master);
    CloseFd(slave);
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
