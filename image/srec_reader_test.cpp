// Tests of the S-record reader: hex pairs, single records, and whole files on disk.
#include "image/srec_reader.h"

#include "image/app_image.h"
#include "tests/support/message_capture.h"
#include "tests/support/srec_records.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>

namespace {

// Stores one line from a heap buffer of exactly its size, so that a read past its NUL is
// caught by the address sanitizer.
int32_t Store(const std::string& line, uint32_t base = ImageBase, bool raw = false) {
    auto buffer = std::make_unique<char[]>(line.size() + 1);
    std::memcpy(buffer.get(), line.c_str(), line.size() + 1);
    return StoreSRecordLine(buffer.get(), AppImage, base, raw);
}

// The first offset at which the image differs from `expected` on a cleared image; -1 if none.
int32_t FirstDifference(const std::map<int32_t, uint8_t>& expected) {
    for (int32_t offset = 0; offset < static_cast<int32_t>(ImageSize); ++offset) {
        auto it = expected.find(offset);
        uint8_t want = it == expected.end() ? 0xFF : it->second;
        if (AppImage[offset] != want) {
            return offset;
        }
    }
    return -1;
}

// The bytes of `data` at offsets from `offset` on.
std::map<int32_t, uint8_t> Stretch(int32_t offset, const std::vector<uint8_t>& data) {
    std::map<int32_t, uint8_t> bytes;
    for (size_t i = 0; i < data.size(); ++i) {
        bytes[offset + static_cast<int32_t>(i)] = data[i];
    }
    return bytes;
}

bool ImageIsClear() {
    return FirstDifference({}) < 0;
}

class StoreSRecordLineTest : public testing::Test {
protected:
    void SetUp() override { ClearImage(); }
};

}  // namespace

TEST(HexPairToByteTest, DigitsOfEitherCase) {
    EXPECT_EQ(HexPairToByte("0A"), 0x0A);
    EXPECT_EQ(HexPairToByte("fF"), 0xFF);
    EXPECT_EQ(HexPairToByte("9a"), 0x9A);
    EXPECT_EQ(HexPairToByte("70"), 0x70);
}

TEST(HexPairToByteTest, NonHexCharacterCountsAsZero) {
    EXPECT_EQ(HexPairToByte("1G"), 0x10);
    EXPECT_EQ(HexPairToByte("G1"), 0x01);
    EXPECT_EQ(HexPairToByte(" g"), 0x00);
    const char nuls[2] = {0, 0};
    EXPECT_EQ(HexPairToByte(nuls), 0x00);
}

TEST_F(StoreSRecordLineTest, RawS1AtBaseZeroStoresAtItsAddress) {
    EXPECT_EQ(Store(MakeRecord('1', 0x0000, Bytes(16)), 0, true), 15);
    EXPECT_EQ(FirstDifference(Stretch(0, Bytes(16))), -1);
}

TEST_F(StoreSRecordLineTest, NormalS2ReturnsOffsetOfLastByte) {
    EXPECT_EQ(Store(MakeRecord('2', 0x420100, Bytes(16))), 0x10F);
    EXPECT_EQ(FirstDifference(Stretch(0x100, Bytes(16))), -1);
}

TEST_F(StoreSRecordLineTest, S3AddressBitsAbove23PlayNoPart) {
    EXPECT_EQ(Store(MakeRecord('3', 0x7F420100, Bytes(4))), 0x103);
    EXPECT_EQ(FirstDifference(Stretch(0x100, Bytes(4))), -1);
}

TEST_F(StoreSRecordLineTest, LowerCaseHexInEveryField) {
    const std::vector<uint8_t> data = Bytes(22, 0xAB);  // count 0x1A
    const std::string line = MakeRecord('2', 0x42ABCD, data);
    std::string lower = line;
    std::transform(lower.begin() + 2, lower.end(), lower.begin() + 2,
                   [](char c) { return static_cast<char>(std::tolower(c)); });
    ASSERT_EQ(lower.substr(0, 10), "S21a42abcd");
    EXPECT_EQ(Store(lower), 0xABCD + 21);
    EXPECT_EQ(FirstDifference(Stretch(0xABCD, data)), -1);
}

TEST_F(StoreSRecordLineTest, WrongChecksumDropped) {
    std::string line = MakeRecord('2', 0x420000, Bytes(8));
    line.back() = line.back() == '0' ? '1' : '0';
    EXPECT_EQ(Store(line), 0);
    EXPECT_TRUE(ImageIsClear());
}

