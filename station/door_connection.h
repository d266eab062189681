// One client's connection as the door and its workers hand it between them: the socket (and
// its TLS session when the station serves HTTPS), the bytes read and not yet used, the bytes
// of answers not yet sent, and what the door knows of it.  Only one thread holds a connection
// at a time; every call here is non-blocking.
#pragma once

#include "station/unique_fd.h"

#include <openssl/ssl.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// The address of a socket address as text ("127.0.0.2", "::1"), and its port.
std::string SocketAddressText(const sockaddr_storage& address, int* port);

class CDoorConnection {
public:
    using Clock = std::chrono::steady_clock;
    // What a call that could not go on waits for; Nothing: it failed for good.
    enum class Want { Nothing, Read, Write };
    // Where the connection is, for the door.
    enum class Phase {
        Handshake,  // TLS: the handshake, under the head's deadline
        Head,       // the request's line and headers are arriving
        Body,       // the head is in; its declared body is arriving
        Idle,       // kept alive between requests, nothing of the next one yet
        Busy,       // a worker has it
        Flush,      // the door sends what a worker's answer left unsent
        Linger,     // the answer is sent and the sending side shut: reading what is left
    };

    CDoorConnection(uint64_t id, CUniqueFd socket, std::string address, int port, SSL* tls);
    ~CDoorConnection();
    CDoorConnection(const CDoorConnection&) = delete;
    CDoorConnection& operator=(const CDoorConnection&) = delete;

    uint64_t Id() const { return m_id; }
    int Fd() const { return m_socket.Get(); }
    bool Tls() const { return m_tls != nullptr; }
    const std::string& Address() const { return m_address; }
    int Port() const { return m_port; }

    // The socket's bytes, through TLS when there is a session: the count moved (> 0), 0 at
    // the end of the client's data, or -1 with *want saying what to wait for (Nothing: the
    // connection failed).
    ssize_t Receive(char* data, size_t size, Want* want);
    // One step of the TLS handshake: 1 when it is done, 0 to wait for *want, -1 failed.
    int Handshake(Want* want);
    // Sends what the output holds: true once all of it is sent, else false with *want.
    bool SendOutput(Want* want);
    // Reads what the socket holds now until the unused input reaches `limit` bytes: the count
    // added; *want says what to wait for next (Nothing when the limit stopped it), *ended
    // that the client ended its side or the connection failed.
    size_t ReadAvailable(size_t limit, Want* want, bool* ended);
    // Reads and drops what the socket holds now (after the last answer); true when the
    // client has ended its side, the connection failed, or `most` bytes were dropped.
    bool Drain(size_t most);
    // Ends the sending side: TLS's close_notify, then the socket's shutdown.
    void ShutdownSending();
    // True when the TLS session holds bytes read from the socket but not yet taken: epoll
    // would not tell of them.
    bool TlsPending() const;

    size_t Unused() const { return m_input.size() - m_used; }
    const char* UnusedData() const { return m_input.data() + m_used; }
    // Takes up to `size` unused bytes into `data`; the count.
    size_t Take(char* data, size_t size);
    // Drops what was used, and the buffers' memory too when nothing is left.
    void Compact();
    void Discard() { m_used = m_input.size(); }
    // Removes `length` unused bytes at `offset` from the unused start (a header the door
    // answered itself).
    void Erase(size_t offset, size_t length);

    void Queue(const char* data, size_t size) { m_output.append(data, size); }
    size_t Unsent() const { return m_output.size() - m_sent; }

    // The door's own bookkeeping.
    Phase phase = Phase::Head;
    Clock::time_point deadline{};
    size_t scanned = 0;        // unused bytes already searched for the head's end
    size_t headLength = 0;     // the head's bytes once its end is found, with the blank line
    size_t requestLength = 0;  // head and body, when the door knows the body's length
    bool lengthKnown = false;  // requestLength holds: a worker reads no further
    bool chunked = false;      // the body comes in chunks (its end is searched for)
    bool handOver = false;     // a worker takes it as it is (a body the door can't wait for)
    size_t reserved = 0;       // body bytes reserved in the door's bound while they arrive
    bool closeAfterFlush = false;
    bool clientEnded = false;  // the client shut its side after its request
    bool broken = false;       // a worker's write failed: close without more ado
    bool stream = false;       // an event stream: a thread of the stream pool serves it
    unsigned served = 0;       // requests answered on it
    size_t deferred = 0;       // output bytes a worker left for the door to send

private:
    ssize_t Send(const char* data, size_t size, Want* want);

    uint64_t m_id;
    CUniqueFd m_socket;
    std::string m_address;
    int m_port;
    struct FreeTls {
        void operator()(SSL* tls) const { SSL_free(tls); }
    };
    std::unique_ptr<SSL, FreeTls> m_tls;
    std::string m_input;
    size_t m_used = 0;
    std::string m_output;
    size_t m_sent = 0;
    size_t m_tlsRetry = 0;  // a TLS write that could not finish is repeated with this length
};
