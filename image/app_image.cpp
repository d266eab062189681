// The one application image and the placement rule that maps an S-record's address field
// to offsets in it.
#include "image/app_image.h"

#include <cstring>

uint8_t AppImage[ImageSize];

void ClearImage() {
    std::memset(AppImage, 0xFF, sizeof AppImage);
}

bool PlaceImageByte(uint32_t address, uint32_t k, uint32_t base, bool raw, int32_t* offset) {
    // Offsets are computed in 32-bit arithmetic and read as signed, so an address below the
    // window or the base gives a negative offset; the caller keeps only 0..ImageSize-1.
    uint32_t value;
    if (raw) {
        value = address - base + k;
    } else {
        switch ((address >> 20) & 0xF) {
            case 0x4:  // 0x4xxxxx: bit 19 is dropped, 0x420000 is offset 0
                value = (address & 0x7FFFF) - 0x20000 + k;
                break;
            case 0x8:  // 0x8xxxxx: each 256 KiB stretch lands on the whole image
                value = (address & 0x3FFFF) + k;
                break;
            default:
                return false;
        }
    }
    *offset = static_cast<int32_t>(value);
    return true;
}
