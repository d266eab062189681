// The signing library interface, with the stand-in library and its two variants loaded from
// where the build put them.
#include "devtools/sign_library.h"
#include "tests/support/built_path.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kStart = 0x420000;
constexpr size_t kImageBytes = 0x40000;

std::vector<uint8_t> BlankImage() {
    return std::vector<uint8_t>(kImageBytes, 0xFF);
}

std::vector<uint8_t> Block(const std::vector<uint8_t>& image, size_t from, size_t to) {
    return std::vector<uint8_t>(image.begin() + from, image.begin() + to);
}

// Known SHA-256 digests.
const std::vector<uint8_t> kDigestOfAbc = {
    0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea, 0x41, 0x41, 0x40, 0xde, 0x5d, 0xae, 0x22, 0x23,
    0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17, 0x7a, 0x9c, 0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad};
const std::vector<uint8_t> kDigestOfNothing = {
    0xe3, 0xb0, 0xc4, 0x42, 0x98, 0xfc, 0x1c, 0x14, 0x9a, 0xfb, 0xf4, 0xc8, 0x99, 0x6f, 0xb9, 0x24,
    0x27, 0xae, 0x41, 0xe4, 0x64, 0x9b, 0x93, 0x4c, 0xa4, 0x95, 0x99, 0x1b, 0x78, 0x52, 0xb8, 0x55};

class StandInLibrary : public testing::Test {
protected:
    void SetUp() override {
        LibraryHandle library = LoadSignLibrary(BuiltPath(KESP_LIBRARY_PATH).c_str());
        ASSERT_NE(library, nullptr);
        m_signApp = FindSignEntry(library);
        ASSERT_NE(m_signApp, nullptr);
    }

    // Signs and returns the 32 digest bytes.
    std::vector<uint8_t> SignedDigest(std::vector<uint8_t>& image, uint32_t end) {
        m_signApp(image.data(), kStart, end);
        return Block(image, 0x10, 0x30);
    }

    SignAppFn m_signApp = nullptr;
};

TEST_F(StandInLibrary, WritesDigestOfApplicationBytesAndFillAndNothingElse) {
    auto image = BlankImage();
    std::memcpy(&image[0x100], "abc", 3);
    image[0x0F] = 0x11;
    image[0x40] = 0x22;
    const auto before = image;

    // end - start = 0x103: offsets 0x100..0x102 are hashed.
    EXPECT_EQ(SignedDigest(image, kStart + 0x103), kDigestOfAbc);
    EXPECT_EQ(Block(image, 0x30, 0x40), std::vector<uint8_t>(16, 0xA5));
    for (size_t i = 0; i < kImageBytes; ++i) {
        if (i < 0x10 || i >= 0x40) {
            ASSERT_EQ(image[i], before[i]) << "offset " << i;
        }
    }
}

TEST_F(StandInLibrary, ByteAtEndAddressIsNotCoveredButTheOneBeforeIs) {
    auto image = BlankImage();
    std::memcpy(&image[0x100], "abc", 3);
    image[0x103] = 0x00;  // the byte at the end address itself
    EXPECT_EQ(SignedDigest(image, kStart + 0x103), kDigestOfAbc);
    image[0x102] = 'd';
    EXPECT_NE(SignedDigest(image, kStart + 0x103), kDigestOfAbc);
}

TEST_F(StandInLibrary, LengthsOutsideTheImageAreClamped) {
    auto image = BlankImage();
    image[0x3FFFF] = 0x00;
    // Nothing to hash: end at the application's start, or below the start address.
    EXPECT_EQ(SignedDigest(image, kStart + 0x100), kDigestOfNothing);
    EXPECT_EQ(SignedDigest(image, kStart + 0x80), kDigestOfNothing);
    EXPECT_EQ(SignedDigest(image, kStart - 1), kDigestOfNothing);
    // Beyond the image: the hash stops at the image's end, as for exactly 0x40000.
    const auto whole = SignedDigest(image, kStart + 0x40000);
    EXPECT_NE(whole, kDigestOfNothing);
    EXPECT_EQ(SignedDigest(image, kStart + 0x50000), whole);
    EXPECT_EQ(SignedDigest(image, 0xFFFFFFFF), whole);
}

TEST(SignLibraryVariants, BlankVariantLeavesTheBlockBlank) {
    LibraryHandle library = LoadSignLibrary(BuiltPath(KESP_BLANK_LIBRARY_PATH).c_str());
    ASSERT_NE(library, nullptr);
    SignAppFn signApp = FindSignEntry(library);
    ASSERT_NE(signApp, nullptr);
    auto image = BlankImage();
    signApp(image.data(), kStart, kStart + 0x1000);
    EXPECT_EQ(image, BlankImage());
}

TEST(SignLibraryVariants, LibraryWithoutEntryLoadsButHasNoSignApp) {
    LibraryHandle library = LoadSignLibrary(BuiltPath(KESP_NOENTRY_LIBRARY_PATH).c_str());
    ASSERT_NE(library, nullptr);
    EXPECT_EQ(FindSignEntry(library), nullptr);
}

TEST(SignLibraryVariants, MissingLibraryGivesNoHandleAndNoEntry) {
    EXPECT_EQ(LoadSignLibrary(BuiltPath(KESP_LIBRARY_PATH).append(".missing").c_str()), nullptr);
    EXPECT_EQ(LoadSignLibrary(nullptr), nullptr);
    EXPECT_EQ(LoadSignLibrary(""), nullptr);
    EXPECT_EQ(FindSignEntry(nullptr), nullptr);
}

}  // namespace
