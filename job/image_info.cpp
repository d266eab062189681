// What a load makes of a file, gathered from the reader and the stamped header.
#include "job/image_info.h"

#include "image/app_image.h"
#include "image/image_header.h"
#include "job/load_job.h"

#include <cstdio>

ImageInfo ReadImageInfo(const char* path, WindowHandle reportWindow, unsigned reportMessage) {
    CImageInfoCollector collector;
    ImageInfo info;
    uint32_t endAddress = 0;
    info.ok = ReadAndStampImage(path, reportWindow, reportMessage, &endAddress, &collector);
    if (info.ok) {
        const StampedHeader header = ReadStampedHeader();
        info.start = header.start;
        info.end = header.end;
        info.length = endAddress - ImageBase;
        info.crc = header.crc;
        info.isSigned = IsImageSigned();
    }
    info.records = collector.Records();
    info.dropped = collector.Dropped();
    return info;
}

void CImageInfoCollector::OnRecord(char type, uint32_t) {
    ++m_records[type];
}

void CImageInfoCollector::OnDropped(SRecordDrop reason, uint32_t line, uint32_t count) {
    DroppedLines& entry = m_dropped[static_cast<size_t>(reason)];
    entry.count += count;
    if (entry.lines.size() < kLinesShown && (entry.lines.empty() || entry.lines.back() != line)) {
        entry.lines.push_back(line);
    }
}

std::vector<DroppedLines> CImageInfoCollector::Dropped() const {
    std::vector<DroppedLines> dropped;
    for (const DroppedLines& entry : m_dropped) {
        if (entry.count > 0) {
            dropped.push_back(entry);
        }
    }
    return dropped;
}

const char* DropReasonName(SRecordDrop reason) {
    switch (reason) {
        case SRecordDrop::Checksum:
            return "checksum";
        case SRecordDrop::Malformed:
            return "malformed";
        case SRecordDrop::TooLong:
            return "too-long";
        case SRecordDrop::OutsideImage:
            return "outside-image";
    }
    return "";
}

nlohmann::ordered_json ImageInfoJson(const std::string& file, const ImageInfo& info) {
    using Json = nlohmann::ordered_json;
    Json records = Json::object();
    for (const auto& [type, count] : info.records) {
        records[std::string("S") + type] = count;
    }
    Json dropped = Json::array();
    for (const DroppedLines& entry : info.dropped) {
        dropped.push_back(Json{{"reason", DropReasonName(entry.reason)},
                               {"count", entry.count},
                               {"lines", entry.lines}});
    }
    Json value{{"file", file}, {"ok", info.ok}};
    if (info.ok) {
        value["start"] = info.start;
        value["end"] = info.end;
        value["length"] = info.length;
        value["crc"] = info.crc;
        value["signed"] = info.isSigned;
    } else {
        for (const char* key : {"start", "end", "length", "crc", "signed"}) {
            value[key] = nullptr;
        }
    }
    value["records"] = records;
    value["dropped"] = dropped;
    return value;
}

namespace {

std::string Hex(uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, static_cast<unsigned>(value));
    return text;
}

std::string LineList(const DroppedLines& entry) {
    std::string text = entry.lines.size() == 1 ? "line " : "lines ";
    for (size_t i = 0; i < entry.lines.size(); ++i) {
        text += (i > 0 ? ", " : "") + std::to_string(entry.lines[i]);
    }
    return text;
}

std::string DropText(const DroppedLines& entry) {
    const std::string n = std::to_string(entry.count);
    const bool one = entry.count == 1;
    switch (entry.reason) {
        case SRecordDrop::Checksum:
            return n + (one ? " line" : " lines") + " with a wrong checksum";
        case SRecordDrop::Malformed:
            return n + (one ? " line that is" : " lines that are") + " no valid record";
        case SRecordDrop::TooLong:
            return n + (one ? " line" : " lines") + " longer than any record";
        case SRecordDrop::OutsideImage:
            return n + (one ? " byte" : " bytes") + " outside the image";
    }
    return n;
}

}  // namespace

std::vector<std::string> ImageInfoText(const std::string& file, const ImageInfo& info) {
    std::vector<std::string> lines{"file     " + file};
    if (info.ok) {
        lines.push_back("start    " + Hex(info.start, 6));
        lines.push_back("end      " + Hex(info.end, 6));
        lines.push_back("length   " + std::to_string(info.length) + " bytes");
        lines.push_back("CRC-16   " + Hex(info.crc, 4));
        lines.push_back(std::string("signed   ") + (info.isSigned ? "yes" : "no"));
    }
    std::string records;
    for (const auto& [type, count] : info.records) {
        records +=
            (records.empty() ? "" : ", ") + std::string("S") + type + " " + std::to_string(count);
    }
    lines.push_back("records  " + (records.empty() ? std::string("none") : records));
    if (info.dropped.empty()) {
        lines.push_back("dropped  nothing");
    }
    for (size_t i = 0; i < info.dropped.size(); ++i) {
        lines.push_back((i == 0 ? "dropped  " : "         ") + DropText(info.dropped[i]) + ": " +
                        LineList(info.dropped[i]));
    }
    return lines;
}
