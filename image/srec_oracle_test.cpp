// An independent oracle for the reader and the CRC: srec_cat writes random images as S1, S2
// and S3 records of varied lengths and layouts, and its own binary output of each file must
// equal the image that ReadImageFile makes of it.  Fixed seeds keep failures reproducible.
#include "image/app_image.h"
#include "image/image_crc.h"
#include "image/image_header.h"
#include "image/srec_reader.h"
#include "tests/support/message_capture.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Segment {
    uint32_t address;
    std::vector<uint8_t> data;
};

// One generated file: record type, placement, the segments and how the text is dressed.
struct OracleCase {
    char type = '2';
    bool raw = false;
    uint32_t base = ImageBase;
    std::string recordOption;  // -obs n or -line-length n
    std::vector<Segment> segments;
    bool crlf = false;
    bool lowerCase = false;
    bool descending = false;
    bool finalLineEnd = true;
};

std::string Hex(uint32_t value) {
    std::ostringstream text;
    text << "0x" << std::hex << value;
    return text.str();
}

// The device address of image offset 0 for the case's placement.
uint32_t WindowStart(const OracleCase& c) {
    return c.raw ? c.base : ImageBase;
}

OracleCase MakeCase(uint32_t seed) {
    std::mt19937 rng(seed);
    auto below = [&rng](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
    OracleCase c;
    c.type = "123"[seed % 3];
    switch (c.type) {
        case '1':  // 16-bit addresses are placed raw only
            c.raw = true;
            c.base = below(2) != 0 ? 0x800 : 0;
            break;
        case '2':
            c.raw = seed % 4 == 0;
            c.base = c.raw ? 0x100000 : ImageBase;
            break;
        default:
            c.raw = seed % 2 == 0;
            c.base = c.raw ? 0x7FFE0000 : ImageBase;
            break;
    }
    // Addresses from a little below the image to a little beyond it.
    const uint32_t first = c.type == '1' ? 0 : WindowStart(c) - 0x4000;
    const uint32_t span = c.type == '1' ? 0x10000 : ImageSize + 0x8000;

    const int maxData = c.type == '1' ? 252 : c.type == '2' ? 251 : 250;
    switch (below(4)) {
        case 0:
            c.recordOption = "-obs " + std::to_string(1 + below(64));
            break;
        case 1:
            c.recordOption = "-obs " + std::to_string(maxData);  // 514-character S3 lines
            break;
        case 2:
            c.recordOption = "-line-length " + std::to_string(20 + below(100));
            break;
        default:
            c.recordOption = "-obs 16";
            break;
    }

    if (seed % 7 == 0 && c.type != '1') {
        // The whole image and a little on both sides.
        c.segments.push_back({WindowStart(c) - 0x10, std::vector<uint8_t>(ImageSize + 0x20)});
    } else {
        const uint32_t count = 1 + below(8);
        while (c.segments.size() < count) {
            const uint32_t length = 1 + below(below(2) != 0 ? 0x40 : 0x6000);
            const uint32_t address = first + below(span - length);
            const bool overlaps =
                std::any_of(c.segments.begin(), c.segments.end(), [&](const Segment& s) {
                    return address < s.address + s.data.size() && s.address < address + length;
                });
            if (!overlaps) {
                c.segments.push_back({address, std::vector<uint8_t>(length)});
            }
        }
        if (!c.raw && below(2) != 0) {
            // Addresses that normal placement does not take: no window, and a part of the
            // 0x4xxxxx window beyond the image.
            c.segments.push_back({0x300000, std::vector<uint8_t>(40)});
            c.segments.push_back({0x4E8000, std::vector<uint8_t>(40)});
        }
    }
    for (Segment& s : c.segments) {
        std::generate(s.data.begin(), s.data.end(), [&rng] { return static_cast<uint8_t>(rng()); });
    }
    c.crlf = below(2) != 0;
    c.lowerCase = below(3) == 0;
    c.descending = below(3) == 0;
    c.finalLineEnd = below(4) != 0;
    return c;
}

class SrecOracleTest : public testing::TestWithParam<uint32_t> {
protected:
    // Runs a command in the case's folder; its output goes to a log shown on failure.
    bool Shell(const std::string& command) {
        const std::string log = m_dir.File("command.log");
        const std::string line =
            "cd '" + m_dir.Path().string() + "' && " + command + " >'" + log + "' 2>&1";
        if (std::system(line.c_str()) != 0) {
            ADD_FAILURE() << command << "\n" << TempDir::Read(log);
            return false;
        }
        return true;
    }

    // srec_cat writes the segments as S-records; the text is then dressed as the case says.
    std::string WriteRecords(const OracleCase& c) {
        std::string command = ORVANE_SREC_CAT;
        for (size_t i = 0; i < c.segments.size(); ++i) {
            const Segment& s = c.segments[i];
            const std::string name = "seg" + std::to_string(i) + ".bin";
            m_dir.Write(name, std::string(s.data.begin(), s.data.end()));
            command += " " + name + " -binary -offset " + Hex(s.address);
        }
        const int addressBytes = c.type - '0' + 1;
        command += " -o plain.a37 -motorola -address-length=" + std::to_string(addressBytes) + " " +
                   c.recordOption;
        if (!Shell(command)) {
            return {};
        }

        std::istringstream plain(TempDir::Read(m_dir.File("plain.a37")));
        std::vector<std::string> lines;
        for (std::string line; std::getline(plain, line);) {
            if (c.lowerCase) {
                std::transform(line.begin() + 1, line.end(), line.begin() + 1,
                               [](char ch) { return static_cast<char>(std::tolower(ch)); });
            }
            lines.push_back(line);
        }
        if (c.descending && lines.size() > 2) {
            // Keep the header record first and the termination records last.
            auto dataEnd = std::find_if(lines.begin() + 1, lines.end(), [&](const std::string& l) {
                return l.size() > 1 && l[1] != c.type;
            });
            std::reverse(lines.begin() + 1, dataEnd);
        }
        std::string text;
        for (size_t i = 0; i < lines.size(); ++i) {
            text += lines[i];
            if (i + 1 < lines.size() || c.finalLineEnd) {
                text += c.crlf ? "\r\n" : "\n";
            }
        }
        return m_dir.Write("app.a37", text);
    }

    TempDir m_dir;
};

TEST_P(SrecOracleTest, ImageEqualsSrecCatBinary) {
    const OracleCase c = MakeCase(GetParam());
    const std::string path = WriteRecords(c);
    ASSERT_FALSE(path.empty());
    SCOPED_TRACE(TempDir::Read(m_dir.File("plain.a37")).substr(0, 400));

    // srec_cat's image of the same file: the image window, gaps 0xFF, shifted to offset 0.
    const uint32_t lo = WindowStart(c);
    const uint32_t hi = lo + ImageSize;
    ASSERT_TRUE(Shell(std::string(ORVANE_SREC_CAT) + " -disable-sequence-warnings app.a37 -crop " +
                      Hex(lo) + " " + Hex(hi) + " -fill 0xFF " + Hex(lo) + " " + Hex(hi) +
                      (lo != 0 ? " -offset -" + Hex(lo) : "") + " -o img.bin -binary"));
    const std::string expected = TempDir::Read(m_dir.File("img.bin"));
    ASSERT_EQ(expected.size(), size_t{ImageSize});

    // The highest offset that any segment stores inside the image.
    int32_t expectedHighest = 0;
    for (const Segment& s : c.segments) {
        for (size_t k = 0; k < s.data.size(); ++k) {
            const int64_t offset = int64_t{s.address} + int64_t(k) - int64_t{lo};
            if (offset >= 0 && offset < int64_t{ImageSize}) {
                expectedHighest = std::max(expectedHighest, static_cast<int32_t>(offset));
            }
        }
    }

    MessageCapture messages;
    int32_t highest = -1;
    uint32_t end = 0;
    const bool ok = ReadImageFile(path.c_str(), c.base, c.raw, &highest, &end);
    EXPECT_TRUE(messages.Messages().empty());
    EXPECT_EQ(highest, expectedHighest);
    EXPECT_EQ(ok, expectedHighest != 0);
    const auto mismatch = std::mismatch(AppImage, AppImage + ImageSize,
                                        reinterpret_cast<const uint8_t*>(expected.data()));
    EXPECT_EQ(mismatch.first, AppImage + ImageSize)
        << "first difference at offset " << Hex(uint32_t(mismatch.first - AppImage));
    if (!ok || expectedHighest <= int32_t{kApplicationOffset}) {
        return;
    }
    EXPECT_EQ(end, c.base + static_cast<uint32_t>(highest));

    // The stamped CRC against srec_cat's CRC-16 of the same bytes, without augmentation.
    StampImageHeader(c.base, end);
    ASSERT_TRUE(Shell(std::string(ORVANE_SREC_CAT) + " img.bin -binary -crop 0x100 " +
                      Hex(uint32_t(highest)) + " -crc16-b-e 0x40000 -xmodem -no-augment" +
                      " -crop 0x40000 0x40002 -offset -0x40000 -o crc.bin -binary"));
    const std::string crc = TempDir::Read(m_dir.File("crc.bin"));
    ASSERT_EQ(crc.size(), 2u);
    EXPECT_EQ(AppImage[kImageCrcOffset], static_cast<uint8_t>(crc[0]));
    EXPECT_EQ(AppImage[kImageCrcOffset + 1], static_cast<uint8_t>(crc[1]));
}

INSTANTIATE_TEST_SUITE_P(Seeds, SrecOracleTest, testing::Range<uint32_t>(1, 41));

// The CRC of a large random block against srec_cat.
TEST(SrecOracleCrcTest, WholeApplicationCrcMatchesSrecCat) {
    TempDir dir;
    std::mt19937 rng(2024);
    std::string bytes(ImageSize - kApplicationOffset, '\0');
    std::generate(bytes.begin(), bytes.end(), [&rng] { return static_cast<char>(rng()); });
    const std::string path = dir.Write("app.bin", bytes);
    const std::string command = std::string(ORVANE_SREC_CAT) + " '" + path +
                                "' -binary -crc16-b-e 0x40000 -xmodem -no-augment -crop 0x40000 "
                                "0x40002 -offset -0x40000 -o '" +
                                dir.File("crc.bin") + "' -binary";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const std::string crc = TempDir::Read(dir.File("crc.bin"));
    ASSERT_EQ(crc.size(), 2u);
    const uint16_t expected =
        static_cast<uint16_t>(static_cast<uint8_t>(crc[0]) << 8 | static_cast<uint8_t>(crc[1]));
    EXPECT_EQ(ImageCrc16(reinterpret_cast<const uint8_t*>(bytes.data()), 0,
                         static_cast<uint32_t>(bytes.size())),
              expected);
}

}  // namespace
