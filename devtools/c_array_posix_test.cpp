// The C array generator where only Linux can test it: the header compiled by the host
// compiler, writes that fail after the header was created, and paths beyond 256 characters.
#include "devtools/c_array.h"

#include "devtools/devtools_test_support.h"
#include "devtools/output_file.h"
#include "image/app_image.h"
#include "tests/support/file_size_limit_posix.h"
#include "tests/support/message_capture.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const WindowHandle kOwner = reinterpret_cast<WindowHandle>(0x1357);

// A boot-up image with a gap: 0x1234 counting bytes at the base, a gap, and 40 more bytes.
std::vector<std::string> BootRecords(uint32_t base) {
    std::vector<std::string> records;
    for (uint32_t at = 0; at < 0x1234; at += 32) {
        records.push_back(SRecordLine(2, base + at, CountingBytes(std::min(32u, 0x1234 - at), at)));
    }
    records.push_back(SRecordLine(2, base + 0x1300, CountingBytes(40, 0x77)));
    return records;
}

TEST(CArrayPosix, HostCompilerBuildsTheHeaderIntoTheImageBytes) {
    TempDir dir;
    MessageCapture messages;
    const std::string input = dir.Write("boot.a37", SRecordText(BootRecords(0xFFE080)));
    ASSERT_TRUE(ConvertImageToCArray(input.c_str(), 0xFFE080, kOwner));
    const size_t n = 0x1300 + 40;
    const std::vector<uint8_t> expected(AppImage, AppImage + n);
    EXPECT_EQ(expected[0x1234], 0xFF);

    dir.Write(
        "main.cpp",
        "#include \"bootCDATA.H\"\n"
        "#include <cstdio>\n"
        "static_assert(sizeof boot_Code_Data == boot_CODE_SIZE, \"size\");\n"
        "int main(int, char** argv) {\n"
        "    std::FILE* f = std::fopen(argv[1], \"wb\");\n"
        "    return f && std::fwrite(boot_Code_Data, 1, boot_CODE_SIZE, f) == boot_CODE_SIZE &&\n"
        "           std::fclose(f) == 0 ? 0 : 1;\n"
        "}\n");
    const std::string log = dir.File("build.log");
    const std::string program = dir.File("array");
    const std::string build = std::string(HOST_CXX_COMPILER) + " -std=c++17 -Wall -Werror -o '" +
                              program + "' '" + dir.File("main.cpp") + "' >'" + log + "' 2>&1";
    ASSERT_EQ(std::system(build.c_str()), 0) << TempDir::Read(log);
    const std::string run = "'" + program + "' '" + dir.File("array.bin") + "'";
    ASSERT_EQ(std::system(run.c_str()), 0);
    const std::string bytes = TempDir::Read(dir.File("array.bin"));
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.end()), expected);
}

TEST(CArrayPosix, HeaderCutShortIsRemovedAndTheSummaryFollows) {
    TempDir dir;
    MessageCapture messages;
    const std::string input = dir.Write("big.a37", SRecordText(BootRecords(0)));
    {
        FileSizeLimit limit(4096);
        EXPECT_TRUE(ConvertImageToCArray(input.c_str(), 0, kOwner));
    }
    EXPECT_FALSE(fs::exists(dir.File("bigCDATA.H")));
    EXPECT_EQ(messages.Messages(),
              (std::vector<CapturedMessage>{
                  {nullptr, kWriteErrorText, kWriteErrorCaption},
                  {kOwner, "BSize:4903 LBSize:4928 MaxAddr:00001327\n", "Hi There"}}));
}

TEST(CArrayPosix, WriteErrorOnADeviceIsToldAndTheDeviceStays) {
    TempDir dir;
    MessageCapture messages;
    const std::string input = dir.Write("dev.a37", SRecordText({SRecordLine(1, 0, {1, 2, 3})}));
    fs::create_symlink("/dev/full", dir.File("devCDATA.H"));
    EXPECT_TRUE(ConvertImageToCArray(input.c_str(), 0, kOwner));
    ASSERT_EQ(messages.Messages().size(), 2u);
    EXPECT_EQ(messages.Texts()[0], kWriteErrorText);
    EXPECT_TRUE(fs::exists("/dev/full"));
}

TEST(CArrayPosix, PathLongerThan256CharactersIsUsedWhole) {
    TempDir dir;
    MessageCapture messages;
    const fs::path folder = MakeLongFolder(dir.Path());
    const std::string name(150, 'N');
    const std::string input = (folder / (name + ".A37")).string();
    dir.Write(input, SRecordText({SRecordLine(1, 0, {1, 2, 3})}));
    const std::string output = (folder / (name + "CDATA.H")).string();
    ASSERT_GT(output.size(), 500u);

    EXPECT_TRUE(ConvertImageToCArray(input.c_str(), 0, kOwner));
    const std::string header = TempDir::Read(output);
    EXPECT_EQ(header.substr(0, 3 + output.size() + 2), "// " + output + "\r\n");
    EXPECT_NE(header.find("#define " + name + "_CODE_SIZE 3\r\n"), std::string::npos);
    ASSERT_EQ(messages.Messages().size(), 2u);
    EXPECT_EQ(messages.Texts()[0], "Name:" + input + "\nDrive:\nDir:" + folder.string() +
                                       "/\nFName:" + name + "\nExt:.A37\nOutFName:" + output);
}

}  // namespace
