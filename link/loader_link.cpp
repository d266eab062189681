// CLoaderLink: builds the boot loader's requests as frames, sends them over the port, reads
// and checks the replies.  Each command runs in the same visible stages: build the request,
// send it (with the read of the reply, in one exchange), check the reply.
#include "link/loader_link.h"

#include "framework/runtime.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace {

constexpr uint8_t kFrameStart = 0x2A;   // '*'
constexpr uint32_t kMinFrameBytes = 4;  // start, length, command letter, checksum

constexpr uint8_t kIdentifyCommand = 'I';
constexpr uint8_t kEraseCommand = 'D';
constexpr uint8_t kBaudRateCommand = 'B';
constexpr uint8_t kWriteBlockCommand = 'F';
constexpr uint8_t kKickStart[] = {0x23, 0x4C};  // "#L", no frame

constexpr int32_t kIdentifyMaxReplyBytes = 30;
constexpr int32_t kEraseReadTimeoutMs = 4000;
constexpr uint32_t kEraseReplyCapacityBytes = 32;  // an erase passes no maximum of its own
constexpr int32_t kKickStartReadTimeoutMs = 100;

constexpr int32_t kWriteBlockOverheadBytes = 11;  // 10 header bytes + checksum
constexpr int32_t kWriteBlockMaxDataBytes = 255 - kWriteBlockOverheadBytes;  // length byte
constexpr uint8_t kWriteBlockAddressCount = 0x01;
constexpr uint8_t kWriteBlockFiller = 0x00;
constexpr int32_t kWriteBlockReplyBytes = 4;

// The 'B' request's code for each rate the loader knows.
constexpr struct {
    int32_t rate;
    uint8_t code;
} kLoaderBaudCodes[] = {
    {1200, 4}, {2400, 5}, {4800, 6}, {9600, 7}, {19200, 8}, {38400, 9}, {57600, 10}, {115200, 11},
};

void PutAddress(uint8_t* at, uint32_t address) {
    at[0] = static_cast<uint8_t>(address >> 24);
    at[1] = static_cast<uint8_t>(address >> 16);
    at[2] = static_cast<uint8_t>(address >> 8);
    at[3] = static_cast<uint8_t>(address);
}

// Four reply bytes from `from` as a little-endian word.
uint32_t LittleEndianWord(const uint8_t* from) {
    return uint32_t{from[0]} | uint32_t{from[1]} << 8 | uint32_t{from[2]} << 16 |
           uint32_t{from[3]} << 24;
}

}  // namespace

CLoaderLink::CLoaderLink() = default;

CLoaderLink::~CLoaderLink() {
    m_serial.Close();
}

bool CLoaderLink::Open(const char* portName, int32_t baudRate) {
    const bool opened = m_serial.Open(portName, baudRate, m_readTimeout) == 1;
    if (m_trace != nullptr) {
        m_trace->OnOpen(portName, baudRate, opened);
    }
    return opened;
}

void CLoaderLink::Close() {
    if (m_trace != nullptr && m_serial.IsOpen()) {
        m_trace->OnClose();
    }
    m_serial.Close();
}

int CLoaderLink::ChangeBaudRate(int32_t baudRate) {
    const int changed = m_serial.SetBaudRate(baudRate);
    if (m_trace != nullptr) {
        m_trace->OnRateChange(baudRate, changed == 1);
    }
    return changed;
}

int CLoaderLink::Send(const uint8_t* bytes, int32_t count) {
    const int written = m_serial.Write(bytes, count);
    if (m_trace != nullptr && count > 0) {
        m_trace->OnSent(m_serial.BaudRate(), bytes, static_cast<uint32_t>(count));
    }
    return written;
}

uint32_t CLoaderLink::Receive(uint8_t* buffer, int32_t count) {
    uint32_t got = 0;
    m_serial.Read(buffer, count, &got);
    if (m_trace != nullptr && count > 0) {
        if (got > 0) {
            m_trace->OnReceived(m_serial.BaudRate(), buffer, got);
        }
        if (got < static_cast<uint32_t>(count)) {
            m_trace->OnReadShort(m_serial.BaudRate(), static_cast<uint32_t>(count), got);
        }
    }
    return got;
}

int CLoaderLink::Exchange(const uint8_t* request, int32_t requestLength, uint8_t* reply,
                          int32_t replyLength, uint32_t* received) {
    m_serial.Purge();  // stale input is never taken for this request's reply
    Send(request, requestLength);
    const uint32_t count = Receive(reply, replyLength);
    if (received != nullptr) {
        *received = count;
    }
    return replyLength <= 0 || count >= static_cast<uint32_t>(replyLength) ? 1 : 0;
}

int CLoaderLink::ExchangeFrame(const uint8_t* request, int32_t requestLength, uint8_t* reply,
                               uint32_t replyCapacity, uint32_t* received, int32_t maximum) {
    uint32_t dummy = 0;
    uint32_t& got = received != nullptr ? *received : dummy;
    got = 0;
    m_serial.Purge();
    Send(request, requestLength);
    if (replyCapacity < 2) {
        return 0;
    }

    // Start byte and length first: the length says how much more to read.
    uint32_t count = Receive(reply, 2);
    got = count;
    if (count < 2) {
        return 0;
    }
    const uint32_t length = reply[1];
    if (length < kMinFrameBytes) {
        return 0;
    }
    if (maximum != 0 && length > static_cast<uint32_t>(maximum)) {
        return 0;
    }
    if (length > replyCapacity) {
        return 0;  // never stored beyond the buffer
    }

    count = Receive(reply + 2, static_cast<int32_t>(length - 2));
    got = length;
    return count == length - 2 ? 1 : 0;
}

