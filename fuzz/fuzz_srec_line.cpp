// Fuzzes StoreSRecordLine with one NUL-terminated line under normal and raw placement.  The
// line sits in a heap buffer of exactly its size and the image is a global with redzones,
// so the address sanitizer catches any read past the line or write outside the image; the
// checks below catch a wrong result.
#include "image/app_image.h"
#include "image/srec_reader.h"

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

void StoreOnce(const char* line, uint32_t base, bool raw) {
    ClearImage();
    const int32_t last = StoreSRecordLine(line, AppImage, base, raw);
    Check(last >= 0 && last < static_cast<int32_t>(ImageSize));
    // A record stores at consecutive offsets ending at the one it returns: nothing above it.
    for (int32_t offset = last + 1;
         offset < static_cast<int32_t>(ImageSize) && offset <= last + 256; ++offset) {
        Check(AppImage[offset] == 0xFF);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto line = std::make_unique<char[]>(size + 1);
    std::memcpy(line.get(), data, size);
    line[size] = '\0';
    StoreOnce(line.get(), ImageBase, false);
    StoreOnce(line.get(), 0, true);
    StoreOnce(line.get(), 0xFFE080, true);
    return 0;
}
