// The far end of the fuzz build's serial port: an instrument that answers anything.  The
// fuzzer's bytes are all the line ever carries towards the host; what the host writes is
// recorded, one exchange per write, with everything the reads handed out until the next
// write.  One line per process; every CSerialPort of the fuzz build hangs on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fuzz_line {

// One request and what came back for it.
struct Exchange {
    std::vector<uint8_t> written;  // the bytes of one Write
    int32_t baudRate = 0;          // the port's rate and read-timeout constant at that Write
    int32_t readTimeoutMs = 0;
    std::vector<uint8_t> answered;  // what the reads after it handed out, in order
    std::vector<int32_t> asked;     // the count each of those reads asked for
};

// Starts a new conversation.  Reads hand out input[0 .. size) in order, as many bytes as each
// asks for, fewer when the input runs out (as a read whose time ran out); the caller keeps
// the input alive.  Open number k (from 0) fails when bit k of failingOpens is set.
void Plug(const uint8_t* input, size_t size, uint32_t failingOpens);

// The exchanges since Plug, in order.  Reads before any write make an exchange with
// nothing written.
const std::vector<Exchange>& Exchanges();

// The number of Open calls since Plug.
int Opens();

}  // namespace fuzz_line
