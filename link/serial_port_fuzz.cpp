// CSerialPort in the fuzz build: the same public API over the fuzz line (serial_port_fuzz.h)
// instead of a device.  It keeps the observable rules of a real port that the link relies
// on: a read returns what "arrived", fewer bytes than asked meaning the time ran out; a
// closed port writes nothing and reads nothing; an open closes a held port first.  Nothing
// here waits: a rate change costs no pause, a read no time.
//
// Every read also checks, under AddressSanitizer, that the whole buffer it was given
// belongs to the caller, so that a read asking for more than its buffer holds is found
// whatever the fuzzer's bytes and however few of them are left.
#include "link/serial_port_fuzz.h"

#include "link/serial_port.h"

#include <sanitizer/asan_interface.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

struct Line {
    const uint8_t* input = nullptr;
    size_t size = 0;
    size_t next = 0;  // the first byte no read has handed out yet
    uint32_t failingOpens = 0;
    int opens = 0;
    std::vector<fuzz_line::Exchange> exchanges;
};

Line& TheLine() {
    static Line line;
    return line;
}

// A read into a buffer smaller than its count: touching the first byte past the buffer makes
// AddressSanitizer report it, with the caller's stack.
void CheckCallersBuffer(const void* buffer, int32_t count) {
    const void* outside =
        __asan_region_is_poisoned(const_cast<void*>(buffer), static_cast<size_t>(count));
    if (outside != nullptr) {
        volatile const uint8_t* byte = static_cast<const uint8_t*>(outside);
        (void)*byte;
        std::abort();  // not reached under AddressSanitizer
    }
}

}  // namespace

namespace fuzz_line {

void Plug(const uint8_t* input, size_t size, uint32_t failingOpens) {
    Line& line = TheLine();
    line.input = input;
    line.size = size;
    line.next = 0;
    line.failingOpens = failingOpens;
    line.opens = 0;
    line.exchanges.clear();
}

const std::vector<Exchange>& Exchanges() {
    return TheLine().exchanges;
}

int Opens() {
    return TheLine().opens;
}

}  // namespace fuzz_line

CSerialPort::CSerialPort()
    : m_portName(nullptr), m_open(false), m_baudRate(0), m_readTimeoutMs(0) {}

bool CSerialPort::IsOpen() const {
    return m_open;
}

int CSerialPort::Open(const char* portName, int32_t baudRate, int32_t readTimeoutMs) {
    if (IsOpen()) {
        Close();
    }
    Line& line = TheLine();
    const int k = line.opens++;
    if (portName == nullptr || (k < 32 && (line.failingOpens >> k & 1) != 0)) {
        return 0;
    }
    m_open = true;
    m_portName = portName;
    m_baudRate = baudRate;
    m_readTimeoutMs = readTimeoutMs;
    return 1;
}

void CSerialPort::Close() {
    m_open = false;
}

int CSerialPort::SetBaudRate(int32_t baudRate) {
    if (!IsOpen()) {
        return 0;
    }
    m_baudRate = baudRate;
    return 1;
}

int CSerialPort::SetReadTimeout(int32_t constantMs) {
    if (!IsOpen()) {
        return 0;
    }
    m_readTimeoutMs = constantMs;
    return 1;
}

int CSerialPort::SetWriteTimeout(int32_t) {
    return IsOpen() ? 1 : 0;
}

int CSerialPort::Write(const uint8_t* bytes, int32_t count) {
    if (count == 0) {
        return 1;
    }
    if (count < 0 || bytes == nullptr || !IsOpen()) {
        return 0;
    }
    fuzz_line::Exchange exchange;
    exchange.written.assign(bytes, bytes + count);
    exchange.baudRate = m_baudRate;
    exchange.readTimeoutMs = m_readTimeoutMs;
    TheLine().exchanges.push_back(std::move(exchange));
    return 1;
}

int CSerialPort::Read(uint8_t* buffer, int32_t count, uint32_t* bytesRead) {
    uint32_t dummy = 0;
    uint32_t& got = bytesRead != nullptr ? *bytesRead : dummy;
    got = 0;
    if (count <= 0 || buffer == nullptr || !IsOpen()) {
        return 1;
    }
    CheckCallersBuffer(buffer, count);
    Line& line = TheLine();
    const size_t n = std::min(static_cast<size_t>(count), line.size - line.next);
    if (n > 0) {
        std::memcpy(buffer, line.input + line.next, n);
    }
    if (line.exchanges.empty()) {
        line.exchanges.emplace_back();
    }
    fuzz_line::Exchange& exchange = line.exchanges.back();
    exchange.answered.insert(exchange.answered.end(), line.input + line.next,
                             line.input + line.next + n);
    exchange.asked.push_back(count);
    line.next += n;
    got = static_cast<uint32_t>(n);
    return 1;
}

// The fuzzer's bytes are what the instrument sends once asked: no stale input to discard.
void CSerialPort::Purge() {}
