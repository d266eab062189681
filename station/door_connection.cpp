// A client's connection.  OpenSSL keeps a queue of errors per thread: each TLS call starts
// with it empty so that SSL_get_error reads this call's outcome, never an older one.
#include "station/door_connection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace {

constexpr size_t kReadChunk = 16 * 1024;
constexpr size_t kTlsRecord = 16 * 1024;  // the most one TLS record carries

CDoorConnection::Want TlsWant(SSL* tls, int result) {
    switch (SSL_get_error(tls, result)) {
        case SSL_ERROR_WANT_READ:
            return CDoorConnection::Want::Read;
        case SSL_ERROR_WANT_WRITE:
            return CDoorConnection::Want::Write;
        default:
            ERR_clear_error();
            return CDoorConnection::Want::Nothing;
    }
}

}  // namespace

std::string SocketAddressText(const sockaddr_storage& address, int* port) {
    char text[INET6_ADDRSTRLEN] = "";
    *port = 0;
    if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
        *port = ntohs(v4.sin_port);
    } else if (address.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
        *port = ntohs(v6.sin6_port);
    }
    return text;
}

CDoorConnection::CDoorConnection(uint64_t id, CUniqueFd socket, std::string address, int port,
                                 SSL* tls)
    : m_id(id),
      m_socket(std::move(socket)),
      m_address(std::move(address)),
      m_port(port),
      m_tls(tls) {}

CDoorConnection::~CDoorConnection() = default;

ssize_t CDoorConnection::Receive(char* data, size_t size, Want* want) {
    *want = Want::Nothing;
    if (m_tls) {
        ERR_clear_error();
        const int got = SSL_read(m_tls.get(), data, static_cast<int>(std::min(size, kTlsRecord)));
        if (got > 0) {
            return got;
        }
        if (SSL_get_error(m_tls.get(), got) == SSL_ERROR_ZERO_RETURN) {
            return 0;
        }
        *want = TlsWant(m_tls.get(), got);
        return -1;
    }
    for (;;) {
        const ssize_t got = ::recv(m_socket.Get(), data, size, 0);
        if (got >= 0) {
            return got;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            *want = Want::Read;
        }
        return -1;
    }
}

ssize_t CDoorConnection::Send(const char* data, size_t size, Want* want) {
    *want = Want::Nothing;
    if (m_tls) {
        // A write that had to wait is repeated with the same length (OpenSSL's rule); the
        // bytes are the same ones, at the front of the output.
        const size_t length = m_tlsRetry > 0 ? m_tlsRetry : std::min(size, kTlsRecord);
        ERR_clear_error();
        const int sent = SSL_write(m_tls.get(), data, static_cast<int>(length));
        if (sent > 0) {
            m_tlsRetry = 0;
            return sent;
        }
        *want = TlsWant(m_tls.get(), sent);
        if (*want != Want::Nothing) {
            m_tlsRetry = length;
        }
        return -1;
    }
    for (;;) {
        const ssize_t sent = ::send(m_socket.Get(), data, size, MSG_NOSIGNAL);
        if (sent >= 0) {
            return sent;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            *want = Want::Write;
        }
        return -1;
    }
}

int CDoorConnection::Handshake(Want* want) {
    *want = Want::Nothing;
    ERR_clear_error();
    const int result = SSL_do_handshake(m_tls.get());
    if (result == 1) {
        return 1;
    }
    *want = TlsWant(m_tls.get(), result);
    return *want == Want::Nothing ? -1 : 0;
}

bool CDoorConnection::SendOutput(Want* want) {
    *want = Want::Nothing;
    while (m_sent < m_output.size()) {
        const ssize_t sent = Send(m_output.data() + m_sent, m_output.size() - m_sent, want);
        if (sent <= 0) {
            return false;
        }
        m_sent += static_cast<size_t>(sent);
    }
    m_output.clear();
    m_sent = 0;
    return true;
}

size_t CDoorConnection::ReadAvailable(size_t limit, Want* want, bool* ended) {
    *want = Want::Nothing;
    *ended = false;
    size_t added = 0;
    char chunk[kReadChunk];
    while (Unused() < limit) {
        const ssize_t got = Receive(chunk, std::min(sizeof chunk, limit - Unused()), want);
        if (got > 0) {
            m_input.append(chunk, static_cast<size_t>(got));
            added += static_cast<size_t>(got);
            continue;
        }
        *ended = got == 0 || *want == Want::Nothing;
        if (*ended) {
            *want = Want::Nothing;
        }
        break;
    }
    return added;
}

bool CDoorConnection::Drain(size_t most) {
    char chunk[kReadChunk];
    for (size_t dropped = 0; dropped < most;) {
        const ssize_t got = ::recv(m_socket.Get(), chunk, sizeof chunk, MSG_DONTWAIT);
        if (got > 0) {
            dropped += static_cast<size_t>(got);
        } else if (got < 0 && errno == EINTR) {
            continue;
        } else {
            return got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
        }
    }
    return true;
}

void CDoorConnection::ShutdownSending() {
    if (m_tls) {
        ERR_clear_error();
        SSL_shutdown(m_tls.get());  // one try: the close_notify goes if the socket takes it
        ERR_clear_error();
    }
    ::shutdown(m_socket.Get(), SHUT_WR);
}

bool CDoorConnection::TlsPending() const {
    return m_tls && SSL_has_pending(m_tls.get()) == 1;
}

size_t CDoorConnection::Take(char* data, size_t size) {
    const size_t count = std::min(size, Unused());
    std::memcpy(data, m_input.data() + m_used, count);
    m_used += count;
    return count;
}

void CDoorConnection::Compact() {
    if (m_used == m_input.size()) {
        std::string().swap(m_input);
    } else if (m_used > 0) {
        m_input.erase(0, m_used);
    }
    m_used = 0;
    if (m_output.empty()) {
        std::string().swap(m_output);
    }
}

void CDoorConnection::Erase(size_t offset, size_t length) {
    m_input.erase(m_used + offset, length);
}
