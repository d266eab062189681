// The image's CRC-16: polynomial 0x1021, most significant bit first, initial remainder 0,
// no zero bits appended (so not CRC-16/XMODEM), table driven.
#pragma once

#include <cstdint>

extern const uint8_t CrcHighTable[256];
extern const uint8_t CrcLowTable[256];

// CRC over bytes[from] .. bytes[to - 1]; 0 for an empty range (from >= to).
uint16_t ImageCrc16(const uint8_t* bytes, uint32_t from, uint32_t to);
