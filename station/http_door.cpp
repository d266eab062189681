// The door.  Each connection is registered once with epoll, one-shot: an event disarms it, and
// the door arms it again for what it waits for next, or leaves it disarmed while a worker has
// it.  Deadlines sit in one ordered set.  Only the door thread touches a held connection and
// the counts; a worker gives its connection back through a list and an eventfd, and the door
// closes every connection itself, so the counts stay right.
//
// To know when a request is all in, the door finds the blank line that ends its head and
// reads three headers, Content-Length, Transfer-Encoding and Expect; cpp-httplib parses the
// request.  A request with neither length nor chunks has no body (so a POST without a length
// is answered at once, not after a time-out).  A body in chunks is handed over when its last
// chunk is seen, one longer than the limit at once (cpp-httplib answers 413).  "Expect:
// 100-continue" is answered by the door, which then waits for the body like any other.
#include "station/http_door.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr uint64_t kListenerId = 0;
constexpr uint64_t kWakeId = 1;
constexpr int kAcceptsPerTurn = 64;   // then the door serves the others before it goes on
constexpr size_t kChunkSlack = 4096;  // chunk sizes and trailers beside a body's bytes
constexpr size_t kLingerBytes = 1024 * 1024;
constexpr std::string_view kHeadEnd = "\r\n\r\n";

bool SameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

bool HasWord(std::string_view value, std::string_view word) {
    for (size_t at = 0; at + word.size() <= value.size(); ++at) {
        if (SameName(value.substr(at, word.size()), word)) {
            return true;
        }
    }
    return false;
}

std::string_view Trim(std::string_view text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// What the door reads of a head: the body's framing and an expectation to answer.
struct HeadFacts {
    bool chunked = false;
    bool lengthGiven = false;
    bool lengthValid = true;
    size_t length = 0;
    size_t expectAt = std::string_view::npos;  // the "Expect: 100-continue" line
    size_t expectLength = 0;
};

HeadFacts ReadHeadFacts(std::string_view head) {
    HeadFacts facts;
    size_t at = head.find("\r\n");
    while (at != std::string_view::npos && at + 2 < head.size()) {
        const size_t start = at + 2;
        const size_t end = head.find("\r\n", start);
        if (end == std::string_view::npos || end == start) {
            break;
        }
        const std::string_view line = head.substr(start, end - start);
        const size_t colon = line.find(':');
        if (colon != std::string_view::npos) {
            const std::string_view name = line.substr(0, colon);
            const std::string_view value = Trim(line.substr(colon + 1));
            if (SameName(name, "Transfer-Encoding")) {
                facts.chunked = facts.chunked || HasWord(value, "chunked");
            } else if (SameName(name, "Content-Length")) {
                size_t length = 0;
                bool digits = !value.empty() && value.size() <= 18;
                for (char c : value) {
                    digits = digits && c >= '0' && c <= '9';
                    length = length * 10 + static_cast<size_t>(c - '0');
                }
                facts.lengthValid =
                    facts.lengthValid && digits && (!facts.lengthGiven || facts.length == length);
                facts.lengthGiven = true;
                facts.length = length;
            } else if (SameName(name, "Expect") && SameName(value, "100-continue")) {
                facts.expectAt = start;
                facts.expectLength = end + 2 - start;
            }
        }
        at = end;
    }
    return facts;
}

// True when a chunked body (what follows the head) holds its last chunk and the end of its
// trailers.  A search, not a parse: when it misjudges, cpp-httplib's parse of what is there
// decides.
bool ChunkedBodyEnds(std::string_view body) {
    size_t last = body.rfind("\r\n0\r\n");
    if (body.rfind("0\r\n", 0) == 0) {
        last = last == std::string_view::npos ? 0 : last + 2;
    } else if (last != std::string_view::npos) {
        last += 2;
    } else {
        return false;
    }
    const size_t trailers = last + 3;  // after "0\r\n"
    return body.compare(trailers, 2, "\r\n") == 0 ||
           body.find(kHeadEnd, trailers) != std::string_view::npos;
}

const char* StatusText(int status) {
    switch (status) {
        case 431:
            return "Request Header Fields Too Large";
        case 503:
            return "Service Unavailable";
        default:
            return "Error";
    }
}

}  // namespace

