// The stand-in signing library: a component with the call and effect of the developers'
// signing library, for tests and demonstrations.  Its SignApp writes the signature block:
// offsets 0x10..0x2F get the SHA-256 of image offsets 0x100 up to (not including)
// end - start, offsets 0x30..0x3F get 0xA5.  Nothing else of the image changes.
//
// The hashed range is kept inside the image: when end - start is at most 0x100 (including an
// end below the start) nothing is hashed (the digest of no bytes); when it exceeds the 256 KiB
// image, the hash stops at the image's end.
//
// Built in several variants, chosen by a compile definition:
//   (none)           signs as above, __cdecl;
//   KESP_BLANK       has SignApp but leaves the block as it is;
//   KESP_NO_ENTRY    has no SignApp at all;
//   KESP_STDCALL     signs, __stdcall (32-bit x86), exported undecorated by a .def file;
//   KESP_CLOBBER     signs through the assembly entry of sign_app_clobber_x86.S, which is
//                    __stdcall and leaves ebx, esi, edi and ebp changed.
// KESP_EXPORT is defined by the build: __declspec(dllexport) on Windows, default visibility
// on Linux.
#include "devtools/stand_in/sha256.h"

#include <cstdint>
#include <cstring>

namespace {

constexpr uint32_t kImageBytes = 0x40000;
constexpr uint32_t kHashedFrom = 0x100;
constexpr uint32_t kDigestOffset = 0x10;
constexpr uint32_t kFillOffset = 0x30;
constexpr uint32_t kFillBytes = 0x10;
constexpr uint8_t kFillByte = 0xA5;

// Signs the image as described above; 1 when the block was written.
[[maybe_unused]] int SignImage(uint8_t* image, uint32_t start, uint32_t end) {
#if defined(KESP_BLANK)
    (void)image;
    (void)start;
    (void)end;
    return 1;
#else
    if (image == nullptr) {
        return 0;
    }
    // end - start as the signed distance the caller means; outside 0x100..0x40000 it is
    // clamped to the image.
    const int64_t length = static_cast<int64_t>(end) - static_cast<int64_t>(start);
    uint32_t hashedTo = kHashedFrom;
    if (length > kHashedFrom) {
        hashedTo = length > kImageBytes ? kImageBytes : static_cast<uint32_t>(length);
    }
    uint8_t digest[kSha256Size];
    if (!ComputeSha256(image + kHashedFrom, hashedTo - kHashedFrom, digest)) {
        return 0;  // no digest: the block stays as it was, and an unsigned image is refused
    }
    std::memcpy(image + kDigestOffset, digest, kSha256Size);
    std::memset(image + kFillOffset, kFillByte, kFillBytes);
    return 1;
#endif
}

}  // namespace

#if defined(KESP_NO_ENTRY)
// No entry at all.
#elif defined(KESP_STDCALL)
extern "C" int __stdcall SignApp(uint8_t* image, uint32_t start, uint32_t end) {
    return SignImage(image, start, end);
}
#elif defined(KESP_CLOBBER)
// Called by the assembly entry.
extern "C" int KespSignImage(uint8_t* image, uint32_t start, uint32_t end) {
    return SignImage(image, start, end);
}
#else
extern "C" KESP_EXPORT int SignApp(uint8_t* image, uint32_t start, uint32_t end) {
    return SignImage(image, start, end);
}
#endif