TEST_F(StoreSRecordLineTest, RecordsWithoutDataStoreNothingInEitherPlacement) {
    for (char type : {'0', '5', '7', '8', '9'}) {
        for (bool raw : {false, true}) {
            SCOPED_TRACE(std::string("S") + type + (raw ? " raw" : " normal"));
            EXPECT_EQ(Store(MakeRecord(type, 0x0010, Bytes(4)), 0, raw), 0);
            EXPECT_EQ(Store(MakeRecord(type, 0x420010, Bytes(4)), ImageBase, raw), 0);
        }
    }
    // Data records whose count leaves no data bytes.
    EXPECT_EQ(Store(MakeRecord('2', 0x420010, {})), 0);
    EXPECT_EQ(Store(MakeRecord('1', 0x0010, {}), 0, true), 0);
    EXPECT_TRUE(ImageIsClear());
}

TEST_F(StoreSRecordLineTest, NotStartingWithUpperCaseSDropped) {
    const std::string line = MakeRecord('2', 0x420000, Bytes(4));
    std::string lower = line;
    lower[0] = 's';
    EXPECT_EQ(Store(lower), 0);
    EXPECT_EQ(Store(" " + line), 0);
    EXPECT_EQ(Store(""), 0);
    EXPECT_EQ(Store("S"), 0);
    EXPECT_TRUE(ImageIsClear());
}

// A count below the address width plus one would give a data length just below 256 that
// the line does not hold.  The checksums here are correct, so only the count drops them.
TEST_F(StoreSRecordLineTest, CountSmallerThanAddressPlusChecksumDropped) {
    const std::string padding(520, '0');
    EXPECT_EQ(Store("S100FF" + padding, 0, true), 0);        // count 0
    EXPECT_EQ(Store("S10200FD" + padding, 0, true), 0);      // S1, count 2
    EXPECT_EQ(Store("S2030000FC" + padding), 0);             // S2, count 3
    EXPECT_EQ(Store("S304000000FB" + padding, 0, true), 0);  // S3, count 4
    EXPECT_TRUE(ImageIsClear());
}

// A zero digit replaced by a non-hex character leaves the checksum correct (the pair decodes
// to the same byte), so only the field check can drop these.
TEST_F(StoreSRecordLineTest, NonHexTypeCountOrAddressDropped) {
    const std::string good = MakeRecord('2', 0x420100, Bytes(13));  // count 0x11
    ASSERT_EQ(good.substr(0, 10), "S211420100");
    EXPECT_EQ(Store(good), 0x10C);
    ClearImage();

    std::string line = MakeRecord('1', 0x1000, Bytes(13));  // count 0x10
    ASSERT_EQ(line.substr(2, 2), "10");
    line[3] = 'G';
    EXPECT_EQ(Store(line, 0, true), 0);
    line[3] = ' ';
    EXPECT_EQ(Store(line, 0, true), 0);

    for (size_t position : {size_t{6}, size_t{8}, size_t{9}}) {  // address digits "0", "0", "0"
        for (char bad : {'G', ' ', '+', 'x'}) {
            line = good;
            line[position] = bad;
            EXPECT_EQ(Store(line), 0) << line;
        }
    }
    line = good;
    line[1] = 'X';
    EXPECT_EQ(Store(line), 0);
    EXPECT_TRUE(ImageIsClear());
}

TEST_F(StoreSRecordLineTest, LineShorterThanItsCountDropped) {
    const std::string good = MakeRecord('3', 0x420000, Bytes(20));
    for (size_t cut = 1; cut < good.size() - 2; ++cut) {
        EXPECT_EQ(Store(good.substr(0, good.size() - cut)), 0) << cut;
    }
    EXPECT_TRUE(ImageIsClear());
    // Characters after the checksum are not part of the record.
    EXPECT_EQ(Store(good + "XYZ"), 19);
}

