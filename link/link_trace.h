// A watcher of everything that crosses the line of one loader link: the bytes sent and
// received with the line rate they went at, and the opens, closes and rate changes, for a
// trace that a support case can read.  The link calls it only when one is set.
#pragma once

#include <cstdint>

class CLinkTrace {
public:
    virtual ~CLinkTrace() = default;

    // Bytes written to the line (sent) or read from it (received), at the port's rate.
    virtual void OnSent(int32_t baudRate, const uint8_t* bytes, uint32_t count) = 0;
    virtual void OnReceived(int32_t baudRate, const uint8_t* bytes, uint32_t count) = 0;
    // A read that ran out of time with fewer bytes than it asked for.
    virtual void OnReadShort(int32_t baudRate, uint32_t asked, uint32_t got) = 0;
    // The port opened (or failed to) at a rate, closed, or changed its rate.
    virtual void OnOpen(const char* portName, int32_t baudRate, bool opened) = 0;
    virtual void OnClose() = 0;
    virtual void OnRateChange(int32_t baudRate, bool changed) = 0;
};
