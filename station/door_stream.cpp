// The worker's stream.  cpp-httplib reads a request's head a byte at a time and its body in
// pieces no longer than what is left of it, so the reads end exactly where the request ends:
// what follows (the next request of a client that sends them back to back) stays in the
// connection for the door.
#include "station/door_stream.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

namespace {

using Want = CDoorConnection::Want;
using Clock = CDoorConnection::Clock;

constexpr size_t kSendAtBytes = 64 * 1024;           // an answer is sent in pieces of this
constexpr size_t kDeferPerConnection = 1024 * 1024;  // the most one answer leaves for the door

// Waits until the socket can do what is wanted, up to the deadline; false when it can't.
bool WaitFor(int fd, Want want, Clock::time_point deadline) {
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (want == Want::Nothing || left.count() <= 0) {
            return false;
        }
        pollfd entry{fd, static_cast<short>(want == Want::Read ? POLLIN : POLLOUT), 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
        if (ready > 0) {
            return (entry.revents & (POLLERR | POLLNVAL)) == 0;
        }
        if (ready < 0 && errno != EINTR) {
            return false;
        }
    }
}

}  // namespace

CDoorStream::CDoorStream(CDoorConnection& connection, bool streaming, int writeTimeoutMs,
                         std::atomic<size_t>& deferred, size_t deferLimit)
    : m_connection(connection),
      m_streaming(streaming),
      m_writeTimeoutMs(writeTimeoutMs),
      m_deferred(deferred),
      m_deferLimit(deferLimit),
      m_writeDeadline(Clock::now() + std::chrono::milliseconds(writeTimeoutMs)),
      m_requestLeft(connection.lengthKnown ? connection.requestLength : SIZE_MAX) {}

bool CDoorStream::is_readable() const {
    if (m_requestLeft == 0) {
        return false;
    }
    if (m_connection.Unused() > 0) {
        return true;
    }
    pollfd entry{m_connection.Fd(), POLLIN, 0};
    return ::poll(&entry, 1, 0) > 0;
}

bool CDoorStream::is_writable() const {
    if (m_writeFailed) {
        return false;
    }
    if (!m_streaming) {
        return true;
    }
    pollfd entry{m_connection.Fd(), POLLOUT, 0};
    return ::poll(&entry, 1, m_writeTimeoutMs) > 0 && (entry.revents & (POLLERR | POLLHUP)) == 0;
}

ssize_t CDoorStream::read(char* data, size_t size) {
    size = std::min(size, m_requestLeft);
    if (size == 0) {
        return 0;  // the request ends here: a body with no declared length is empty
    }
    if (m_connection.Unused() > 0) {
        const size_t taken = m_connection.Take(data, size);
        if (m_requestLeft != SIZE_MAX) {
            m_requestLeft -= taken;
        }
        return static_cast<ssize_t>(taken);
    }
    // Only a request whose end the door could not tell (chunks, or a body over the limit)
    // reads on from the socket, and only what is there now.
    Want want;
    const ssize_t got = m_connection.Receive(data, size, &want);
    if (got <= 0) {
        m_readFailed = true;
        return -1;
    }
    if (m_requestLeft != SIZE_MAX) {
        m_requestLeft -= static_cast<size_t>(got);
    }
    return got;
}

ssize_t CDoorStream::write(const char* data, size_t size) {
    if (m_writeFailed) {
        return -1;
    }
    m_connection.Queue(data, size);
    if (m_streaming) {
        // Each event goes now; a page that takes none for the whole time-out is gone.
        if (!SendWaiting(Clock::now() + std::chrono::milliseconds(m_writeTimeoutMs))) {
            return -1;
        }
        return static_cast<ssize_t>(size);
    }
    if (m_connection.Unsent() >= kSendAtBytes) {
        Want want;
        if (!m_connection.SendOutput(&want) &&
            (want == Want::Nothing ||
             (m_connection.Unsent() > kDeferPerConnection && !SendWaiting(m_writeDeadline)))) {
            m_writeFailed = true;
            return -1;
        }
    }
    return static_cast<ssize_t>(size);
}

bool CDoorStream::SendWaiting(Clock::time_point deadline) {
    Want want;
    while (!m_connection.SendOutput(&want)) {
        if (!WaitFor(m_connection.Fd(), want, deadline)) {
            m_writeFailed = true;
            return false;
        }
    }
    return true;
}

CDoorStream::Outcome CDoorStream::Finish() {
    if (m_writeFailed) {
        return Outcome::Broken;
    }
    Want want;
    if (!m_connection.SendOutput(&want)) {
        if (want == Want::Nothing) {
            return Outcome::Broken;
        }
        // The client reads slowly: the door sends the rest, unless too much is waiting for
        // slow clients already.
        const size_t left = m_connection.Unsent();
        if (m_deferred.fetch_add(left) + left <= m_deferLimit) {
            m_connection.deferred = left;
        } else {
            m_deferred.fetch_sub(left);
            if (!SendWaiting(m_writeDeadline)) {
                return Outcome::Broken;
            }
        }
    }
    return m_readFailed ? Outcome::Close : Outcome::Keep;
}

void CDoorStream::get_remote_ip_and_port(std::string& ip, int& port) const {
    ip = m_connection.Address();
    port = m_connection.Port();
}

void CDoorStream::get_local_ip_and_port(std::string& ip, int& port) const {
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    ip.clear();
    port = 0;
    if (::getsockname(m_connection.Fd(), reinterpret_cast<sockaddr*>(&local), &length) == 0) {
        ip = SocketAddressText(local, &port);
    }
}

socket_t CDoorStream::socket() const {
    return m_connection.Fd();
}
