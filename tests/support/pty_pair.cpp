// PtyPair and PtyPeer: a pseudo-terminal whose master the test drives.
#include "tests/support/pty_pair.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace {

int RateOf(speed_t speed) {
    switch (speed) {
        case B1200:
            return 1200;
        case B2400:
            return 2400;
        case B4800:
            return 4800;
        case B9600:
            return 9600;
        case B19200:
            return 19200;
        case B38400:
            return 38400;
        case B57600:
            return 57600;
        case B115200:
            return 115200;
        case B230400:
            return 230400;
        default:
            return 0;
    }
}

}  // namespace

PtyPair::PtyPair() {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) {
        return;
    }
    const char* name = nullptr;
    if (grantpt(master) != 0 || unlockpt(master) != 0 || (name = ptsname(master)) == nullptr) {
        close(master);
        return;
    }
    m_slavePath = name;
    m_master = master;
}

PtyPair::~PtyPair() {
    CloseMaster();
}

void PtyPair::CloseMaster() {
    if (m_master >= 0) {
        close(m_master);
    }
    m_master = -1;
}

bool PtyPair::Send(const std::vector<uint8_t>& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = write(m_master, bytes.data() + sent, bytes.size() - sent);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

bool PtyPair::Send(const std::string& text) {
    return Send(std::vector<uint8_t>(text.begin(), text.end()));
}

std::vector<uint8_t> PtyPair::Receive(size_t n, int timeoutMs) {
    std::vector<uint8_t> got;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got.size() < n) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            break;
        }
        pollfd p{m_master, POLLIN, 0};
        int ready = poll(&p, 1, static_cast<int>(left));
        if (ready <= 0) {
            continue;
        }
        if ((p.revents & POLLIN) == 0) {
            usleep(2000);  // no slave open right now
            continue;
        }
        uint8_t buffer[4096];
        ssize_t r = read(m_master, buffer, std::min(sizeof buffer, n - got.size()));
        if (r > 0) {
            got.insert(got.end(), buffer, buffer + r);
        }
    }
    return got;
}

bool PtyPair::SlaveSettings(termios* settings) const {
    return m_master >= 0 && tcgetattr(m_master, settings) == 0;
}

int PtyPair::SlaveBaudRate() const {
    termios t;
    return SlaveSettings(&t) ? RateOf(cfgetospeed(&t)) : 0;
}

bool WaitInputQueued(int fd, size_t n, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int queued = 0;
        if (ioctl(fd, FIONREAD, &queued) == 0 && static_cast<size_t>(queued) >= n) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

PtyPeer::PtyPeer(PtyPair& pty) : m_pty(pty), m_thread([this] { Run(); }) {}

PtyPeer::~PtyPeer() {
    Stop();
}

void PtyPeer::Stop() {
    m_stop = true;
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void PtyPeer::AnswerAfter(size_t afterBytes, std::vector<uint8_t> reply, int delayMs) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_answers.push_back({afterBytes, std::move(reply), delayMs});
}

std::vector<uint8_t> PtyPeer::Received() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_received;
}

bool PtyPeer::WaitReceived(size_t n, int timeoutMs) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_arrived.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return m_received.size() >= n; });
}

void PtyPeer::Run() {
    while (!m_stop) {
        // Answers whose cue has come go out first, in the order they were given.
        std::vector<Answer> due;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            for (auto it = m_answers.begin(); it != m_answers.end();) {
                if (m_received.size() >= it->afterBytes) {
                    due.push_back(std::move(*it));
                    it = m_answers.erase(it);
                } else {
                    ++it;
                }
            }
        }
        for (const auto& answer : due) {
            if (answer.delayMs > 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(answer.delayMs));
            }
            m_pty.Send(answer.reply);
        }

        pollfd p{m_pty.Master(), POLLIN, 0};
        int ready = poll(&p, 1, 5);
        if (ready <= 0) {
            continue;
        }
        if ((p.revents & POLLIN) == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));  // no slave open
            continue;
        }
        uint8_t buffer[4096];
        ssize_t n = read(m_pty.Master(), buffer, sizeof buffer);
        if (n > 0) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_received.insert(m_received.end(), buffer, buffer + n);
            m_arrived.notify_all();
        }
    }
}

std::vector<uint8_t> LoaderFrame(uint8_t letter, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> frame;
    frame.reserve(payload.size() + 4);
    frame.push_back(0x2A);
    frame.push_back(static_cast<uint8_t>(payload.size() + 4));
    frame.push_back(letter);
    for (uint8_t b : payload) {
        frame.push_back(b);
    }
    uint8_t sum = 0;
    for (uint8_t b : frame) {
        sum = static_cast<uint8_t>(sum + b);
    }
    frame.push_back(sum);
    return frame;
}
