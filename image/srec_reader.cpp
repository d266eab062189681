// The S-record reader: splits an application file into lines chunk by chunk, checks each
// record and stores its data bytes in the image through the placement rule.
#include "image/srec_reader.h"

#include "framework/runtime.h"
#include "image/app_image.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

constexpr size_t kChunkSize = 1024;
constexpr size_t kStreamBufferSize = 16 * 1024;
constexpr unsigned char kEndOfText = 0x1A;  // Ctrl-Z: text input ends here

// The value of each character as a hexadecimal digit of either case, -1 for any other.
constexpr std::array<int8_t, 256> kHexDigit = [] {
    std::array<int8_t, 256> table{};
    for (int c = 0; c < 256; ++c) {
        table[c] = c >= '0' && c <= '9'   ? static_cast<int8_t>(c - '0')
                   : c >= 'A' && c <= 'F' ? static_cast<int8_t>(c - 'A' + 10)
                   : c >= 'a' && c <= 'f' ? static_cast<int8_t>(c - 'a' + 10)
                                          : int8_t{-1};
    }
    return table;
}();

// The same as a nibble, where any other character counts as 0.
constexpr std::array<uint8_t, 256> kHexNibble = [] {
    std::array<uint8_t, 256> table{};
    for (int c = 0; c < 256; ++c) {
        table[c] = kHexDigit[c] < 0 ? 0 : static_cast<uint8_t>(kHexDigit[c]);
    }
    return table;
}();

int HexDigitValue(char c) {
    return kHexDigit[static_cast<unsigned char>(c)];
}

// Reads a field of exactly `digits` hexadecimal digits.  A field with any other character
// in it is malformed: the record is dropped rather than read from a partial number.
bool ReadHexField(const char* text, int digits, uint32_t* value) {
    uint32_t result = 0;
    for (int i = 0; i < digits; ++i) {
        int digit = HexDigitValue(text[i]);
        if (digit < 0) {
            return false;
        }
        result = result << 4 | static_cast<uint32_t>(digit);
    }
    *value = result;
    return true;
}

// Bytes of the address field for the data record types S1, S2, S3; 0 for any other type.
int AddressBytes(char type) {
    switch (type) {
        case '1':
            return 2;
        case '2':
            return 3;
        case '3':
            return 4;
        default:
            return 0;
    }
}

// A byte that belongs to a line; any other byte ends the line.
bool IsLineByte(unsigned char byte) {
    return byte >= 0x20 && byte <= 0x7F;
}

// Splits the input into lines.  The line buffer holds the longest valid record; a longer
// line can't be one and is dropped whole, never cut.
class CLineSplitter {
public:
    CLineSplitter(uint8_t* image, uint32_t base, bool raw)
        : m_image(image), m_base(base), m_raw(raw) {}

    // Appends a run of line bytes to the line under construction.
    void Append(const unsigned char* bytes, size_t n) {
        if (m_overlong || n > kMaxSRecordLength - m_length) {
            m_overlong = true;
            return;
        }
        std::memcpy(m_line + m_length, bytes, n);
        m_length += n;
    }

    // Hands on the line under construction, if any.
    void EndLine() {
        if (m_length > 0 && !m_overlong) {
            m_line[m_length] = '\0';
            int32_t stored = StoreSRecordLine(m_line, m_image, m_base, m_raw);
            if (stored > m_highest) {
                m_highest = stored;
            }
        }
        m_length = 0;
        m_overlong = false;
    }

    int32_t Highest() const { return m_highest; }

private:
    uint8_t* m_image;
    uint32_t m_base;
    bool m_raw;
    char m_line[kMaxSRecordLength + 1];
    size_t m_length = 0;
    bool m_overlong = false;
    int32_t m_highest = 0;
};

}  // namespace

uint8_t HexPairToByte(const char* pair) {
    return static_cast<uint8_t>(kHexNibble[static_cast<unsigned char>(pair[0])] << 4 |
                                kHexNibble[static_cast<unsigned char>(pair[1])]);
}

