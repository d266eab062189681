// The S-record export where only Linux can test it: the independent S-record tool reads the
// export back, writes that fail after the file was created, a file another program holds
// under its lock, and paths beyond 256 characters.
#include "devtools/srec_export.h"

#include "devtools/devtools_test_support.h"
#include "devtools/output_file.h"
#include "image/app_image.h"
#include "tests/support/file_size_limit_posix.h"
#include "tests/support/message_capture.h"
#include "tests/support/temp_dir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> PatternImage() {
    std::vector<uint8_t> image(ImageSize);
    for (size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<uint8_t>((i * 131) ^ (i >> 9));
    }
    return image;
}

TEST(ExportPosix, IndependentToolReadsTheImageBack) {
    TempDir dir;
    MessageCapture messages;
    const auto image = PatternImage();
    const std::string exported = dir.File("ROVOD.A37");
    const std::string binary = dir.File("image.bin");
    ExportImageSRecords(exported.c_str(), ImageBase, ImageBase + 0x12345, image.data());

    const std::string command = std::string(SREC_CAT_PROGRAM) + " '" + exported +
                                "' -offset -0x420000 -o '" + binary + "' -binary 2>'" +
                                dir.File("srec_cat.log") + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << TempDir::Read(dir.File("srec_cat.log"));
    const std::string bytes = TempDir::Read(binary);
    ASSERT_EQ(bytes.size(), 0x12350u);  // 0x1235 records of 16 bytes
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), image.begin(),
                           [](char a, uint8_t b) { return static_cast<uint8_t>(a) == b; }));
}

TEST(ExportPosix, WriteErrorOnADeviceIsToldAndTheDeviceStays) {
    MessageCapture messages;
    const auto image = PatternImage();
    // /dev/full opens, but every write to it fails.
    ExportImageSRecords("/dev/full", ImageBase, ImageBase + 0x1000, image.data());
    const auto texts = messages.Texts();
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_EQ(texts[1], "Start:4325376 (420000) Max:4329472 (421000)  Len:4096 Cnt:4096");
    EXPECT_EQ(messages.Messages()[2],
              (CapturedMessage{nullptr, kWriteErrorText, kWriteErrorCaption}));
    EXPECT_TRUE(fs::exists("/dev/full"));
}

TEST(ExportPosix, AFileAnotherProgramReadsUnderItsLockIsNeitherCutNorWritten) {
    TempDir dir;
    MessageCapture messages;
    const auto image = PatternImage();
    const std::string path = dir.Write("ROVOD.A37", "being read");
    const int reader = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    ASSERT_EQ(flock(reader, LOCK_SH | LOCK_NB), 0);
    ExportImageSRecords(path.c_str(), ImageBase, ImageBase + 0x100, image.data());
    close(reader);
    EXPECT_EQ(messages.Messages(),
              (std::vector<CapturedMessage>{{nullptr, "Can't Open File", "Error"}}));
    EXPECT_EQ(TempDir::Read(path), "being read");
}

TEST(ExportPosix, FileCutShortIsRemoved) {
    TempDir dir;
    MessageCapture messages;
    const auto image = PatternImage();
    const std::string exported = dir.File("ROVOD.A37");
    {
        FileSizeLimit limit(4096);
        ExportImageSRecords(exported.c_str(), ImageBase, ImageBase + 0x10000, image.data());
    }
    EXPECT_FALSE(fs::exists(exported));
    const auto texts = messages.Texts();
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_EQ(texts[2], kWriteErrorText);
}

TEST(ExportPosix, PathLongerThan256CharactersIsUsedWhole) {
    TempDir dir;
    MessageCapture messages;
    const fs::path folder = MakeLongFolder(dir.Path());
    const std::string exported = (folder / "ROVOD.A37").string();
    ASSERT_GT(exported.size(), 360u);
    const auto image = PatternImage();
    ExportImageSRecords(exported.c_str(), ImageBase, ImageBase + 0x20, image.data());
    EXPECT_EQ(TempDir::Read(exported).size(), 2u * 46);
    EXPECT_EQ(messages.Texts().size(), 2u);
}

}  // namespace
