// The S-record export of a signed image: the image from the start address up to (not
// including) the end address, as S2 records of 16 bytes with CR LF line ends.
#include "devtools/srec_export.h"

#include "devtools/format_text.h"
#include "devtools/output_file.h"
#include "framework/runtime.h"
#include "image/app_image.h"
#include "image/srec_reader.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr int kExportRecordBytes = 16;
// The count field is two hex digits: address (3) + data + checksum (1) must stay below 256.
constexpr int kMaxS2RecordBytes = 0xFF - 4;

void ShowExportFigures(uint32_t start, uint32_t end, int32_t len, int32_t count) {
    std::string text =
        FormatText("Start:%d (%06X) Max:%d (%06X)  Len:%d Cnt:%d", static_cast<int>(start),
                   static_cast<unsigned>(start), static_cast<int>(end), static_cast<unsigned>(end),
                   static_cast<int>(len), static_cast<int>(count));
    ShowMessage(nullptr, text.c_str(), "Scrotum");
}

}  // namespace

void FormatS2Record(uint32_t address, int length, const uint8_t* bytes, char* line) {
    // A length the count field can't carry would also overrun the caller's line.
    length = std::clamp(length, 0, kMaxS2RecordBytes);
    // "S2", count, then the 24-bit address: 10 characters and the NUL.
    std::snprintf(line, 11, "S2%02X%06X", static_cast<unsigned>(length + 4),
                  static_cast<unsigned>(address & 0xFFFFFF));
    // The checksum takes the count and address bytes back from the text just formatted.
    unsigned sum = 0;
    for (int i = 2; i < 10; i += 2) {
        sum += HexPairToByte(line + i);
    }
    char* out = line + 10;
    for (int k = 0; k < length; ++k) {
        std::snprintf(out, 3, "%02X", static_cast<unsigned>(bytes[k]));
        sum += bytes[k];
        out += 2;
    }
    std::snprintf(out, 3, "%02X", static_cast<unsigned>(~sum & 0xFF));
}

void ExportImageSRecords(const char* path, uint32_t start, uint32_t end, const uint8_t* image) {
    COutputFile file;
    if (path == nullptr || !file.Open(path)) {
        ShowMessage(nullptr, "Can't Open File", "Error");
        return;
    }

    const int32_t len = static_cast<int32_t>(end - start);
    ShowExportFigures(start, end, len, 0);

    int32_t records = 0;
    if (len > 0) {
        // n records of 16 bytes cover start .. end - 1; never more than the image holds, so
        // that an end address beyond the image can't make a record read past it.
        const int64_t wanted = (static_cast<int64_t>(len) + 15) / 16;
        records = static_cast<int32_t>(std::min<int64_t>(wanted, ImageSize / kExportRecordBytes));
    }
    char line[2 * kExportRecordBytes + 13];
    for (int32_t k = 0; k < records; ++k) {
        const uint32_t offset = static_cast<uint32_t>(k) * kExportRecordBytes;
        FormatS2Record(start + offset, kExportRecordBytes, image + offset, line);
        file.Write(line);
        file.Write("\r\n");
    }

    ShowExportFigures(start, end, len, records * kExportRecordBytes);
    if (!file.Close()) {
        ShowMessage(nullptr, kWriteErrorText, kWriteErrorCaption);
    }
}
