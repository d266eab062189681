// What a load would make of an application file, for `velko-cli info` and the station's shelf:
// the stamped header, whether the image is signed, the records by type, and what the reader
// dropped and why, with the first line numbers of each.
#pragma once

#include "framework/runtime.h"
#include "image/srec_reader.h"

#include <nlohmann/json.hpp>

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

// Reads and stamps the file into AppImage as a load does (its status and messages go to
// `reportWindow`) and tells what came of it.
ImageInfo ReadImageInfo(const char* path, WindowHandle reportWindow, unsigned reportMessage);

// The JSON name of a reason: "checksum", "malformed", "too-long", "outside-image".
const char* DropReasonName(SRecordDrop reason);

// The info as one JSON object, and as lines of text.
nlohmann::ordered_json ImageInfoJson(const std::string& file, const ImageInfo& info);
std::vector<std::string> ImageInfoText(const std::string& file, const ImageInfo& info);