CHttpDoor::CHttpDoor(DoorLimits limits, SSL_CTX* tls, Serve serve, Classify classify)
    : m_limits(limits),
      m_tls(tls),
      m_serve(std::move(serve)),
      m_classify(std::move(classify)),
      m_workers("velko-http", {limits.workers, limits.nice, limits.workerCpuShare},
                [this](Connection c) { Work(std::move(c)); }),
      m_control("velko-control", {limits.controlWorkers, 0, 0.0},
                [this](Connection c) { Work(std::move(c)); }),
      m_streams("velko-events", {limits.streams, limits.nice, 0.0},
                [this](Connection c) { Work(std::move(c)); }) {
    signal(SIGPIPE, SIG_IGN);  // a TLS write to a closed socket must fail, not end the station
}

CHttpDoor::~CHttpDoor() {
    Stop();
    m_workers.Stop();
    m_control.Stop();
    m_streams.Stop();
}

bool CHttpDoor::Listen(const std::string& host, int port, std::string* error) {
    const std::string where = port == 0 ? host : host + ":" + std::to_string(port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
        *error = "can't listen on " + where + " (not an address of this machine)";
        return false;
    }
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> addresses(found, freeaddrinfo);
    for (const addrinfo* address = found; address != nullptr; address = address->ai_next) {
        CUniqueFd listener(::socket(address->ai_family,
                                    address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                                    address->ai_protocol));
        const int yes = 1;
        // SO_REUSEADDR only: a port that another program (or a second station) listens on
        // stays refused.
        if (!listener.Valid() ||
            setsockopt(listener.Get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) != 0 ||
            ::bind(listener.Get(), address->ai_addr, address->ai_addrlen) != 0 ||
            ::listen(listener.Get(), SOMAXCONN) != 0) {
            continue;
        }
        sockaddr_storage bound{};
        socklen_t length = sizeof bound;
        if (getsockname(listener.Get(), reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
            continue;
        }
        SocketAddressText(bound, &m_port);
        m_listener = std::move(listener);
        break;
    }
    if (!m_listener.Valid()) {
        *error = "can't listen on " + where + " (in use, or not an address of this machine)";
        return false;
    }
    m_epoll.Reset(epoll_create1(EPOLL_CLOEXEC));
    m_wake.Reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    m_spare.Reset(open("/dev/null", O_RDONLY | O_CLOEXEC));
    epoll_event listen{EPOLLIN, {}};
    listen.data.u64 = kListenerId;
    epoll_event wake{EPOLLIN, {}};
    wake.data.u64 = kWakeId;
    if (!m_epoll.Valid() || !m_wake.Valid() ||
        epoll_ctl(m_epoll.Get(), EPOLL_CTL_ADD, m_listener.Get(), &listen) != 0 ||
        epoll_ctl(m_epoll.Get(), EPOLL_CTL_ADD, m_wake.Get(), &wake) != 0) {
        *error = std::string("can't wait for connections: ") + std::strerror(errno);
        return false;
    }
    return true;
}

void CHttpDoor::Stop() {
    m_stopping = true;
    if (m_wake.Valid()) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(m_wake.Get(), &one, sizeof one);
    }
}

void CHttpDoor::Run() {
    pthread_setname_np(pthread_self(), "velko-door");
    if (m_limits.nice > 0) {
        setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), m_limits.nice);
    }
    epoll_event events[256];
    while (!m_stopping) {
        const int count = epoll_wait(m_epoll.Get(), events, 256, NextTimeoutMs());
        if (count < 0 && errno != EINTR) {
            break;
        }
        for (int i = 0; i < count; ++i) {
            const uint64_t id = events[i].data.u64;
            if (id == kListenerId) {
                Accept();
            } else if (id == kWakeId) {
                TakeReturns();
            } else {
                Ready(id);
            }
        }
        Expire();
    }
    // No new connections.  The connections at the workers and the streams' threads are shut
    // down, so that an answer to a client that takes nothing, or an event stream's write,
    // fails at once instead of waiting out its time-out; then the threads finish and every
    // connection closes.
    m_listener.Reset();
    {
        std::lock_guard<std::mutex> lock(m_outMutex);
        for (const auto& [id, fd] : m_out) {
            ::shutdown(fd, SHUT_RDWR);
        }
    }
    m_workers.Stop();
    m_control.Stop();
    m_streams.Stop();
    std::lock_guard<std::mutex> lock(m_returnedMutex);
    m_returned.clear();
    m_deadlines.clear();
    m_held.clear();
}

