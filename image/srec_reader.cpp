// The S-record reader: splits an application file into lines chunk by chunk, checks each
// record and stores its data bytes in the image through the placement rule.
#include "image/srec_reader.h"

#include "framework/runtime.h"
#include "image/app_image.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr size_t kChunkSize = 1024;
constexpr unsigned char kEndOfText = 0x1A;  // Ctrl-Z: text input ends here

// The value of one hexadecimal digit of either case, or -1 for any other character.
int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
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

// Splits the input into lines: bytes 0x20..0x7F build the line, any other byte ends it.
// The line buffer holds the longest valid record; a longer line can't be one and is
// dropped whole, never cut.
class CLineSplitter {
public:
    CLineSplitter(uint8_t* image, uint32_t base, bool raw)
        : m_image(image), m_base(base), m_raw(raw) {}

    void Feed(unsigned char byte) {
        if (byte >= 0x20 && byte <= 0x7F) {
            if (m_length < kMaxSRecordLength) {
                m_line[m_length++] = static_cast<char>(byte);
            } else {
                m_overlong = true;
            }
        } else {
            EndLine();
        }
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
    int m_length = 0;
    bool m_overlong = false;
    int32_t m_highest = 0;
};

}  // namespace

uint8_t HexPairToByte(const char* pair) {
    int high = HexDigitValue(pair[0]);
    int low = HexDigitValue(pair[1]);
    return static_cast<uint8_t>((high < 0 ? 0 : high) << 4 | (low < 0 ? 0 : low));
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

    // The count byte, address and data bytes and the checksum byte add up to 0xFF.
    unsigned sum = 0;
    for (uint32_t position = 2; position <= 2 + 2 * count; position += 2) {
        sum += HexPairToByte(line + position);
    }
    if ((sum & 0xFF) != 0xFF) {
        return 0;
    }

    const uint32_t dataBytes = count - static_cast<uint32_t>(addressBytes) - 1;
    int32_t offset;
    if (dataBytes == 0 || !PlaceImageByte(address, 0, base, raw, &offset)) {
        return 0;
    }
    // Bytes whose offset falls outside the image are dropped one by one.
    const char* data = line + 4 + 2 * addressBytes;
    int32_t last = 0;
    for (uint32_t k = 0; k < dataBytes; ++k) {
        PlaceImageByte(address, k, base, raw, &offset);
        if (offset >= 0 && offset < static_cast<int32_t>(ImageSize)) {
            image[offset] = HexPairToByte(data + 2 * k);
            last = offset;
        }
    }
    return last;
}

int32_t ReadSRecordFile(const char* path, uint8_t* image, uint32_t base, bool raw) {
    // Opened in binary: the text-mode end at Ctrl-Z is done here, the same on every platform,
    // and CR LF needs no translation since both bytes end a line.
    std::FILE* file = OpenFileUnshared(path, "rb");
    if (file == nullptr) {
        ShowMessage(nullptr, "Can't Open File", "Error");
        return 0;
    }

    CLineSplitter splitter(image, base, raw);
    unsigned char chunk[kChunkSize];
    bool ended = false;
    while (!ended) {
        size_t n = std::fread(chunk, 1, sizeof chunk, file);
        for (size_t i = 0; i < n; ++i) {
            if (chunk[i] == kEndOfText) {
                ended = true;
                break;
            }
            splitter.Feed(chunk[i]);
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
