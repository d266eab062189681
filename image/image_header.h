// Stamping the image header (start, end, CRC-16) and checking the signature block.
#pragma once

#include <cstdint>

// Writes offsets 0..7 of AppImage: start = base + 0x100, end, and the CRC of offsets 0x100 up
// to (not including) end - base, never past the image's end.  Always succeeds.
bool StampImageHeader(uint32_t base, uint32_t end);

// The header fields that StampImageHeader wrote, as the instrument will read them.
struct StampedHeader {
    uint32_t start = 0;
    uint32_t end = 0;
    uint16_t crc = 0;
};
StampedHeader ReadStampedHeader();

// True when at least one of the 48 signature bytes (offsets 0x10..0x3F) is not 0xFF.
bool IsImageSigned();
