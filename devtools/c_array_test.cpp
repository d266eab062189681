// The C array generator: the worked example byte for byte, line breaking, names, placement,
// the path split, and the failure messages with their owners.
#include "devtools/c_array.h"

#include "devtools/devtools_test_support.h"
#include "image/app_image.h"
#include "tests/support/message_capture.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const WindowHandle kOwner = reinterpret_cast<WindowHandle>(0x2468);

CapturedMessage Closing(const std::string& text) {
    return {nullptr, text, "Hi There"};
}
CapturedMessage Summary(const std::string& text) {
    return {kOwner, text, "Hi There"};
}

// The header the generator writes for `name` and the given array entries.
std::string ExpectedHeader(const std::string& output, const std::string& name,
                           const std::vector<uint8_t>& bytes) {
    std::string text = "// " + output + "\r\n//This file was created by a machine\r\n\r\n";
    text += "#define " + name + "_CODE_SIZE " + std::to_string(bytes.size()) + "\r\n\r\n";
    text +=
        "unsigned char const " + name + "_Code_Data[" + std::to_string(bytes.size()) + "] = {\r\n";
    for (size_t i = 0; i < bytes.size(); ++i) {
        char entry[8];
        std::snprintf(entry, sizeof entry, "0x%02X,", bytes[i]);
        text += entry;
        if (i % 16 == 15 || i + 1 == bytes.size()) {
            text += "\r\n";
        }
    }
    return text + "};\r\n";
}

class CArrayTest : public testing::Test {
protected:
    // Writes the input, converts it, and returns the header's content.
    std::string Convert(const std::string& inputName, const std::vector<std::string>& records,
                        uint32_t base, bool expectRead = true) {
        m_input = m_dir.Write(inputName, SRecordText(records));
        EXPECT_EQ(ConvertImageToCArray(m_input.c_str(), base, kOwner), expectRead);
        return TempDir::Read(SplitCArrayPath(m_input.c_str()).output);
    }

    TempDir m_dir;
    std::string m_input;
    MessageCapture m_messages;
};

TEST_F(CArrayTest, WorkedExampleByteForByte) {
    // The loader's path as the developers' machines have it.  On Windows that is a real
    // folder; on Linux the whole text is one file name in the current folder.
    const std::string input = "C:\\DV\\H8S\\LOADER\\RELEASE\\EXE\\TINY.A37";
    const std::string output = "C:\\DV\\H8S\\LOADER\\RELEASE\\EXE\\TINYCDATA.H";
    CurrentFolder here(m_dir.Path());
    std::error_code ec;
    if (fs::path folder = fs::path(input).parent_path(); !folder.empty()) {
        fs::create_directories(folder, ec);
    }
    m_dir.Write(input, SRecordText({SRecordLine(1, 0, {0x12, 0x34, 0xAB})}));

    EXPECT_TRUE(ConvertImageToCArray(input.c_str(), 0, kOwner));

    const std::string header = TempDir::Read(output);
    EXPECT_EQ(header,
              "// C:\\DV\\H8S\\LOADER\\RELEASE\\EXE\\TINYCDATA.H\r\n"
              "//This file was created by a machine\r\n"
              "\r\n"
              "#define TINY_CODE_SIZE 3\r\n"
              "\r\n"
              "unsigned char const TINY_Code_Data[3] = {\r\n"
              "0x12,0x34,0xAB,\r\n"
              "};\r\n");
    EXPECT_EQ(header.size(), 177u);
    EXPECT_EQ(m_messages.Messages(),
              (std::vector<CapturedMessage>{
                  Closing("Name:C:\\DV\\H8S\\LOADER\\RELEASE\\EXE\\TINY.A37\n"
                          "Drive:C:\n"
                          "Dir:\\DV\\H8S\\LOADER\\RELEASE\\EXE\\\n"
                          "FName:TINY\n"
                          "Ext:.A37\n"
                          "OutFName:C:\\DV\\H8S\\LOADER\\RELEASE\\EXE\\TINYCDATA.H"),
                  Summary("BSize:2 LBSize:32 MaxAddr:00000002\n")}));
    fs::remove(input, ec);
    fs::remove(output, ec);
}

TEST_F(CArrayTest, SixteenEntriesMakeOneLineSeventeenMakeTwo) {
    const auto sixteen = CountingBytes(16, 0xF8);
    EXPECT_EQ(Convert("A16.A37", {SRecordLine(1, 0, sixteen)}, 0),
              ExpectedHeader(m_dir.File("A16CDATA.H"), "A16", sixteen));

    const auto seventeen = CountingBytes(17, 0x80);
    const std::string header = Convert("A17.A37", {SRecordLine(2, 0, seventeen)}, 0);
    EXPECT_EQ(header, ExpectedHeader(m_dir.File("A17CDATA.H"), "A17", seventeen));
    EXPECT_NE(header.find("0x8F,\r\n0x90,\r\n};\r\n"), std::string::npos);
    EXPECT_EQ(m_messages.Texts().back(), "BSize:16 LBSize:32 MaxAddr:00000010\n");
}

TEST_F(CArrayTest, NamesKeepTheirCaseAndAllButTheLastDot) {
    const std::string lower = Convert("tiny.a37", {SRecordLine(1, 0, {1, 2})}, 0);
    EXPECT_EQ(SplitCArrayPath(m_input.c_str()).output, m_dir.File("tinyCDATA.H"));
    EXPECT_NE(lower.find("#define tiny_CODE_SIZE 2\r\n"), std::string::npos);
    EXPECT_NE(lower.find("unsigned char const tiny_Code_Data[2] = {"), std::string::npos);

    const std::string dotted = Convert("BOOT.V2.A37", {SRecordLine(1, 0, {1, 2})}, 0);
    EXPECT_TRUE(fs::exists(m_dir.File("BOOT.V2CDATA.H")));
    EXPECT_NE(dotted.find("#define BOOT.V2_CODE_SIZE 2\r\n"), std::string::npos);
    EXPECT_NE(dotted.find("BOOT.V2_Code_Data[2]"), std::string::npos);
}