int32_t StoreSRecordLine(const char* line, uint8_t* image, uint32_t base, bool raw) {
    if (line[0] != 'S') {
        return 0;
    }
    // Only S1, S2 and S3 carry data; every other record stores nothing.
    const int addressBytes = AddressBytes(line[1]);
    if (addressBytes == 0) {
        return 0;
    }

    // The count covers address, data and checksum.  The line must hold every character the
    // count promises before any of them is looked at.
    const size_t length = std::strlen(line);
    uint32_t count;
    if (length < 4 || !ReadHexField(line + 2, 2, &count)) {
        return 0;
    }
    if (count < static_cast<uint32_t>(addressBytes) + 1 || length < 2 + 2 * count + 2) {
        return 0;
    }
    uint32_t address;
    if (!ReadHexField(line + 4, 2 * addressBytes, &address)) {
        return 0;
    }

    // The count byte, then the address, data and checksum bytes (as many as the count says),
    // add up to 0xFF.  They are decoded once, here.
    uint8_t bytes[255];
    unsigned sum = count;
    for (uint32_t i = 0; i < count; ++i) {
        bytes[i] = HexPairToByte(line + 4 + 2 * i);
        sum += bytes[i];
    }
    if ((sum & 0xFF) != 0xFF) {
        return 0;
    }

    const uint32_t dataBytes = count - static_cast<uint32_t>(addressBytes) - 1;
    int32_t start;
    if (dataBytes == 0 || !PlaceImageByte(address, 0, base, raw, &start)) {
        return 0;
    }
    // The window and the mask are chosen once per record: data byte k goes to offset
    // start + k.  Bytes whose offset falls outside the image are dropped one by one; the
    // others are stored.
    const int64_t first = std::max<int64_t>(0, -int64_t{start});
    const int64_t end = std::min<int64_t>(dataBytes, int64_t{ImageSize} - start);
    if (first >= end) {
        return 0;
    }
    std::memcpy(image + (start + first), bytes + addressBytes + first,
                static_cast<size_t>(end - first));
    return static_cast<int32_t>(start + end - 1);
}

int32_t ReadSRecordFile(const char* path, uint8_t* image, uint32_t base, bool raw) {
    // Opened in binary: the text-mode end at Ctrl-Z is done here, the same on every platform,
    // and CR LF needs no translation since both bytes end a line.
    std::FILE* file = OpenFileUnshared(path, "rb");
    if (file == nullptr) {
        ShowMessage(nullptr, "Can't Open File", "Error");
        return 0;
    }
    // A large stream buffer for this file (it outlives the stream): far fewer system calls
    // than with the runtime's default buffer.
    auto streamBuffer = std::make_unique<char[]>(kStreamBufferSize);
    std::setvbuf(file, streamBuffer.get(), _IOFBF, kStreamBufferSize);

    CLineSplitter splitter(image, base, raw);
    unsigned char chunk[kChunkSize];
    bool ended = false;
    while (!ended) {
        const size_t n = std::fread(chunk, 1, sizeof chunk, file);
        // Runs of line bytes go to the line; the line carries over into the next chunk.
        for (size_t i = 0; i < n; ++i) {
            const size_t runStart = i;
            while (i < n && IsLineByte(chunk[i])) {
                ++i;
            }
            splitter.Append(chunk + runStart, i - runStart);
            if (i == n) {
                break;
            }
            if (chunk[i] == kEndOfText) {
                ended = true;
                break;
            }
            splitter.EndLine();
        }
        if (n < sizeof chunk) {
            ended = true;
        }
    }
    // A failed read would leave part of the file unread: the image must not be used.
    const bool readFailed = std::ferror(file) != 0;
    std::fclose(file);
    if (readFailed) {
        ShowMessage(nullptr, "Can't Read File", "Error");
        return 0;
    }
    // The last line counts even when no line-end byte follows it.
    splitter.EndLine();
    return splitter.Highest();
}

bool ReadImageFile(const char* path, uint32_t base, bool raw, int32_t* highestOffset,
                   uint32_t* endAddress) {
    ClearImage();
    const int32_t highest = ReadSRecordFile(path, AppImage, base, raw);
    *highestOffset = highest;
    if (highest == 0) {
        return false;
    }
    *endAddress = base + static_cast<uint32_t>(highest);
    return true;
}