uint32_t CLoaderLink::Drain(uint8_t* buffer, int32_t count) {
    return Receive(buffer, count);
}

void CLoaderLink::FillChecksum(uint8_t* frame) {
    const uint32_t length = frame[1];
    if (length < 2) {
        return;  // no room for a checksum; our own requests are always longer
    }
    uint8_t sum = 0;
    for (uint32_t i = 0; i + 1 < length; ++i) {
        sum = static_cast<uint8_t>(sum + frame[i]);
    }
    frame[length - 1] = sum;
}

bool CLoaderLink::CheckChecksum(const uint8_t* frame, uint32_t available) {
    if (available < 2) {
        return false;
    }
    const uint32_t length = frame[1];
    if (length < kMinFrameBytes || length > available) {
        return false;  // not a frame, or one that reaches past what was read
    }
    uint8_t sum = 0;
    for (uint32_t i = 0; i + 1 < length; ++i) {
        sum = static_cast<uint8_t>(sum + frame[i]);
    }
    return sum == frame[length - 1];
}

bool CLoaderLink::Identify(uint32_t words[2], uint32_t* carried) {
    uint8_t request[4] = {kFrameStart, 4, kIdentifyCommand, 0};
    FillChecksum(request);

    uint8_t reply[kIdentifyMaxReplyBytes] = {};  // bytes the reply does not carry stay 0
    uint32_t received = 0;
    if (ExchangeFrame(request, sizeof request, reply, sizeof reply, &received,
                      kIdentifyMaxReplyBytes) != 1) {
        return false;
    }
    if (!CheckChecksum(reply, received)) {
        return false;
    }
    words[0] = LittleEndianWord(reply + 3);
    words[1] = LittleEndianWord(reply + 7);
    if (carried != nullptr) {
        *carried = std::min<uint32_t>(received > 3 ? received - 3 : 0, 8);
    }
    return true;
}

bool CLoaderLink::EraseSector(uint32_t address) {
    uint8_t request[8] = {kFrameStart, 8, kEraseCommand};
    PutAddress(request + 3, address);
    FillChecksum(request);

    // An erase takes seconds; the longer timeout is set before anything is sent.
    m_serial.SetReadTimeout(kEraseReadTimeoutMs);
    uint8_t reply[kEraseReplyCapacityBytes] = {};
    uint32_t received = 0;
    if (ExchangeFrame(request, sizeof request, reply, sizeof reply, &received, 0) != 1) {
        ShowMessage(nullptr, "Sector Erase Rec fail!", "Oops");
        return false;
    }
    if (!CheckChecksum(reply, received)) {
        ShowMessage(nullptr, "Verify fail!", "Oops");
        return false;
    }
    m_serial.SetReadTimeout(m_readTimeout);
    return true;
}

bool CLoaderLink::SetLoaderBaudRate(int32_t baudRate) {
    for (const auto& entry : kLoaderBaudCodes) {
        if (entry.rate == baudRate) {
            uint8_t request[5] = {kFrameStart, 5, kBaudRateCommand, entry.code};
            FillChecksum(request);
            Exchange(request, sizeof request, nullptr, 0, nullptr);  // the loader sends no reply
            return true;
        }
    }
    return false;  // a rate the loader does not know: nothing is sent
}

bool CLoaderLink::WriteBlock(uint32_t address, const uint8_t* data, int32_t length) {
    if (length < 0 || length > kWriteBlockMaxDataBytes || (length > 0 && data == nullptr)) {
        return false;  // the frame's one length byte could not describe it
    }
    uint8_t request[255];
    const int32_t frameLength = length + kWriteBlockOverheadBytes;
    request[0] = kFrameStart;
    request[1] = static_cast<uint8_t>(frameLength);
    request[2] = kWriteBlockCommand;
    PutAddress(request + 3, address);
    request[7] = kWriteBlockAddressCount;
    request[8] = static_cast<uint8_t>(length / 2);  // 16-bit words
    request[9] = kWriteBlockFiller;
    if (length > 0) {
        std::memcpy(request + 10, data, static_cast<size_t>(length));
    }
    FillChecksum(request);

    uint8_t reply[kWriteBlockReplyBytes] = {};
    uint32_t received = 0;
    if (Exchange(request, frameLength, reply, kWriteBlockReplyBytes, &received) != 1) {
        return false;
    }
    // The reply must be a whole frame of exactly the 4 bytes read: a length byte that
    // announces more or fewer is refused, as is a bad checksum.
    return CheckChecksum(reply, kWriteBlockReplyBytes);
}

int CLoaderLink::SendKickStart() {
    m_serial.SetReadTimeout(kKickStartReadTimeoutMs);
    Exchange(kKickStart, static_cast<int32_t>(std::size(kKickStart)), nullptr, 0, nullptr);
    return m_serial.SetReadTimeout(m_readTimeout);
}
