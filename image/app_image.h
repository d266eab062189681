// The application image: one process-wide 256 KiB buffer standing for the instrument's
// application area 0x420000..0x45FFFF, its header layout, and the rule that places an
// S-record's bytes in it.
#pragma once

#include <cstdint>

constexpr uint32_t ImageBase = 0x420000;  // device address of offset 0 for a load job
constexpr uint32_t ImageSize = 0x40000;   // 256 KiB: four 64 KiB sectors

// Header fields (offsets into the image; multi-byte fields big-endian).
constexpr uint32_t kStartAddressOffset = 0x00;    // 3 bytes
constexpr uint32_t kEndAddressOffset = 0x03;      // 3 bytes
constexpr uint32_t kImageCrcOffset = 0x06;        // 2 bytes
constexpr uint32_t kSignatureBlockOffset = 0x10;  // 48 bytes
constexpr uint32_t kSignatureBlockSize = 48;
constexpr uint32_t kApplicationOffset = 0x100;  // the application proper begins here

// The one image.  Every user works on it in place.
extern uint8_t AppImage[ImageSize];

// Sets every byte of the image to 0xFF.
void ClearImage();

// The placement rule.  For data byte k of a record whose address field is `address`:
//  - raw placement: offset = address - base + k (32-bit arithmetic, may be negative);
//  - normal placement: bits 20..23 of the address choose a window (4: offset =
//    (address & 0x7FFFF) - 0x20000 + k; 8: offset = (address & 0x3FFFF) + k), any other
//    value stores nothing.
// Returns false when the record stores nothing; otherwise sets *offset, which may lie
// outside 0..ImageSize-1 (the caller drops such bytes).
bool PlaceImageByte(uint32_t address, uint32_t k, uint32_t base, bool raw, int32_t* offset);
