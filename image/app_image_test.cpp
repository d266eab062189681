// Tests of the image buffer and the placement rule.
#include "image/app_image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

namespace {

// The offset of data byte k, or kNone when the record stores nothing.
constexpr int32_t kNone = std::numeric_limits<int32_t>::min();
int32_t Place(uint32_t address, uint32_t k, uint32_t base, bool raw) {
    int32_t offset = 0;
    return PlaceImageByte(address, k, base, raw, &offset) ? offset : kNone;
}

}  // namespace

TEST(AppImageTest, ClearImageFillsEveryByte) {
    std::fill(AppImage, AppImage + ImageSize, 0x00);
    ClearImage();
    EXPECT_TRUE(std::all_of(AppImage, AppImage + ImageSize, [](uint8_t b) { return b == 0xFF; }));
}

TEST(PlaceImageByteTest, WindowFourMapsTheImageRangeOneToOne) {
    EXPECT_EQ(Place(0x420000, 0, ImageBase, false), 0);
    EXPECT_EQ(Place(0x45FFFF, 0, ImageBase, false), 0x3FFFF);
    EXPECT_EQ(Place(0x420100, 15, ImageBase, false), 0x10F);
    // Bit 19 is dropped; bits 24 and above play no part.
    EXPECT_EQ(Place(0x4A0010, 0, ImageBase, false), 0x10);
    EXPECT_EQ(Place(0xFF420010, 0, ImageBase, false), 0x10);
    // The rest of the window lies outside the image.
    EXPECT_EQ(Place(0x400000, 0, ImageBase, false), -0x20000);
    EXPECT_EQ(Place(0x480000, 0, ImageBase, false), -0x20000);
    EXPECT_EQ(Place(0x460000, 0, ImageBase, false), 0x40000);
    EXPECT_EQ(Place(0x4FFFFF, 0, ImageBase, false), 0x5FFFF);
}

TEST(PlaceImageByteTest, WindowEightRepeatsEveryStretch) {
    EXPECT_EQ(Place(0x800000, 0, ImageBase, false), 0);
    EXPECT_EQ(Place(0x840000, 0, ImageBase, false), 0);
    EXPECT_EQ(Place(0x8C0123, 2, ImageBase, false), 0x125);
    // The stretch is chosen from the address alone: k carries on past its end.
    EXPECT_EQ(Place(0x83FFFF, 1, ImageBase, false), 0x40000);
}

TEST(PlaceImageByteTest, OtherWindowsStoreNothing) {
    for (uint32_t address :
         {0x000100u, 0x100000u, 0x300000u, 0x520000u, 0x7FFFFFu, 0x900000u, 0xF00000u}) {
        EXPECT_EQ(Place(address, 0, ImageBase, false), kNone) << std::hex << address;
    }
}

TEST(PlaceImageByteTest, RawSubtractsTheBaseIn32Bits) {
    EXPECT_EQ(Place(0xFFE080, 0, 0xFFE080, true), 0);
    EXPECT_EQ(Place(0x0010, 0, 0, true), 0x10);
    EXPECT_EQ(Place(0xFFE07F, 0, 0xFFE080, true), -1);
    EXPECT_EQ(Place(0x300000, 3, 0, true), 0x300003);  // no window rule
    EXPECT_EQ(Place(0xFFFFFFFF, 1, 0, true), 0);       // 32-bit arithmetic wraps
}