// Offsets outside the image drop those bytes only; the rest of the record is stored and the
// dropped bytes never count as the highest offset.
TEST_F(StoreSRecordLineTest, BytesOutsideTheImageDroppedOneByOne) {
    EXPECT_EQ(Store(MakeRecord('2', 0x45FFF8, Bytes(16))), 0x3FFFF);  // runs past the end
    EXPECT_EQ(Store(MakeRecord('2', 0x41FFF8, Bytes(16, 0x80))), 7);  // starts below 0
    std::map<int32_t, uint8_t> expected = Stretch(0x3FFF8, Bytes(8));
    expected.merge(Stretch(0, Bytes(8, 0x88)));
    EXPECT_EQ(FirstDifference(expected), -1);
    ClearImage();

    // Consecutive offsets go on past a stretch of the 0x8xxxxx window; they do not wrap.
    EXPECT_EQ(Store(MakeRecord('2', 0x83FFFE, Bytes(4))), 0x3FFFF);
    EXPECT_EQ(FirstDifference(Stretch(0x3FFFE, Bytes(2))), -1);
    ClearImage();

    EXPECT_EQ(Store(MakeRecord('2', 0x460000, Bytes(16))), 0);  // wholly past the end
    EXPECT_EQ(Store(MakeRecord('2', 0x480000, Bytes(16))), 0);  // wholly below 0
    EXPECT_EQ(Store(MakeRecord('1', 0x0FF8, Bytes(8)), 0x1000, true), 0);
    EXPECT_EQ(Store(MakeRecord('3', 0x1003FFFF, Bytes(2)), 0x10000000, true), 0x3FFFF);
    EXPECT_EQ(Store(MakeRecord('3', 0xFFFFFFFF, Bytes(1)), 0, true), 0);  // offset -1
    EXPECT_EQ(FirstDifference({{0x3FFFF, 0x10}}), -1);
}

// ---- Whole files --------------------------------------------------------------------------

namespace {

class ReadImageFileTest : public testing::Test {
protected:
    void SetUp() override { std::memset(AppImage, 0x5A, ImageSize); }

    // Reads `content` from a file under normal placement.
    bool Read(const std::string& content, uint32_t base = ImageBase, bool raw = false) {
        m_end = 0xDEADBEEF;
        return ReadImageFile(m_dir.Write("app.a37", content).c_str(), base, raw, &m_highest,
                             &m_end);
    }

    TempDir m_dir;
    MessageCapture m_messages;
    int32_t m_highest = -1;
    uint32_t m_end = 0;
};

}  // namespace

TEST_F(ReadImageFileTest, OneRecordGivesHighestOffsetAndEndAddress) {
    ASSERT_TRUE(Read(MakeRecord('2', 0x420100, Bytes(16)) + "\r\n"));
    EXPECT_EQ(m_highest, 0x10F);
    EXPECT_EQ(m_end, 0x42010Fu);
    EXPECT_EQ(FirstDifference(Stretch(0x100, Bytes(16))), -1);  // everything else cleared
    EXPECT_TRUE(m_messages.Messages().empty());
}

TEST_F(ReadImageFileTest, EveryControlOrHighByteEndsALine) {
    std::string file;
    std::map<int32_t, uint8_t> expected;
    const std::string endings[] = {"\n",   "\r\n", "\r",   std::string("\0", 1), "\t",
                                   "\x80", "\xFF", "\x1F", "\r\n\r\n\n\n"};
    int32_t offset = 0x200;
    for (const std::string& end : endings) {
        file += MakeRecord('2', ImageBase + offset, Bytes(4, static_cast<uint8_t>(offset)));
        file += end;
        expected.merge(Stretch(offset, Bytes(4, static_cast<uint8_t>(offset))));
        offset += 0x10;
    }
    ASSERT_TRUE(Read(file));
    EXPECT_EQ(m_highest, offset - 0x10 + 3);
    EXPECT_EQ(FirstDifference(expected), -1);
}

TEST_F(ReadImageFileTest, BadLinesDroppedAndReadingGoesOn) {
    std::string bad = MakeRecord('2', 0x420000, Bytes(8, 0xEE));
    bad[bad.size() - 3] = bad[bad.size() - 3] == 'F' ? 'E' : 'F';  // one data digit off
    std::string file = "S00F000068656C6C6F202020202000003C\n" + bad + "\n" + "s" +
                       MakeRecord('2', 0x420000, Bytes(8, 0xEE)).substr(1) + "\n" + " " +
                       MakeRecord('2', 0x420000, Bytes(8, 0xEE)) + "\n" +
                       MakeRecord('2', 0x420100, Bytes(4)) + "\n" + "S804000000FB\n";
    ASSERT_TRUE(Read(file));
    EXPECT_EQ(m_highest, 0x103);
    EXPECT_EQ(FirstDifference(Stretch(0x100, Bytes(4))), -1);
}

TEST_F(ReadImageFileTest, FilesThatStoreNothingFail) {
    EXPECT_FALSE(Read(""));
    EXPECT_EQ(m_highest, 0);
    EXPECT_EQ(m_end, 0xDEADBEEF);  // not touched

    EXPECT_FALSE(Read("S00F000068656C6C6F202020202000003C\r\nS9030000FC\r\n"));
    EXPECT_FALSE(Read(MakeRecord('1', 0x0100, Bytes(4)) + "\n"));  // normal placement: none
    // The only stored byte at offset 0 looks like nothing stored.
    EXPECT_FALSE(Read(MakeRecord('2', 0x420000, {0x12}) + "\n"));
    EXPECT_EQ(AppImage[0], 0x12);
    EXPECT_TRUE(m_messages.Messages().empty());
}

