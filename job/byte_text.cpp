// The byte count text.
#include "job/byte_text.h"

#include <cstdio>

void FormatByteText(int32_t done, int32_t total, char* text, int size) {
    const uint32_t percent =
        total == 0 ? 0u : static_cast<uint32_t>(done) * 100u / static_cast<uint32_t>(total);
    std::snprintf(text, static_cast<size_t>(size), "%d of %d bytes (%d%c)", done, total,
                  static_cast<int>(percent), '%');
}
