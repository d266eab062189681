// The byte count text: done, total and a truncated percentage, never a division by zero, never
// past the buffer.
#include "job/byte_text.h"

#include "framework/text_buffer.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Format(int32_t done, int32_t total) {
    char text[kTextBufferSize];
    FormatByteText(done, total, text, sizeof text);
    return text;
}

}  // namespace

TEST(ByteText, FormatsDoneTotalAndTruncatedPercent) {
    EXPECT_EQ(Format(6400, 65536), "6400 of 65536 bytes (9%)");
    EXPECT_EQ(Format(65536, 65536), "65536 of 65536 bytes (100%)");
    EXPECT_EQ(Format(1024, 1000), "1024 of 1000 bytes (102%)");
    // The largest image: 0x40000 * 100 still fits in 32 bits.
    EXPECT_EQ(Format(0x40000, 0x40000), "262144 of 262144 bytes (100%)");
}

TEST(ByteText, TotalOfZeroShowsZeroPercent) {
    EXPECT_EQ(Format(64, 0), "64 of 0 bytes (0%)");
    EXPECT_EQ(Format(0, 0), "0 of 0 bytes (0%)");
}

TEST(ByteText, NeverRunsPastASmallBuffer) {
    char text[8];
    FormatByteText(6400, 65536, text, sizeof text);
    EXPECT_EQ(std::string(text), "6400 of");
}