TEST_F(ReadImageFileTest, MissingFileShowsCantOpenFileAndLeavesImageCleared) {
    m_end = 0xDEADBEEF;
    EXPECT_FALSE(
        ReadImageFile(m_dir.File("missing.a37").c_str(), ImageBase, false, &m_highest, &m_end));
    EXPECT_EQ(m_highest, 0);
    EXPECT_EQ(m_end, 0xDEADBEEF);
    EXPECT_EQ(m_messages.Messages(),
              (std::vector<CapturedMessage>{{nullptr, "Can't Open File", "Error"}}));
    EXPECT_TRUE(ImageIsClear());
}

TEST_F(ReadImageFileTest, LastLineWithoutLineEndIsStored) {
    ASSERT_TRUE(Read(MakeRecord('2', 0x420100, Bytes(2)) + "\n" +
                     MakeRecord('2', 0x420200, Bytes(2, 0x40))));
    EXPECT_EQ(m_highest, 0x201);
    EXPECT_EQ(AppImage[0x200], 0x40);
}

TEST_F(ReadImageFileTest, InputEndsAtCtrlZ) {
    std::string file = MakeRecord('2', 0x420100, Bytes(2)) + "\n" +
                       MakeRecord('2', 0x420200, Bytes(2, 0x40)) + "\x1A" + "\n" +
                       MakeRecord('2', 0x420300, Bytes(2, 0x50)) + "\n";
    ASSERT_TRUE(Read(file));
    EXPECT_EQ(m_highest, 0x201);  // the line just before Ctrl-Z still counts
    EXPECT_EQ(AppImage[0x300], 0xFF);

    // A Ctrl-Z in the middle of a record cuts it, and the rest is never looked at.
    std::string cut = MakeRecord('2', 0x420400, Bytes(2));
    ASSERT_TRUE(Read(MakeRecord('2', 0x420100, Bytes(2)) + "\n" + cut.substr(0, 6) + "\x1A" +
                     cut.substr(6) + "\n"));
    EXPECT_EQ(m_highest, 0x101);
}

// Files that fill the chunk buffer exactly; in the 2048-byte file a record straddles the
// chunk boundary.
TEST_F(ReadImageFileTest, FilesOfWholeChunksReadCompletelyAndOnce) {
    for (size_t size : {size_t{1024}, size_t{2048}}) {
        for (bool finalLineEnd : {true, false}) {
            SCOPED_TRACE(testing::Message()
                         << size << (finalLineEnd ? " with" : " without") << " final line end");
            const std::string last =
                MakeRecord('2', 0x423000, Bytes(4, 0x77)) + (finalLineEnd ? "\n" : "");
            std::string file;
            std::map<int32_t, uint8_t> expected = Stretch(0x3000, Bytes(4, 0x77));
            for (int32_t offset = 0x100;; offset += 0x10) {
                const std::vector<uint8_t> data = Bytes(16, static_cast<uint8_t>(offset));
                std::string record = MakeRecord('2', ImageBase + offset, data) + "\n";
                if (file.size() + record.size() + last.size() > size) {
                    break;
                }
                file += record;
                expected.merge(Stretch(offset, data));
            }
            file += std::string(size - file.size() - last.size(), '\r');
            file += last;
            ASSERT_EQ(file.size(), size);
            ASSERT_TRUE(size == 1024 || (file[1022] != '\n' && file[1024] != '\n'));

            ASSERT_TRUE(Read(file));
            EXPECT_EQ(m_highest, 0x3003);
            EXPECT_EQ(FirstDifference(expected), -1);
        }
    }
}

TEST_F(ReadImageFileTest, LongestRecordStoredLongerLineDropped) {
    const std::string longest = MakeRecord('3', 0x420000, Bytes(250));
    ASSERT_EQ(longest.size(), size_t{kMaxSRecordLength});
    // Put the record across the chunk boundary, then an overlong line, then a short one.
    std::string file = std::string(700, '\n') + longest + "\n" + longest + "Z\n" +
                       std::string(600, 'S') + MakeRecord('2', 0x421000, Bytes(1)) + "\n" +
                       MakeRecord('2', 0x420100, Bytes(1, 0xA5)) + "\n";
    ASSERT_TRUE(Read(file));
    EXPECT_EQ(m_highest, 0x100);
    std::map<int32_t, uint8_t> expected = Stretch(0, Bytes(250));
    expected[0x100] = 0xA5;
    EXPECT_EQ(FirstDifference(expected), -1);
}

