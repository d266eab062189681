// The image's CRC-16: polynomial 0x1021, most significant bit first, initial remainder 0,
// no zero bits appended (so not CRC-16/XMODEM), driven by two byte tables.
#pragma once

#include <array>
#include <cstdint>

namespace crc_tables {

// Entry i of the standard table: the remainder of i * x^16 divided by x^16 + x^12 + x^5 + 1.
constexpr uint16_t CrcTableEntry(uint32_t i) {
    uint32_t remainder = i << 8;
    for (int bit = 0; bit < 8; ++bit) {
        remainder = (remainder & 0x8000) != 0 ? (remainder << 1) ^ 0x1021 : remainder << 1;
    }
    return static_cast<uint16_t>(remainder);
}

constexpr std::array<uint8_t, 256> MakeCrcByteTable(int shift) {
    std::array<uint8_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        table[i] = static_cast<uint8_t>(CrcTableEntry(i) >> shift);
    }
    return table;
}

}  // namespace crc_tables

// The high and the low byte of each table entry, computed at compile time.
inline constexpr std::array<uint8_t, 256> CrcHighTable = crc_tables::MakeCrcByteTable(8);
inline constexpr std::array<uint8_t, 256> CrcLowTable = crc_tables::MakeCrcByteTable(0);

// CRC over bytes[from] .. bytes[to - 1]; 0 for an empty range (from >= to).
uint16_t ImageCrc16(const uint8_t* bytes, uint32_t from, uint32_t to);
