// Stamping the image header (start address, end address, CRC-16) and the signature check.
#include "image/image_header.h"

#include "image/app_image.h"
#include "image/image_crc.h"

#include <algorithm>

bool StampImageHeader(uint32_t base, uint32_t end) {
    const uint32_t start = base + kApplicationOffset;
    AppImage[kStartAddressOffset + 0] = static_cast<uint8_t>(start >> 16);
    AppImage[kStartAddressOffset + 1] = static_cast<uint8_t>(start >> 8);
    AppImage[kStartAddressOffset + 2] = static_cast<uint8_t>(start);
    AppImage[kEndAddressOffset + 0] = static_cast<uint8_t>(end >> 16);
    AppImage[kEndAddressOffset + 1] = static_cast<uint8_t>(end >> 8);
    AppImage[kEndAddressOffset + 2] = static_cast<uint8_t>(end);

    // The CRC covers the application up to, not including, the byte at the end address.
    // An end address beyond the image (never one from a read) stops at the image's end.
    const uint32_t stop = std::min(end - base, ImageSize);
    const uint16_t crc = ImageCrc16(AppImage, kApplicationOffset, stop);
    AppImage[kImageCrcOffset + 0] = static_cast<uint8_t>(crc >> 8);
    AppImage[kImageCrcOffset + 1] = static_cast<uint8_t>(crc);
    return true;
}

bool IsImageSigned() {
    const uint8_t* block = AppImage + kSignatureBlockOffset;
    return std::any_of(block, block + kSignatureBlockSize, [](uint8_t b) { return b != 0xFF; });
}

namespace {

uint32_t HeaderField(uint32_t offset, int bytes) {
    uint32_t value = 0;
    for (int i = 0; i < bytes; ++i) {
        value = value << 8 | AppImage[offset + static_cast<uint32_t>(i)];
    }
    return value;
}

}  // namespace

StampedHeader ReadStampedHeader() {
    StampedHeader header;
    header.start = HeaderField(kStartAddressOffset, 3);
    header.end = HeaderField(kEndAddressOffset, 3);
    header.crc = static_cast<uint16_t>(HeaderField(kImageCrcOffset, 2));
    return header;
}