TEST_F(ReadImageFileTest, LaterRecordForTheSameAddressWins) {
    ASSERT_TRUE(
        Read(MakeRecord('2', 0x420100, {1, 2, 3}) + "\n" + MakeRecord('2', 0x420101, {9}) + "\n"));
    EXPECT_EQ(FirstDifference({{0x100, 1}, {0x101, 9}, {0x102, 3}}), -1);
    EXPECT_EQ(m_highest, 0x102);
}

TEST_F(ReadImageFileTest, DescendingOrderGivesTheSameImageAndHighestOffset) {
    std::string ascending;
    std::string descending;
    for (uint32_t a = 0x420100; a < 0x420400; a += 0x20) {
        std::string record = MakeRecord('2', a, Bytes(32, uint8_t(a >> 4))) + "\n";
        ascending += record;
        descending = record + descending;
    }
    ASSERT_TRUE(Read(ascending));
    const int32_t ascendingHighest = m_highest;
    std::vector<uint8_t> ascendingImage(AppImage, AppImage + ImageSize);
    ASSERT_TRUE(Read(descending));
    EXPECT_EQ(m_highest, ascendingHighest);
    EXPECT_EQ(m_highest, 0x3FF);
    EXPECT_TRUE(std::equal(ascendingImage.begin(), ascendingImage.end(), AppImage));
}

TEST_F(ReadImageFileTest, RawPlacementWithItsOwnBase) {
    ASSERT_TRUE(Read(MakeRecord('3', 0xFFE080, Bytes(8)) + "\n" +
                         MakeRecord('3', 0xFFE000, Bytes(8)) + "\n",  // below the base
                     0xFFE080, true));
    EXPECT_EQ(m_highest, 7);
    EXPECT_EQ(m_end, 0xFFE087u);
    EXPECT_EQ(FirstDifference(Stretch(0, Bytes(8))), -1);
}

namespace {

// Every line outcome an observer is told, as text: "3 record 2", "5 checksum 1".
class ObserverLog : public SRecordObserver {
public:
    void OnRecord(char type, uint32_t line) override {
        events.push_back(std::to_string(line) + " record " + type);
    }
    void OnDropped(SRecordDrop reason, uint32_t line, uint32_t count) override {
        static const char* const kNames[] = {"checksum", "malformed", "too-long", "outside"};
        events.push_back(std::to_string(line) + " " + kNames[static_cast<int>(reason)] + " " +
                         std::to_string(count));
    }
    std::vector<std::string> events;
};

}  // namespace

TEST_F(ReadImageFileTest, ObserverIsToldEveryLineWithTheEditorsLineNumber) {
    std::string bad = MakeRecord('2', 0x420200, Bytes(4));
    bad.back() = bad.back() == '0' ? '1' : '0';
    // Lines end with LF, CR LF, CR and blank lines; a TAB splits one editor line in two
    // records; the too long line crosses a 1024-byte chunk, and its CR LF the next one.
    std::string file = "S00600004844521B\n" + MakeRecord('2', 0x420100, Bytes(4)) + "\r\n\r\n" +
                       bad + "\r" + "S214" + "\n" + MakeRecord('2', 0x420300, Bytes(2)) + "\t" +
                       MakeRecord('2', 0x45FFFE, Bytes(4)) + "\n";
    file += std::string(2047 - file.size(), 'S') + "\r\n";  // CR is byte 2047, LF byte 2048
    file += MakeRecord('1', 0x0100, Bytes(3)) + "\n" + "S9030000FC";

    ASSERT_TRUE(Read(file));
    const std::vector<uint8_t> without(AppImage, AppImage + ImageSize);

    ObserverLog log;
    int32_t highest = 0;
    uint32_t end = 0;
    ASSERT_TRUE(ReadImageFile(m_dir.Write("observed.a37", file).c_str(), ImageBase, false, &highest,
                              &end, &log));
    EXPECT_EQ(log.events,
              (std::vector<std::string>{"1 record 0", "2 record 2", "4 checksum 1", "5 malformed 1",
                                        "6 record 2", "6 record 2", "6 outside 2", "7 too-long 1",
                                        "8 record 1", "8 outside 3", "9 record 9"}));
    // Watching changes nothing of what is read.
    EXPECT_EQ(highest, m_highest);
    EXPECT_TRUE(std::equal(without.begin(), without.end(), AppImage));
}
