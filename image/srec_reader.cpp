// The S-record reader: splits an application file into lines chunk by chunk, checks each
// record and stores its data bytes in the image through the placement rule.
#include "image/srec_reader.h"

#include "framework/regular_file.h"
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

// What one line came to: the record type it carried, and what of it was dropped and why.
struct LineOutcome {
    char type = 0;  // '0'..'9' for a well-formed record, 0 for none
    bool dropped = false;
    SRecordDrop reason = SRecordDrop::Malformed;
    uint32_t outsideBytes = 0;  // data bytes of a well-formed record that no offset took
    int32_t lastOffset = 0;     // offset of the last byte stored, 0 when none
};

// Checks one record and stores its data bytes; see StoreSRecordLine.
void StoreRecord(const char* line, uint8_t* image, uint32_t base, bool raw, LineOutcome* out);

// Splits the input into lines.  The line buffer holds the longest valid record; a longer
// line can't be one and is dropped whole, never cut.  It also counts lines as an editor
// does, for the observer.
class CLineSplitter {
public:
    CLineSplitter(uint8_t* image, uint32_t base, bool raw, SRecordObserver* observer)
        : m_image(image), m_base(base), m_raw(raw), m_observer(observer) {}

    // Appends a run of line bytes to the line under construction.
    void Append(const unsigned char* bytes, size_t n) {
        if (n == 0) {
            return;
        }
        m_afterCr = false;
        if (m_length == 0 && !m_overlong) {
            m_startLine = m_editorLine;  // the line's first byte
        }
        if (m_overlong || n > kMaxSRecordLength - m_length) {
            m_overlong = true;
            return;
        }
        std::memcpy(m_line + m_length, bytes, n);
        m_length += n;
    }

    // A byte that is no line byte ends the line under construction; LF, CR and CR LF also
    // end an editor's line.
    void EndLine(unsigned char ending) {
        EndLine();
        if (ending == '\r' || (ending == '\n' && !m_afterCr)) {
            ++m_editorLine;
        }
        m_afterCr = ending == '\r';
    }

    // Hands on the line under construction, if any.
    void EndLine() {
        if (m_overlong) {
            Tell(LineOutcome{0, true, SRecordDrop::TooLong});
        } else if (m_length > 0) {
            m_line[m_length] = '\0';
            LineOutcome outcome;
            StoreRecord(m_line, m_image, m_base, m_raw, &outcome);
            if (outcome.lastOffset > m_highest) {
                m_highest = outcome.lastOffset;
            }
            Tell(outcome);
        }
        m_length = 0;
        m_overlong = false;
    }

    int32_t Highest() const { return m_highest; }

private:
    void Tell(const LineOutcome& outcome) {
        if (m_observer == nullptr) {
            return;
        }
        if (outcome.dropped) {
            m_observer->OnDropped(outcome.reason, m_startLine, 1);
            return;
        }
        m_observer->OnRecord(outcome.type, m_startLine);
        if (outcome.outsideBytes > 0) {
            m_observer->OnDropped(SRecordDrop::OutsideImage, m_startLine, outcome.outsideBytes);
        }
    }

    uint8_t* m_image;
    uint32_t m_base;
    bool m_raw;
    SRecordObserver* m_observer;
    char m_line[kMaxSRecordLength + 1];
    size_t m_length = 0;
    bool m_overlong = false;
    int32_t m_highest = 0;
    uint32_t m_startLine = 1;  // the editor's line where the line under construction began
    uint32_t m_editorLine = 1;
    bool m_afterCr = false;  // the last byte ended a line with CR: an LF now ends no other
};

}  // namespace

uint8_t HexPairToByte(const char* pair) {
    return static_cast<uint8_t>(kHexNibble[static_cast<unsigned char>(pair[0])] << 4 |
                                kHexNibble[static_cast<unsigned char>(pair[1])]);
}

namespace {

void StoreRecord(const char* line, uint8_t* image, uint32_t base, bool raw, LineOutcome* out) {
    auto malformed = [out] {
        out->dropped = true;
        out->reason = SRecordDrop::Malformed;
    };
    if (line[0] != 'S' || line[1] < '0' || line[1] > '9') {
        malformed();
        return;
    }
    // Only S1, S2 and S3 carry data; every other record stores nothing.
    const int addressBytes = AddressBytes(line[1]);
    if (addressBytes == 0) {
        out->type = line[1];
        return;
    }

    // The count covers address, data and checksum.  The line must hold every character the
    // count promises before any of them is looked at.
    const size_t length = std::strlen(line);
    uint32_t count;
    if (length < 4 || !ReadHexField(line + 2, 2, &count)) {
        malformed();
        return;
    }
    if (count < static_cast<uint32_t>(addressBytes) + 1 || length < 2 + 2 * count + 2) {
        malformed();
        return;
    }
    uint32_t address;
    if (!ReadHexField(line + 4, 2 * addressBytes, &address)) {
        malformed();
        return;
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
        out->dropped = true;
        out->reason = SRecordDrop::Checksum;
        return;
    }
    out->type = line[1];

    const uint32_t dataBytes = count - static_cast<uint32_t>(addressBytes) - 1;
    int32_t start;
    if (dataBytes == 0) {
        return;
    }
    if (!PlaceImageByte(address, 0, base, raw, &start)) {
        out->outsideBytes = dataBytes;  // in no window
        return;
    }
    // The window and the mask are chosen once per record: data byte k goes to offset
    // start + k.  Bytes whose offset falls outside the image are dropped one by one; the
    // others are stored.
    const int64_t first = std::max<int64_t>(0, -int64_t{start});
    const int64_t end = std::min<int64_t>(dataBytes, int64_t{ImageSize} - start);
    if (first >= end) {
        out->outsideBytes = dataBytes;
        return;
    }
    out->outsideBytes = dataBytes - static_cast<uint32_t>(end - first);
    std::memcpy(image + (start + first), bytes + addressBytes + first,
                static_cast<size_t>(end - first));
    out->lastOffset = static_cast<int32_t>(start + end - 1);
}

}  // namespace

int32_t StoreSRecordLine(const char* line, uint8_t* image, uint32_t base, bool raw) {
    LineOutcome outcome;
    StoreRecord(line, image, base, raw, &outcome);
    return outcome.lastOffset;
}

int32_t ReadSRecordFile(const char* path, uint8_t* image, uint32_t base, bool raw,
                        SRecordObserver* observer) {
    // Opened in binary: the text-mode end at Ctrl-Z is done here, the same on every platform,
    // and CR LF needs no translation since both bytes end a line.  Only a regular file: a
    // device or a FIFO would be read for ever, or the open itself would wait.
    std::FILE* file = OpenRegularFileToRead(path);
    if (file == nullptr) {
        ShowMessage(nullptr, "Can't Open File", "Error");
        return 0;
    }
    // A large stream buffer for this file (it outlives the stream): far fewer system calls
    // than with the runtime's default buffer.
    auto streamBuffer = std::make_unique<char[]>(kStreamBufferSize);
    std::setvbuf(file, streamBuffer.get(), _IOFBF, kStreamBufferSize);

    CLineSplitter splitter(image, base, raw, observer);
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
            splitter.EndLine(chunk[i]);
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
                   uint32_t* endAddress, SRecordObserver* observer) {
    ClearImage();
    const int32_t highest = ReadSRecordFile(path, AppImage, base, raw, observer);
    *highestOffset = highest;
    if (highest == 0) {
        return false;
    }
    *endAddress = base + static_cast<uint32_t>(highest);
    return true;
}
