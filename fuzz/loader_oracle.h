// What the link's fuzz targets hold the host to, written from the loader protocol and not
// from the link's code: the requests the host must send, the replies it may accept, and the
// messages it shows.
#pragma once

#include "framework/runtime.h"
#include "tests/support/message_capture.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace loader_oracle {

using Bytes = std::vector<uint8_t>;

inline void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "fuzz check failed: %s\n", what);
        std::abort();
    }
}

inline uint8_t Sum(const uint8_t* bytes, size_t count) {
    uint8_t sum = 0;
    for (size_t i = 0; i < count; ++i) {
        sum = static_cast<uint8_t>(sum + bytes[i]);
    }
    return sum;
}

// A loader frame: 0x2A, length, letter, payload, additive checksum.
inline Bytes Frame(uint8_t letter, const Bytes& payload) {
    Bytes frame = {0x2A, static_cast<uint8_t>(payload.size() + 4), letter};
    frame.insert(frame.end(), payload.begin(), payload.end());
    frame.push_back(Sum(frame.data(), frame.size()));
    return frame;
}

inline Bytes BigEndian(uint32_t value) {
    return {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
}

inline Bytes IdentifyRequest() {
    return Frame('I', {});
}

inline Bytes EraseRequest(uint32_t address) {
    return Frame('D', BigEndian(address));
}

// Address, one address, the count of 16-bit words, a filler byte (its value is the host's
// choice: the caller passes the one that was sent), the data.
inline Bytes BlockRequest(uint32_t address, const uint8_t* data, size_t length, uint8_t filler) {
    Bytes payload = BigEndian(address);
    payload.push_back(0x01);
    payload.push_back(static_cast<uint8_t>(length / 2));
    payload.push_back(filler);
    payload.insert(payload.end(), data, data + length);
    return Frame('F', payload);
}

// The filler byte of a write-block request that was sent, 0 when it is too short to have one.
inline uint8_t FillerOf(const Bytes& request) {
    return request.size() > 9 ? request[9] : 0;
}

// A framed reply the host may take: every byte that its length byte announces arrived, that
// length is 4 to `maximum`, and the checksum is right.  `answered` is all that the reads
// handed out for the request.
inline bool IsWholeFrame(const Bytes& answered, uint32_t maximum) {
    return answered.size() >= 2 && answered[1] >= 4 && answered[1] <= maximum &&
           answered.size() == answered[1];
}
inline bool IsWellFormedFrame(const Bytes& answered, uint32_t maximum) {
    return IsWholeFrame(answered, maximum) &&
           Sum(answered.data(), answered.size() - 1) == answered.back();
}

constexpr uint32_t kIdentifyMaxReplyBytes = 30;
// The erase sets no maximum of its own; a reply longer than the link's buffer for it fails.
constexpr uint32_t kEraseReplyBufferBytes = 32;

// A write-block reply is read as exactly four bytes, and taken when they are a whole frame.
inline bool IsWellFormedBlockReply(const Bytes& answered) {
    return answered.size() == 4 && IsWellFormedFrame(answered, 4);
}

// The messages shown, captured through the runtime seam from the first call on.
using Message = CapturedMessage;

inline MessageCapture& Capture() {
    static MessageCapture capture;
    return capture;
}

inline std::vector<Message> Messages() {
    return Capture().Messages();
}

}  // namespace loader_oracle
