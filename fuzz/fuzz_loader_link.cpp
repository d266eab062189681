// Fuzzes the loader link's framed exchanges one at a time, the fuzzer's bytes being the
// instrument's reply.  Byte 0 chooses the exchange (modulo 3): identify; erase, with the
// sector address in bytes 1-4; write block, with the address in bytes 1-4 and the data
// length in byte 5 (lengths the frame can't carry must be refused unsent).  The rest is what
// the line hands out.  One target for the three: they share one frame format, so a reply
// found for one is a seed for the others, and the bounded fuzz run keeps more time per target.
//
// On every input: the request on the line is exactly the command's frame, at most the one
// reply is read, the command succeeds exactly when that reply is well-formed, and only the
// erase shows a message, one, when it fails.
#include "framework/runtime.h"
#include "fuzz/loader_oracle.h"
#include "link/loader_link.h"
#include "link/serial_port_fuzz.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

using namespace loader_oracle;

namespace {

constexpr int32_t kReadTimeoutMs = 500;
constexpr int32_t kEraseReadTimeoutMs = 4000;

uint32_t BigEndianAt(const uint8_t* bytes) {
    return uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | bytes[3];
}

// The link's read timeout is seen only at the next write: a plain send shows it.
int32_t ReadTimeoutNow(CLoaderLink& link) {
    const uint8_t probe = 0;
    link.Exchange(&probe, 1, nullptr, 0, nullptr);
    return fuzz_line::Exchanges().back().readTimeoutMs;
}

void FuzzIdentify(CLoaderLink& link) {
    uint32_t words[2] = {0xA5A5A5A5, 0x5A5A5A5A};
    const bool ok = link.Identify(words);
    const auto& exchanges = fuzz_line::Exchanges();
    Check(exchanges.size() == 1 && exchanges[0].written == IdentifyRequest(),
          "identify sends its request once");
    const Bytes& reply = exchanges[0].answered;
    Check(ok == IsWellFormedFrame(reply, kIdentifyMaxReplyBytes),
          "identify takes exactly the well-formed replies of 4 to 30 bytes");
    if (ok) {
        // Reply bytes 3 to 10, little-endian words; bytes a short reply lacks are 0.
        std::array<uint8_t, 11> padded = {};
        std::copy_n(reply.begin(), std::min(reply.size(), padded.size()), padded.begin());
        for (int w = 0; w < 2; ++w) {
            const uint8_t* b = padded.data() + 3 + 4 * w;
            const uint32_t expected =
                uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
            Check(words[w] == expected, "identify's words are reply bytes 3 to 10");
        }
    }
    Check(Messages().empty(), "identify shows no message");
    Check(ReadTimeoutNow(link) == kReadTimeoutMs, "identify leaves the normal read timeout");
}

void FuzzErase(CLoaderLink& link, uint32_t address) {
    const bool ok = link.EraseSector(address);
    const auto& exchanges = fuzz_line::Exchanges();
    Check(exchanges.size() == 1 && exchanges[0].written == EraseRequest(address),
          "erase sends its request once");
    Check(exchanges[0].readTimeoutMs == kEraseReadTimeoutMs,
          "erase raises the read timeout before it sends");
    const Bytes& reply = exchanges[0].answered;
    Check(ok == IsWellFormedFrame(reply, kEraseReplyBufferBytes),
          "erase takes exactly the well-formed replies that fit its buffer");
    if (ok) {
        Check(Messages().empty(), "a good erase shows no message");
        Check(ReadTimeoutNow(link) == kReadTimeoutMs, "a good erase restores the read timeout");
        return;
    }
    // A whole frame with a wrong checksum is "Verify fail!"; anything less, the other box.
    const char* text =
        IsWholeFrame(reply, kEraseReplyBufferBytes) ? "Verify fail!" : "Sector Erase Rec fail!";
    Check(Messages() == std::vector<Message>{{nullptr, text, "Oops"}},
          "a failed erase shows its one box, without owner");
}

void FuzzWriteBlock(CLoaderLink& link, uint32_t address, int32_t length) {
    static const std::array<uint8_t, 256> data = [] {
        std::array<uint8_t, 256> bytes{};
        for (size_t i = 0; i < bytes.size(); ++i) {
            bytes[i] = static_cast<uint8_t>(i * 7 + 3);
        }
        return bytes;
    }();
    const bool ok = link.WriteBlock(address, data.data(), length);
    const auto& exchanges = fuzz_line::Exchanges();
    Check(Messages().empty(), "a block write shows no message");
    if (length + 11 > 255) {
        Check(!ok && exchanges.empty(), "a block the frame can't carry is refused unsent");
        return;
    }
    Check(exchanges.size() == 1, "a block write sends once");
    const Bytes& request = exchanges[0].written;
    Check(request ==
              BlockRequest(address, data.data(), static_cast<size_t>(length), FillerOf(request)),
          "a block write sends its frame");
    Check(exchanges[0].asked == std::vector<int32_t>{4}, "a block write reads four bytes");
    Check(ok == IsWellFormedBlockReply(exchanges[0].answered),
          "a block write takes exactly the well-formed 4-byte replies");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Capture();
    constexpr size_t kHeaderBytes = 6;  // selector, address, length; unused ones are ignored
    if (size < kHeaderBytes) {
        return 0;
    }
    const uint8_t selector = data[0] % 3;
    const uint32_t address = BigEndianAt(data + 1);
    const int32_t length = data[5];

    fuzz_line::Plug(data + kHeaderBytes, size - kHeaderBytes, 0);
    Capture().Clear();
    CLoaderLink link;
    Check(link.Open("COM1:", 19200), "the fuzz port opens");
    switch (selector) {
        case 0:
            FuzzIdentify(link);
            break;
        case 1:
            FuzzErase(link, address);
            break;
        default:
            FuzzWriteBlock(link, address, length);
            break;
    }
    return 0;
}
