// The S-record export: record lines, record counts, the "Scrotum" figures, the file's fate,
// and the export read back by the system's own reader.
#include "devtools/srec_export.h"

#include "devtools/devtools_test_support.h"
#include "image/app_image.h"
#include "image/srec_reader.h"
#include "tests/support/message_capture.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string Format(uint32_t address, const std::vector<uint8_t>& bytes) {
    char line[2 * 16 + 13];
    FormatS2Record(address, static_cast<int>(bytes.size()), bytes.data(), line);
    return line;
}

CapturedMessage Scrotum(const std::string& text) {
    return {nullptr, text, "Scrotum"};
}

std::vector<uint8_t> PatternImage() {
    std::vector<uint8_t> image(ImageSize);
    for (size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
    }
    return image;
}

// The export's lines, without their CR LF; fails the test on a line without one.
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find("\r\n", at);
        EXPECT_NE(end, std::string::npos) << "line without CR LF at " << at;
        if (end == std::string::npos) {
            break;
        }
        lines.push_back(text.substr(at, end - at));
        at = end + 2;
    }
    return lines;
}

TEST(FormatS2Record, WorkedExampleLines) {
    EXPECT_EQ(Format(0x420040, std::vector<uint8_t>(16, 0xFF)),
              "S214420040FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF79");
    EXPECT_EQ(Format(0x420100, CountingBytes(16)), "S214420100000102030405060708090A0B0C0D0E0F30");
}

TEST(FormatS2Record, ShorterRecordsCarryTheirCountAndAValidChecksum) {
    // The same record as the test inputs' independent builder makes.
    EXPECT_EQ(Format(0x123456, {0xAB}), SRecordLine(2, 0x123456, {0xAB}));
    EXPECT_EQ(Format(0x45FFF0, CountingBytes(5, 0xFC)),
              SRecordLine(2, 0x45FFF0, CountingBytes(5, 0xFC)));
    EXPECT_EQ(Format(0x000000, {}), "S204000000FB");
}

class ExportTest : public testing::Test {
protected:
    std::string Export(uint32_t start, uint32_t end) {
        ExportImageSRecords(m_path.c_str(), start, end, m_image.data());
        return TempDir::Read(m_path);
    }

    TempDir m_dir;
    std::string m_path = m_dir.File("ROVOD.A37");
    std::vector<uint8_t> m_image = PatternImage();
    MessageCapture m_messages;
};

TEST_F(ExportTest, WorkedExampleCountsAndFigures) {
    const std::string text = Export(0x420000, 0x43A5C1);
    const auto lines = Lines(text);
    ASSERT_EQ(lines.size(), 6749u);
    EXPECT_EQ(text.size(), 6749u * 46);
    EXPECT_EQ(m_messages.Messages(),
              (std::vector<CapturedMessage>{
                  Scrotum("Start:4325376 (420000) Max:4433345 (43A5C1)  Len:107969 Cnt:0"),
                  Scrotum("Start:4325376 (420000) Max:4433345 (43A5C1)  Len:107969 Cnt:107984")}));
    // Rising addresses from the start, 16 image bytes each; the last reaches past the end.
    for (size_t k : {size_t{0}, size_t{1}, size_t{4095}, size_t{6748}}) {
        std::vector<uint8_t> bytes(m_image.begin() + 16 * k, m_image.begin() + 16 * k + 16);
        EXPECT_EQ(lines[k], Format(static_cast<uint32_t>(0x420000 + 16 * k), bytes)) << k;
    }
    EXPECT_EQ(lines.back().substr(0, 10), "S21443A5C0");
}

TEST_F(ExportTest, RecordCountEdges) {
    struct Case {
        uint32_t end;
        size_t records;
        int count;
    };
    for (Case c : {Case{0x420001, 1, 16}, Case{0x420010, 1, 16}, Case{0x420011, 2, 32},
                   Case{0x420000, 0, 0}, Case{0x41FFFF, 0, 0}, Case{0x000000, 0, 0}}) {
        m_messages.Clear();
        const auto lines = Lines(Export(0x420000, c.end));
        ASSERT_EQ(lines.size(), c.records) << std::hex << c.end;
        const auto texts = m_messages.Texts();
        ASSERT_EQ(texts.size(), 2u);
        EXPECT_EQ(texts[1].substr(texts[1].find("Cnt:")), "Cnt:" + std::to_string(c.count));
    }
    // len 16 covers 0x420000..0x42000F; the byte at the end address 0x420010 stays out.
    m_messages.Clear();
    Lines(Export(0x420000, 0x420010));
    EXPECT_EQ(m_messages.Texts()[0], "Start:4325376 (420000) Max:4325392 (420010)  Len:16 Cnt:0");
    // A negative length is shown as such.
    m_messages.Clear();
    Export(0x420000, 0x41FFFF);
    EXPECT_EQ(m_messages.Texts()[1], "Start:4325376 (420000) Max:4325375 (41FFFF)  Len:-1 Cnt:0");
}

TEST_F(ExportTest, EndBeyondTheImageNeverReadsPastIt) {
    const auto lines = Lines(Export(0x420000, 0x480000));
    EXPECT_EQ(lines.size(), ImageSize / 16);
    EXPECT_EQ(m_messages.Texts()[1],
              "Start:4325376 (420000) Max:4718592 (480000)  Len:393216 Cnt:262144");
}

TEST_F(ExportTest, ExistingFileIsReplaced) {
    m_dir.Write("ROVOD.A37", std::string(100000, 'x'));
    EXPECT_EQ(Export(0x420000, 0x420020).size(), 2u * 46);
}

TEST_F(ExportTest, MissingFolderGivesCantOpenFileOnly) {
    m_path = m_dir.File("no-such-folder/ROVOD.A37");
    Export(0x420000, 0x420020);
    EXPECT_EQ(m_messages.Messages(),
              (std::vector<CapturedMessage>{{nullptr, "Can't Open File", "Error"}}));
}

TEST_F(ExportTest, ReaderTakesTheExportBackAsTheSameImage) {
    Export(ImageBase, ImageBase + 0x2345);
    int32_t highest = 0;
    uint32_t end = 0;
    ASSERT_TRUE(ReadImageFile(m_path.c_str(), ImageBase, false, &highest, &end));
    EXPECT_EQ(highest, 0x234F);  // 0x235 records of 16 bytes
    EXPECT_EQ(end, ImageBase + 0x234F);
    EXPECT_TRUE(std::equal(m_image.begin(), m_image.begin() + 0x2350, AppImage));
    EXPECT_EQ(AppImage[0x2350], 0xFF);
}

}  // namespace
