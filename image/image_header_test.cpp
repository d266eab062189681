// Tests of the header stamping and the signature check.
#include "image/image_header.h"

#include "image/app_image.h"
#include "image/image_crc.h"
#include "image/srec_reader.h"
#include "tests/support/srec_records.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

// An image with a recognisable application and a blank header area.
class StampImageHeaderTest : public testing::Test {
protected:
    void SetUp() override {
        ClearImage();
        for (uint32_t i = kApplicationOffset; i < 0x2000; ++i) {
            AppImage[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
        }
    }

    static uint16_t StampedCrc(uint32_t end) {
        StampImageHeader(ImageBase, end);
        return static_cast<uint16_t>(AppImage[kImageCrcOffset] << 8 |
                                     AppImage[kImageCrcOffset + 1]);
    }
};

std::vector<uint8_t> Header() {
    return std::vector<uint8_t>(AppImage, AppImage + 8);
}

}  // namespace

TEST_F(StampImageHeaderTest, StampsStartEndAndCrcOfTheApplication) {
    const uint16_t crc = ImageCrc16(AppImage, 0x100, 0x1000);
    ASSERT_NE(crc, 0);
    EXPECT_TRUE(StampImageHeader(ImageBase, ImageBase + 0x1000));
    EXPECT_EQ(Header(),
              (std::vector<uint8_t>{0x42, 0x01, 0x00, 0x42, 0x10, 0x00,
                                    static_cast<uint8_t>(crc >> 8), static_cast<uint8_t>(crc)}));
}

TEST_F(StampImageHeaderTest, CrcStopsShortOfTheEndAddress) {
    const uint32_t end = ImageBase + 0x1000;
    const uint16_t crc = StampedCrc(end);
    AppImage[0x1000] ^= 0xFF;  // the byte the end address names
    EXPECT_EQ(StampedCrc(end), crc);
    AppImage[0xFFF] ^= 0xFF;
    EXPECT_NE(StampedCrc(end), crc);
    AppImage[0xFFF] ^= 0xFF;
    AppImage[0x100] ^= 0xFF;
    EXPECT_NE(StampedCrc(end), crc);
}

TEST_F(StampImageHeaderTest, HeaderAreaIsNotCovered) {
    const uint32_t end = ImageBase + 0x1000;
    const uint16_t crc = StampedCrc(end);
    for (uint32_t i = 0; i < kApplicationOffset; ++i) {
        AppImage[i] = static_cast<uint8_t>(i);
    }
    EXPECT_EQ(StampedCrc(end), crc);
}

TEST_F(StampImageHeaderTest, ShortImagesGetCrcZero) {
    EXPECT_EQ(StampedCrc(ImageBase + 0x100), 0x0000);
    EXPECT_EQ(StampedCrc(ImageBase + 0x80), 0x0000);
    EXPECT_EQ(StampedCrc(ImageBase + 0x101), AppImage[0x100]);  // one byte passes through
}

// Bits above 23 are not stored; an end beyond the image never reads past it.
TEST_F(StampImageHeaderTest, OutOfRangeEndStaysInsideTheImage) {
    const uint16_t whole = ImageCrc16(AppImage, 0x100, ImageSize);
    EXPECT_EQ(StampedCrc(0x12345678), whole);  // end - base far past the image
    EXPECT_EQ(Header()[3], 0x34);
    EXPECT_EQ(Header()[5], 0x78);
    EXPECT_EQ(StampedCrc(ImageBase - 1), whole);  // end below base wraps around
    StampImageHeader(0x01FFE080, 0x01FFE180);
    EXPECT_EQ(Header()[0], 0xFF);
    EXPECT_EQ(Header()[2], 0x80);
}

// Read from a file that stores header bytes of its own: offsets 0 to 7 are replaced, the
// rest of the header area survives.
TEST(StampedFileTest, FileBytesAtOffsetsZeroToSevenReplacedRestSurvive) {
    TempDir dir;
    const std::string file = MakeRecord('2', 0x420000, Bytes(128, 0x00)) + "\n" +
                             MakeRecord('2', 0x420080, Bytes(128, 0x80)) + "\n" +
                             MakeRecord('2', 0x420100, Bytes(0x20, 0x30)) + "\n";
    int32_t highest = 0;
    uint32_t end = 0;
    ASSERT_TRUE(ReadImageFile(dir.Write("h.a37", file).c_str(), ImageBase, false, &highest, &end));
    ASSERT_EQ(end, 0x42011Fu);
    StampImageHeader(ImageBase, end);
    const uint16_t crc = ImageCrc16(Bytes(0x1F, 0x30).data(), 0, 0x1F);
    EXPECT_EQ(Header(),
              (std::vector<uint8_t>{0x42, 0x01, 0x00, 0x42, 0x01, 0x1F,
                                    static_cast<uint8_t>(crc >> 8), static_cast<uint8_t>(crc)}));
    for (uint32_t i = 8; i < 0x100; ++i) {
        ASSERT_EQ(AppImage[i], static_cast<uint8_t>(i)) << i;
    }
}

TEST(IsImageSignedTest, AnyByteOfTheBlockOtherThanFFSigns) {
    ClearImage();
    AppImage[0x0F] = 0x00;  // just outside the block
    AppImage[0x40] = 0x00;
    EXPECT_FALSE(IsImageSigned());
    for (uint32_t offset : {0x10u, 0x27u, 0x3Fu}) {
        AppImage[offset] = 0xFE;
        EXPECT_TRUE(IsImageSigned()) << offset;
        AppImage[offset] = 0xFF;
    }
    EXPECT_FALSE(IsImageSigned());
}
