// The connection as cpp-httplib's request processing sees it on a worker: reads come from
// what the door already holds of the request (the door hands over only a request that is all
// there), so a worker never waits for a client's bytes; an answer is gathered in the
// connection's output and sent as the socket takes it, and what it does not take at once the
// door sends later.  An event stream lives long on a thread of its own: its writes wait for
// the socket, each within the write time-out.
#pragma once

#include "station/door_connection.h"

#include <httplib.h>

#include <atomic>

class CDoorStream : public httplib::Stream {
public:
    // `streaming`: an event stream, whose writes are sent as they come.  `deferred` counts the
    // output bytes all connections leave for the door, bounded by `deferLimit`.
    CDoorStream(CDoorConnection& connection, bool streaming, int writeTimeoutMs,
                std::atomic<size_t>& deferred, size_t deferLimit);

    bool is_readable() const override;
    bool is_writable() const override;
    ssize_t read(char* data, size_t size) override;
    ssize_t write(const char* data, size_t size) override;
    void get_remote_ip_and_port(std::string& ip, int& port) const override;
    void get_local_ip_and_port(std::string& ip, int& port) const override;
    socket_t socket() const override;

    enum class Outcome {
        Keep,   // the answer is sent, or left for the door: the connection may go on
        Close,  // the request was not all there: send the answer, then close
        Broken  // a write failed or timed out: close at once
    };
    // After the answer: sends what the socket takes now and leaves the rest for the door
    // while the deferred bytes stay within their bound (else waits for the socket here).
    Outcome Finish();

private:
    // Sends the output, waiting for the socket up to the deadline.
    bool SendWaiting(CDoorConnection::Clock::time_point deadline);

    CDoorConnection& m_connection;
    const bool m_streaming;
    const int m_writeTimeoutMs;
    std::atomic<size_t>& m_deferred;
    const size_t m_deferLimit;
    CDoorConnection::Clock::time_point m_writeDeadline;
    size_t m_requestLeft;  // bytes of the request the worker may still read
    bool m_readFailed = false;
    bool m_writeFailed = false;
};
