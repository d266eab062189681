// S-record lines for the tests of the reader, the developer tools and the load job: built with
// a correct count and checksum, written out independently of the reader under test.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Bytes of the address field for each record type.
inline int TestAddressBytes(char type) {
    switch (type) {
        case '2':
        case '8':
            return 3;
        case '3':
        case '7':
            return 4;
        default:
            return 2;
    }
}

// "S<type><count><address><data><checksum>" in upper-case hex, without a line end.
inline std::string MakeRecord(char type, uint32_t address, const std::vector<uint8_t>& data) {
    const int addressBytes = TestAddressBytes(type);
    std::vector<uint8_t> bytes;
    bytes.push_back(static_cast<uint8_t>(addressBytes + data.size() + 1));
    for (int i = addressBytes - 1; i >= 0; --i) {
        bytes.push_back(static_cast<uint8_t>(address >> (8 * i)));
    }
    bytes.insert(bytes.end(), data.begin(), data.end());
    unsigned sum = 0;
    for (uint8_t b : bytes) {
        sum += b;
    }
    bytes.push_back(static_cast<uint8_t>(~sum));
    std::string line = std::string("S") + type;
    for (uint8_t b : bytes) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02X", b);
        line += hex;
    }
    return line;
}

// n bytes first, first + 1, ... (mod 256).
inline std::vector<uint8_t> Bytes(size_t n, uint8_t first = 0x10) {
    std::vector<uint8_t> data(n);
    for (size_t i = 0; i < n; ++i) {
        data[i] = static_cast<uint8_t>(first + i);
    }
    return data;
}
