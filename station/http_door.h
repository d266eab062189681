// The station's door: one thread that accepts every connection and holds it, non-blocking,
// until a whole request is in (its line and headers, and the body they declare), and only then
// hands it to a worker that answers it through cpp-httplib.  A slow or idle client costs the
// door a few bytes and a deadline, never a thread, so no number of them keeps a page from the
// station.  The door bounds the connections of each client address and of all, the time a
// request may take to arrive as a whole, the idle time between requests, and does TLS's
// handshake itself, under the same deadline.  Event streams, which last, are served by
// threads of their own, so they never take a worker that requests need; requests that change
// the bench (and start its runs' threads) by a few threads of the process's own priority,
// while the door and the other workers yield to the runs.
#pragma once

#include "station/door_connection.h"
#include "station/door_stream.h"
#include "station/unique_fd.h"
#include "station/work_pool.h"

#include <openssl/ssl.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

struct DoorLimits {
    // Connections one client address holds at once.
    int perAddress = 16;
    // Connections at once; at the bound a new one takes the place of the one that has waited
    // longest for its request.
    int total = 1024;
    // From accept (or the next request's first byte) until the request is all in, TLS's
    // handshake included.
    int headTimeoutMs = 5000;
    int keepAliveMs = 5000;      // a kept-alive connection with nothing of its next request
    int writeTimeoutMs = 10000;  // what an answer may take to be sent
    int lingerMs = 2000;         // reading what a client still sends after its last answer
    size_t headBytes = 8192;     // a request's line and headers (cpp-httplib's bound too)
    size_t bodyBytes = 64 * 1024;
    size_t bodyBudget = 16 * 1024 * 1024;      // bodies arriving at once, all connections
    size_t deferredBudget = 16 * 1024 * 1024;  // answers the door sends for slow readers
    size_t workers = 8;                        // threads that answer requests
    size_t controlWorkers = 2;                 // threads that answer the bench's changes
    size_t streams = 36;                       // event streams' threads (the hub allows 32)
    unsigned requestsPerConnection = 100;
    // The nice value of the door's thread, its workers' and the streams': pages yield to the
    // runs.  The control workers keep the process's priority, as the runs they start must.
    int nice = 10;
    // The workers' CPU, all together, as a share of one processor: however many clients ask
    // as fast as they can, programming keeps the rest of the machine.
    double workerCpuShare = 0.3;
};

class CHttpDoor {
public:
    // Answers the request on the stream (`last`: the answer closes the connection); true
    // when the connection may carry another request.
    using Serve = std::function<bool(CDoorStream& stream, bool last)>;
    // Which threads a request (its line and headers) goes to.
    enum class Kind {
        Query,    // answered at once: the workers
        Control,  // changes the bench, may start its runs: the control workers
        Stream    // lasts: a thread of the stream pool
    };
    using Classify = std::function<Kind(std::string_view head)>;

    // `tls` (may be null: plain HTTP) must outlive the door.
    CHttpDoor(DoorLimits limits, SSL_CTX* tls, Serve serve, Classify classify);
    ~CHttpDoor();
    CHttpDoor(const CHttpDoor&) = delete;
    CHttpDoor& operator=(const CHttpDoor&) = delete;

    // Binds and listens (port 0: any free one); false with the reason.
    bool Listen(const std::string& host, int port, std::string* error);
    int Port() const { return m_port; }
    int ListenerFd() const { return m_listener.Get(); }
    // The door's loop, until Stop; then it ends every connection, lets the workers finish
    // and closes everything.
    void Run();
    // Makes Run end soon whatever the clients do: no worker or stream waits for a client any
    // longer.
    void Stop();

private:
    using Connection = std::unique_ptr<CDoorConnection>;
    using Want = CDoorConnection::Want;
    using Phase = CDoorConnection::Phase;
    using Clock = CDoorConnection::Clock;

    void Accept();
    void Admit(CUniqueFd socket, const sockaddr_storage& peer);
    bool EvictOldestWaiting();
    void Ready(uint64_t id);
    void Handshake(CDoorConnection& connection);
    void ReadRequest(CDoorConnection& connection);
    void Examine(CDoorConnection& connection, Want want, bool ended);
    bool FindHead(CDoorConnection& connection);
    bool RequestInFull(const CDoorConnection& connection) const;
    void Dispatch(CDoorConnection& connection);
    void Refuse(CDoorConnection& connection, int status, const char* reason, const char* text);
    void Flush(CDoorConnection& connection);
    void AfterAnswer(CDoorConnection& connection);
    void Linger(CDoorConnection& connection);
    void Resume(Connection connection);
    void TakeReturns();
    void Expire();
    int NextTimeoutMs() const;
    void Arm(const CDoorConnection& connection, Want want);
    void SetDeadline(CDoorConnection& connection, int fromNowMs);
    void ClearDeadline(CDoorConnection& connection);
    void Unreserve(CDoorConnection& connection);
    void Close(CDoorConnection& connection);
    void Forget(CDoorConnection& connection);
    // On a worker's thread.
    void Work(Connection connection);
    void Return(Connection connection);

    const DoorLimits m_limits;
    SSL_CTX* const m_tls;
    const Serve m_serve;
    const Classify m_classify;
    int m_port = 0;
    CUniqueFd m_listener, m_epoll, m_wake;
    CUniqueFd m_spare;  // given up when the process runs out of descriptors, to refuse one
    std::atomic<bool> m_stopping{false};

    // The door thread's alone.
    std::unordered_map<uint64_t, Connection> m_held;  // every connection not at a worker
    std::set<std::pair<Clock::time_point, uint64_t>> m_deadlines;
    std::unordered_map<std::string, int> m_perAddress;  // every connection, held or not
    int m_connections = 0;
    size_t m_reservedBody = 0;
    uint64_t m_nextId = 2;  // 0 and 1 are the listener's and the wake-up's

    // The sockets of the connections at a worker or a stream's thread, by id: when the door
    // stops it shuts them down, so that no thread waits on a client that reads nothing.
    std::mutex m_outMutex;
    std::unordered_map<uint64_t, int> m_out;

    std::atomic<size_t> m_deferred{0};
    std::mutex m_returnedMutex;
    std::vector<Connection> m_returned;  // from the workers, for the door to take back
    CWorkPool<Connection> m_workers;
    CWorkPool<Connection> m_control;
    CWorkPool<Connection> m_streams;
};