TEST_F(CArrayTest, GapsAreFFAndBootUpBaseLandsAtIndexZero) {
    const std::string header = Convert(
        "BOOT.A37", {SRecordLine(2, 0xFFE080, {0x5A}), SRecordLine(2, 0xFFE082, {0xC3})}, 0xFFE080);
    EXPECT_EQ(header, ExpectedHeader(m_dir.File("BOOTCDATA.H"), "BOOT", {0x5A, 0xFF, 0xC3}));
    EXPECT_EQ(m_messages.Messages().back(), Summary("BSize:2 LBSize:32 MaxAddr:00FFE082\n"));
}

TEST_F(CArrayTest, OnlyByteAtTheBaseIsProblemWithFileAndNoOutput) {
    Convert("ONE.A37", {SRecordLine(1, 0, {0x42})}, 0, false);
    EXPECT_EQ(m_messages.Messages(),
              (std::vector<CapturedMessage>{{kOwner, "Problem with file", "ERROR"}}));
    EXPECT_FALSE(fs::exists(m_dir.File("ONECDATA.H")));
}

TEST_F(CArrayTest, MissingInputGivesReaderMessageThenProblemWithFile) {
    const std::string input = m_dir.File("GONE.A37");
    EXPECT_FALSE(ConvertImageToCArray(input.c_str(), 0, kOwner));
    EXPECT_EQ(m_messages.Messages(),
              (std::vector<CapturedMessage>{{nullptr, "Can't Open File", "Error"},
                                            {kOwner, "Problem with file", "ERROR"}}));
    EXPECT_FALSE(fs::exists(m_dir.File("GONECDATA.H")));
}

TEST_F(CArrayTest, OutputThatCantBeCreatedGivesCouldNotOpenThenSummary) {
    // A folder in the header's place can't be opened as a file.
    fs::create_directory(m_dir.File("BLOCKEDCDATA.H"));
    m_input = m_dir.Write("BLOCKED.A37", SRecordText({SRecordLine(1, 0, {1, 2, 3})}));
    EXPECT_TRUE(ConvertImageToCArray(m_input.c_str(), 0, kOwner));
    EXPECT_EQ(m_messages.Messages(),
              (std::vector<CapturedMessage>{
                  {nullptr, "Could not open file", m_dir.File("BLOCKEDCDATA.H")},
                  Summary("BSize:2 LBSize:32 MaxAddr:00000002\n")}));
}

TEST_F(CArrayTest, ExistingOutputIsReplaced) {
    m_dir.Write("OLDCDATA.H", std::string(5000, 'x'));
    EXPECT_EQ(Convert("OLD.A37", {SRecordLine(1, 0, {1, 2})}, 0),
              ExpectedHeader(m_dir.File("OLDCDATA.H"), "OLD", {1, 2}));
}

TEST(SplitCArrayPath, DriveFolderNameAndExtension) {
    struct Case {
        const char* path;
        const char* drive;
        const char* folder;
        const char* name;
        const char* extension;
        const char* output;
    };
    const Case cases[] = {
        {"C:\\DV\\H8S\\BOOTUP\\RELEASE\\EXE\\BOOT.A37", "C:", "\\DV\\H8S\\BOOTUP\\RELEASE\\EXE\\",
         "BOOT", ".A37", "C:\\DV\\H8S\\BOOTUP\\RELEASE\\EXE\\BOOTCDATA.H"},
        {"tiny.a37", "", "", "tiny", ".a37", "tinyCDATA.H"},
        {"/home/dev/fw/x.y.z", "", "/home/dev/fw/", "x.y", ".z", "/home/dev/fw/x.yCDATA.H"},
        {"C:/mixed\\seps/LOADER", "C:", "/mixed\\seps/", "LOADER", "",
         "C:/mixed\\seps/LOADERCDATA.H"},
        {"D:NOFOLDER.S", "D:", "", "NOFOLDER", ".S", "D:NOFOLDERCDATA.H"},
        {"rel.d\\noext", "", "rel.d\\", "noext", "", "rel.d\\noextCDATA.H"},
        {"C:\\DIR\\.A37", "C:", "\\DIR\\", "", ".A37", "C:\\DIR\\CDATA.H"},
        {"", "", "", "", "", "CDATA.H"},
    };
    for (const Case& c : cases) {
        const CArrayPaths parts = SplitCArrayPath(c.path);
        EXPECT_EQ(parts.drive, c.drive) << c.path;
        EXPECT_EQ(parts.folder, c.folder) << c.path;
        EXPECT_EQ(parts.name, c.name) << c.path;
        EXPECT_EQ(parts.extension, c.extension) << c.path;
        EXPECT_EQ(parts.output, c.output) << c.path;
    }
}

TEST(SplitCArrayPath, LongPathsAreKeptWhole) {
    const std::string folder = "C:\\" + std::string(300, 'f') + "\\";
    const std::string name = std::string(200, 'n');
    const CArrayPaths parts = SplitCArrayPath((folder + name + ".A37").c_str());
    EXPECT_EQ(parts.folder, folder.substr(2));
    EXPECT_EQ(parts.name, name);
    EXPECT_EQ(parts.output, folder + name + "CDATA.H");
}

}  // namespace
