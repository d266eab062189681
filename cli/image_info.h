// What `velko-cli info` tells of an application file: the stamped header as a load would make
// it, whether the image is signed, the records by type, and what the reader dropped and why,
// with the first line numbers of each.
#pragma once

#include "image/srec_reader.h"

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct DroppedLines {
    SRecordDrop reason;
    uint32_t count = 0;           // lines; for OutsideImage, bytes
    std::vector<uint32_t> lines;  // the first few line numbers
};

struct ImageInfo {
    bool ok = false;                          // the file was read into an image
    uint32_t start = 0, end = 0, length = 0;  // the header's start and end; end - ImageBase
    uint16_t crc = 0;
    bool isSigned = false;
    std::map<char, uint32_t> records;   // type '0'..'9' -> well-formed records
    std::vector<DroppedLines> dropped;  // only reasons that occurred, in a fixed order
};

// Collects what the reader tells.
class CImageInfoCollector : public SRecordObserver {
public:
    static constexpr size_t kLinesShown = 5;

    void OnRecord(char type, uint32_t line) override;
    void OnDropped(SRecordDrop reason, uint32_t line, uint32_t count) override;

    std::map<char, uint32_t> Records() const { return m_records; }
    std::vector<DroppedLines> Dropped() const;

private:
    std::map<char, uint32_t> m_records;
    std::array<DroppedLines, 4> m_dropped{{{SRecordDrop::Checksum, 0, {}},
                                           {SRecordDrop::Malformed, 0, {}},
                                           {SRecordDrop::TooLong, 0, {}},
                                           {SRecordDrop::OutsideImage, 0, {}}}};
};

// The JSON name of a reason: "checksum", "malformed", "too-long", "outside-image".
const char* DropReasonName(SRecordDrop reason);

// The info as one JSON object, and as lines of text.
std::string ImageInfoJson(const std::string& file, const ImageInfo& info);
std::vector<std::string> ImageInfoText(const std::string& file, const ImageInfo& info);
