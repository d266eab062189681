// The S-record reader: an application file of S1/S2/S3 records into AppImage.
#pragma once

#include <cstdint>

// Why the reader left something of a file out of the image.
enum class SRecordDrop {
    Checksum,      // a record whose checksum is wrong: the whole line
    Malformed,     // a line that is no record (no S, a field that is no number, cut short)
    TooLong,       // a line longer than the longest valid record
    OutsideImage,  // data bytes whose offset lies outside the image, or in no window
};

// Told what the reader does with each line, for a front end that shows it (the reader itself
// says nothing about dropped lines).  Line numbers count from 1 as an editor does: LF, CR and
// CR LF each end a line.
class SRecordObserver {
public:
    virtual ~SRecordObserver() = default;
    // A well-formed record of type '0'..'9'.  Records of the types that carry no data are
    // counted without a look at their checksum, as the reader takes them.
    virtual void OnRecord(char type, uint32_t line) = 0;
    // What was dropped: for OutsideImage `count` is the number of data bytes, else 1 line.
    virtual void OnDropped(SRecordDrop reason, uint32_t line, uint32_t count) = 0;
};

// Clears the image and reads the file into it.  On success (a byte stored at an offset above
// 0) sets *endAddress = base + highest offset.  *highestOffset is always set (0 on failure).
// Failures that the reader finds itself ("Can't Open File", a read error) are shown here;
// the caller tells the rest.
bool ReadImageFile(const char* path, uint32_t base, bool raw, int32_t* highestOffset,
                   uint32_t* endAddress, SRecordObserver* observer = nullptr);

// Reads the file in 1024-byte chunks, splits it into lines and stores each record.  Returns
// the highest offset stored, 0 when nothing was stored or the file could not be read.
int32_t ReadSRecordFile(const char* path, uint8_t* image, uint32_t base, bool raw,
                        SRecordObserver* observer = nullptr);

// Checks one record (NUL-terminated, without its line end) and stores its data bytes.
// Returns the offset of the last byte stored, 0 when the record stored nothing.
int32_t StoreSRecordLine(const char* line, uint8_t* image, uint32_t base, bool raw);

// Two hexadecimal characters to a byte; a character that is no hex digit counts as 0.
uint8_t HexPairToByte(const char* pair);

// The longest valid record: "S", type, then 255 bytes of count-covered data as hex pairs.
constexpr int kMaxSRecordLength = 4 + 2 * 255;
