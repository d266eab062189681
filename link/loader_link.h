// The host's side of the boot loader's packet protocol over one serial port: loader frames
// (0x2A, length, command letter, payload, additive checksum) and the loader's commands.
#pragma once

#include "link/link_trace.h"
#include "link/serial_port.h"

#include <cstdint>

class CLoaderLink {
public:
    CLoaderLink();
    virtual ~CLoaderLink();

    bool Open(const char* portName, int32_t baudRate);
    void Close();
    int ChangeBaudRate(int32_t baudRate);

    // Purge, send the request, read `replyLength` bytes.  1 when they all came.
    // With replyLength 0 it is a plain send and returns 1 at once.
    int Exchange(const uint8_t* request, int32_t requestLength, uint8_t* reply, int32_t replyLength,
                 uint32_t* received);
    // Purge, send, read a framed reply into reply[0 .. replyCapacity).  1 when a whole
    // frame came whose length is at least 4, at most `maximum` (0: no maximum of its own)
    // and at most replyCapacity.
    int ExchangeFrame(const uint8_t* request, int32_t requestLength, uint8_t* reply,
                      uint32_t replyCapacity, uint32_t* received, int32_t maximum);
    // Reads up to count bytes under the current timeouts; returns how many came.
    uint32_t Drain(uint8_t* buffer, int32_t count);

    static void FillChecksum(uint8_t* frame);
    // The frame's own length byte says how far the sum goes; false when that reaches past
    // the `available` bytes of the buffer.
    static bool CheckChecksum(const uint8_t* frame, uint32_t available);

    // Fills the two words from the reply's bytes 3 to 10 (bytes the reply does not carry are
    // 0); `carried`, when given, is how many of those eight bytes the reply did carry.
    bool Identify(uint32_t words[2], uint32_t* carried = nullptr);
    bool EraseSector(uint32_t address);
    bool SetLoaderBaudRate(int32_t baudRate);
    bool WriteBlock(uint32_t address, const uint8_t* data, int32_t length);
    int SendKickStart();

    // Everything that crosses the line from now on goes to the trace too (null: no trace).
    // The trace must outlive its use by this link.
    void SetTrace(CLinkTrace* trace) { m_trace = trace; }

    const int32_t m_readTimeout = 500;
    CSerialPort m_serial;

private:
    // The port's write and read, told to the trace when there is one.
    int Send(const uint8_t* bytes, int32_t count);
    uint32_t Receive(uint8_t* buffer, int32_t count);

    CLinkTrace* m_trace = nullptr;
};