// ---- Admission ------------------------------------------------------------------------------

void CHttpDoor::Accept() {
    for (int i = 0; i < kAcceptsPerTurn; ++i) {
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        CUniqueFd socket(accept4(m_listener.Get(), reinterpret_cast<sockaddr*>(&peer), &length,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (socket.Valid()) {
            Admit(std::move(socket), peer);
            continue;
        }
        if (errno == EINTR || errno == ECONNABORTED) {
            continue;
        }
        if ((errno == EMFILE || errno == ENFILE) && m_spare.Valid()) {
            // Out of descriptors: the listener would stay ready for ever.  The spare one
            // makes room to take the connection and close it.
            m_spare.Reset();
            CUniqueFd refused(accept4(m_listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
            refused.Reset();
            m_spare.Reset(open("/dev/null", O_RDONLY | O_CLOEXEC));
            continue;
        }
        return;  // nothing more waiting (or an error the next turn sees again)
    }
}

void CHttpDoor::Admit(CUniqueFd socket, const sockaddr_storage& peer) {
    int port = 0;
    std::string address = SocketAddressText(peer, &port);
    const auto from = m_perAddress.find(address);
    if (from != m_perAddress.end() && from->second >= m_limits.perAddress) {
        return;  // closed at once: this address holds its share
    }
    if (m_connections >= m_limits.total && !EvictOldestWaiting()) {
        return;
    }
    const int yes = 1;
    setsockopt(socket.Get(), IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    SSL* tls = nullptr;
    if (m_tls != nullptr) {
        tls = SSL_new(m_tls);
        if (tls == nullptr || SSL_set_fd(tls, socket.Get()) != 1) {
            SSL_free(tls);
            return;
        }
        SSL_set_accept_state(tls);
    }
    const uint64_t id = m_nextId++;
    auto connection =
        std::make_unique<CDoorConnection>(id, std::move(socket), std::move(address), port, tls);
    epoll_event interest{EPOLLIN | EPOLLONESHOT, {}};
    interest.data.u64 = id;
    if (epoll_ctl(m_epoll.Get(), EPOLL_CTL_ADD, connection->Fd(), &interest) != 0) {
        return;
    }
    ++m_perAddress[connection->Address()];
    ++m_connections;
    connection->phase = tls != nullptr ? Phase::Handshake : Phase::Head;
    CDoorConnection& held = *connection;
    m_held.emplace(id, std::move(connection));
    SetDeadline(held, m_limits.headTimeoutMs);
}

bool CHttpDoor::EvictOldestWaiting() {
    for (const auto& [deadline, id] : m_deadlines) {
        CDoorConnection& connection = *m_held.at(id);
        if (connection.phase != Phase::Flush && connection.phase != Phase::Linger) {
            Close(connection);
            return true;
        }
    }
    return false;
}

// ---- A request arriving ---------------------------------------------------------------------

void CHttpDoor::Ready(uint64_t id) {
    const auto it = m_held.find(id);
    if (it == m_held.end()) {
        return;  // closed earlier in this turn
    }
    CDoorConnection& connection = *it->second;
    switch (connection.phase) {
        case Phase::Handshake:
            Handshake(connection);
            break;
        case Phase::Head:
        case Phase::Body:
        case Phase::Idle:
            ReadRequest(connection);
            break;
        case Phase::Flush:
            Flush(connection);
            break;
        case Phase::Linger:
            if (connection.Drain(kLingerBytes)) {
                Close(connection);
            } else {
                Arm(connection, Want::Read);
            }
            break;
        case Phase::Busy:
            break;
    }
}

void CHttpDoor::Handshake(CDoorConnection& connection) {
    Want want;
    const int done = connection.Handshake(&want);
    if (done < 0) {
        Close(connection);
    } else if (done == 0) {
        Arm(connection, want);
    } else {
        connection.phase = Phase::Head;
        ReadRequest(connection);  // the request may have come with the handshake's last flight
    }
}

void CHttpDoor::ReadRequest(CDoorConnection& connection) {
    // Up to one byte over the head's bound (to see it crossed), then the body it declares.
    const size_t limit = connection.headLength == 0
                             ? m_limits.headBytes + 1
                             : connection.headLength + m_limits.bodyBytes + kChunkSlack;
    Want want;
    bool ended = false;
    const size_t added = connection.ReadAvailable(limit, &want, &ended);
    if (added > 0 && connection.phase == Phase::Idle) {
        // The next request's first byte: its head has its own time from here.
        connection.phase = Phase::Head;
        SetDeadline(connection, m_limits.headTimeoutMs);
    }
    Examine(connection, want, ended);
}

void CHttpDoor::Examine(CDoorConnection& connection, Want want, bool ended) {
    if (connection.headLength == 0 && !FindHead(connection)) {
        if (connection.Unused() > m_limits.headBytes) {
            Refuse(connection, 431, nullptr, "the request's line and headers are too long");
        } else if (ended) {
            Close(connection);
        } else {
            Arm(connection, want);
        }
        return;
    }
    if (connection.headLength > m_limits.headBytes) {
        Refuse(connection, 431, nullptr, "the request's line and headers are too long");
        return;
    }
    connection.clientEnded = ended;
    if (RequestInFull(connection) || ended ||
        connection.Unused() >= connection.headLength + m_limits.bodyBytes + kChunkSlack) {
        Dispatch(connection);
        return;
    }
    connection.phase = Phase::Body;
    Arm(connection, want == Want::Nothing ? Want::Read : want);
}

// Finds the blank line that ends the head and reads what tells where the request ends;
// false while the head is not all in.
bool CHttpDoor::FindHead(CDoorConnection& connection) {
    const std::string_view unused(connection.UnusedData(), connection.Unused());
    const size_t from = connection.scanned >= 3 ? connection.scanned - 3 : 0;
    const size_t end = unused.find(kHeadEnd, from);
    if (end == std::string_view::npos) {
        connection.scanned = unused.size();
        return false;
    }
    connection.headLength = end + kHeadEnd.size();
    if (connection.headLength > m_limits.headBytes) {
        return true;
    }
    const HeadFacts facts = ReadHeadFacts(unused.substr(0, connection.headLength));
    connection.chunked = facts.chunked;
    connection.handOver =
        facts.chunked ? false : !facts.lengthValid || facts.length > m_limits.bodyBytes;
    connection.lengthKnown = !facts.chunked && !connection.handOver;
    if (!connection.lengthKnown) {
        return true;
    }
    connection.requestLength = connection.headLength + facts.length;
    if (facts.expectAt != std::string_view::npos) {
        // The door takes the expectation on itself: the header goes, and the client is told
        // to send its body now unless it has come already.
        connection.Erase(facts.expectAt, facts.expectLength);
        connection.headLength -= facts.expectLength;
        connection.requestLength -= facts.expectLength;
        if (connection.Unused() < connection.requestLength) {
            static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
            connection.Queue(kContinue.data(), kContinue.size());
            Want want;
            connection.SendOutput(&want);  // what the socket does not take goes before the answer
        }
    }
    if (facts.length > 0) {
        if (m_reservedBody + facts.length > m_limits.bodyBudget) {
            connection.handOver = true;  // no room to wait for it: cpp-httplib takes what is there
            connection.lengthKnown = false;
            return true;
        }
        connection.reserved = facts.length;
        m_reservedBody += facts.length;
    }
    return true;
}

bool CHttpDoor::RequestInFull(const CDoorConnection& connection) const {
    if (connection.handOver) {
        return true;
    }
    if (connection.lengthKnown) {
        return connection.Unused() >= connection.requestLength;
    }
    return ChunkedBodyEnds(std::string_view(connection.UnusedData(), connection.Unused())
                               .substr(connection.headLength));
}

void CHttpDoor::Dispatch(CDoorConnection& connection) {
    const Kind kind = m_classify(std::string_view(connection.UnusedData(), connection.headLength));
    connection.stream = kind == Kind::Stream;
    Unreserve(connection);
    ClearDeadline(connection);
    const auto it = m_held.find(connection.Id());
    Connection taken = std::move(it->second);
    m_held.erase(it);
    taken->phase = Phase::Busy;
    {
        std::lock_guard<std::mutex> lock(m_outMutex);
        m_out.emplace(taken->Id(), taken->Fd());
    }
    CWorkPool<Connection>& pool = kind == Kind::Stream    ? m_streams
                                  : kind == Kind::Control ? m_control
                                                          : m_workers;
    if (pool.Offer(taken->Address(), taken, kind == Kind::Stream)) {
        return;  // the worker has it now: `connection` is no longer the door's to touch
    }
    {
        std::lock_guard<std::mutex> lock(m_outMutex);
        m_out.erase(taken->Id());
    }
    CDoorConnection& back = *taken;
    m_held.emplace(back.Id(), std::move(taken));
    if (m_stopping) {
        Close(back);
        return;
    }
    // Every stream thread is taken: the stream is refused here, as the station's hub
    // refuses one over its bound.
    Refuse(back, 503, nullptr, "too many event streams are open");
}

// ---- Answers and what follows them ----------------------------------------------------------

void CHttpDoor::Refuse(CDoorConnection& connection, int status, const char* reason,
                       const char* text) {
    Unreserve(connection);
    connection.Discard();
    const std::string body = std::string("{\"error\":\"") + text + "\"}";
    const std::string answer =
        "HTTP/1.1 " + std::to_string(status) + " " +
        (reason != nullptr ? reason : StatusText(status)) +
        "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
        "\r\nConnection: close\r\n\r\n" + body;
    connection.Queue(answer.data(), answer.size());
    connection.closeAfterFlush = true;
    connection.phase = Phase::Flush;
    SetDeadline(connection, m_limits.writeTimeoutMs);
    Flush(connection);
}

void CHttpDoor::Flush(CDoorConnection& connection) {
    Want want;
    if (connection.SendOutput(&want)) {
        m_deferred -= connection.deferred;
        connection.deferred = 0;
        AfterAnswer(connection);
    } else if (want == Want::Nothing) {
        Close(connection);
    } else {
        Arm(connection, want);
    }
}

void CHttpDoor::AfterAnswer(CDoorConnection& connection) {
    if (connection.closeAfterFlush || connection.clientEnded || m_stopping) {
        Linger(connection);
        return;
    }
    connection.headLength = connection.requestLength = connection.scanned = 0;
    connection.lengthKnown = connection.chunked = connection.handOver = connection.stream = false;
    connection.phase = connection.Unused() > 0 ? Phase::Head : Phase::Idle;
    SetDeadline(connection,
                connection.phase == Phase::Idle ? m_limits.keepAliveMs : m_limits.headTimeoutMs);
    if (connection.Unused() > 0 || connection.TlsPending()) {
        ReadRequest(connection);  // the next request came with the last one
    } else {
        Arm(connection, Want::Read);
    }
}

// The answer is all sent: shut the sending side and read what the client still sends, so
// that closing with unread bytes does not reset the connection before it has read the answer.
void CHttpDoor::Linger(CDoorConnection& connection) {
    connection.ShutdownSending();
    connection.Discard();
    connection.phase = Phase::Linger;
    SetDeadline(connection, m_limits.lingerMs);
    if (connection.Drain(kLingerBytes)) {
        Close(connection);
    } else {
        Arm(connection, Want::Read);
    }
}

void CHttpDoor::Resume(Connection connection) {
    if (connection->broken) {
        Forget(*connection);
        return;
    }
    CDoorConnection& held = *connection;
    m_held.emplace(held.Id(), std::move(connection));
    if (held.Unsent() > 0) {
        held.phase = Phase::Flush;
        SetDeadline(held, m_limits.writeTimeoutMs);
        Arm(held, Want::Write);
    } else {
        AfterAnswer(held);
    }
}

void CHttpDoor::TakeReturns() {
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t got = ::read(m_wake.Get(), &count, sizeof count);
    std::vector<Connection> returned;
    {
        std::lock_guard<std::mutex> lock(m_returnedMutex);
        returned.swap(m_returned);
    }
    for (Connection& connection : returned) {
        Resume(std::move(connection));
    }
}

// ---- Time -----------------------------------------------------------------------------------

void CHttpDoor::Expire() {
    const Clock::time_point now = Clock::now();
    while (!m_deadlines.empty() && m_deadlines.begin()->first <= now) {
        CDoorConnection& connection = *m_held.at(m_deadlines.begin()->second);
        if (connection.phase == Phase::Body && connection.chunked) {
            Dispatch(connection);  // chunks whose end the search missed: cpp-httplib decides
        } else {
            Close(connection);
        }
    }
}

int CHttpDoor::NextTimeoutMs() const {
    if (m_deadlines.empty()) {
        return 1000;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        m_deadlines.begin()->first - Clock::now());
    return static_cast<int>(std::clamp<long long>(left.count() + 1, 0, 1000));
}

void CHttpDoor::SetDeadline(CDoorConnection& connection, int fromNowMs) {
    ClearDeadline(connection);
    connection.deadline = Clock::now() + std::chrono::milliseconds(fromNowMs);
    m_deadlines.emplace(connection.deadline, connection.Id());
}

void CHttpDoor::ClearDeadline(CDoorConnection& connection) {
    m_deadlines.erase({connection.deadline, connection.Id()});
}

void CHttpDoor::Arm(const CDoorConnection& connection, Want want) {
    epoll_event interest{(want == Want::Write ? EPOLLOUT : EPOLLIN) | EPOLLONESHOT, {}};
    interest.data.u64 = connection.Id();
    epoll_ctl(m_epoll.Get(), EPOLL_CTL_MOD, connection.Fd(), &interest);
}

// ---- The end of a connection ----------------------------------------------------------------

void CHttpDoor::Unreserve(CDoorConnection& connection) {
    m_reservedBody -= connection.reserved;
    connection.reserved = 0;
}

void CHttpDoor::Close(CDoorConnection& connection) {
    ClearDeadline(connection);
    const auto it = m_held.find(connection.Id());
    Connection closing = std::move(it->second);
    m_held.erase(it);
    Forget(*closing);
}  // the socket and its TLS session go with `closing`

void CHttpDoor::Forget(CDoorConnection& connection) {
    Unreserve(connection);
    m_deferred -= connection.deferred;
    connection.deferred = 0;
    const auto it = m_perAddress.find(connection.Address());
    if (it != m_perAddress.end() && --it->second <= 0) {
        m_perAddress.erase(it);
    }
    --m_connections;
}

// ---- On a worker ----------------------------------------------------------------------------

void CHttpDoor::Work(Connection connection) {
    {
        CDoorStream stream(*connection, connection->stream, m_limits.writeTimeoutMs, m_deferred,
                           m_limits.deferredBudget);
        const bool last = connection->stream || connection->clientEnded || m_stopping ||
                          ++connection->served >= m_limits.requestsPerConnection;
        const bool mayGoOn = m_serve(stream, last);
        const CDoorStream::Outcome outcome = stream.Finish();
        connection->broken = outcome == CDoorStream::Outcome::Broken;
        connection->closeAfterFlush = last || !mayGoOn || outcome != CDoorStream::Outcome::Keep;
    }
    connection->Compact();
    Return(std::move(connection));
}

void CHttpDoor::Return(Connection connection) {
    {
        std::lock_guard<std::mutex> lock(m_outMutex);
        m_out.erase(connection->Id());
    }
    {
        std::lock_guard<std::mutex> lock(m_returnedMutex);
        m_returned.push_back(std::move(connection));
    }
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(m_wake.Get(), &one, sizeof one);
}
