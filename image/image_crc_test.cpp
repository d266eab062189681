// Tests of the image CRC-16 against its check values and its relation to CRC-16/XMODEM.
#include "image/image_crc.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

uint16_t Crc(const std::string& text) {
    return ImageCrc16(reinterpret_cast<const uint8_t*>(text.data()), 0,
                      static_cast<uint32_t>(text.size()));
}

}  // namespace

TEST(ImageCrc16Test, CheckValues) {
    EXPECT_EQ(Crc("abc"), 0x1EE4);
    EXPECT_EQ(Crc("123456789"), 0xBEEF);
    EXPECT_EQ(Crc(""), 0x0000);
}

// No zero bits are appended: the first two bytes pass through unchanged, and two zero bytes
// appended give CRC-16/XMODEM (check value 0x31C3).
TEST(ImageCrc16Test, NotAugmented) {
    EXPECT_EQ(Crc("\xA5"), 0x00A5);
    EXPECT_EQ(Crc("\x12\x34"), 0x1234);
    EXPECT_EQ(Crc(std::string("123456789\0\0", 11)), 0x31C3);
}

TEST(ImageCrc16Test, RangeIsFromInclusiveToExclusive) {
    const std::string text = "xx123456789yy";
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    EXPECT_EQ(ImageCrc16(bytes, 2, 11), 0xBEEF);
    EXPECT_EQ(ImageCrc16(bytes, 5, 5), 0x0000);
    EXPECT_EQ(ImageCrc16(bytes, 11, 2), 0x0000);  // from above to: empty
}
