// The image's CRC-16, one lookup in each byte table per byte.
#include "image/image_crc.h"

static_assert(CrcHighTable[0x01] == 0x10 && CrcLowTable[0x01] == 0x21);
static_assert(CrcHighTable[0x80] == 0x91 && CrcLowTable[0x80] == 0x88);
static_assert(CrcHighTable[0xFF] == 0x1E && CrcLowTable[0xFF] == 0xF0);

uint16_t ImageCrc16(const uint8_t* bytes, uint32_t from, uint32_t to) {
    // hi:lo is the running remainder; each byte shifts in at the bottom while the byte that
    // leaves at the top is folded back in through the tables.
    uint8_t hi = 0;
    uint8_t lo = 0;
    for (uint32_t p = from; p < to; ++p) {
        const uint8_t idx = hi;
        hi = CrcHighTable[idx] ^ lo;
        lo = CrcLowTable[idx] ^ bytes[p];
    }
    return static_cast<uint16_t>(hi << 8 | lo);
}
