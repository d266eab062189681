// The C array generator: reads a boot-up or loader S-record file with raw placement and
// writes "<name>CDATA.H" beside it, declaring image offsets 0..r as a constant byte array.
// Every text is built to its full length, so long paths are written whole.
#include "devtools/c_array.h"

#include "devtools/format_text.h"
#include "devtools/output_file.h"
#include "image/app_image.h"
#include "image/srec_reader.h"

#include <algorithm>
#include <string_view>

namespace {

constexpr int kEntriesPerLine = 16;

// One data line: "0x%02X," for each byte, then CR LF.
std::string DataLine(const uint8_t* bytes, int count) {
    static const char kHexDigits[] = "0123456789ABCDEF";
    std::string line;
    line.reserve(static_cast<size_t>(count) * 5 + 2);
    for (int i = 0; i < count; ++i) {
        line += "0x";
        line += kHexDigits[bytes[i] >> 4];
        line += kHexDigits[bytes[i] & 0xF];
        line += ',';
    }
    line += "\r\n";
    return line;
}

}  // namespace

CArrayPaths SplitCArrayPath(const char* path) {
    const std::string_view text(path != nullptr ? path : "");
    CArrayPaths parts;
    size_t pos = 0;
    if (text.size() >= 2 && text[1] == ':') {
        parts.drive = text.substr(0, 2);
        pos = 2;
    }
    const size_t slash = text.find_last_of("\\/");
    if (slash != std::string_view::npos && slash >= pos) {
        parts.folder = text.substr(pos, slash + 1 - pos);
        pos = slash + 1;
    }
    const size_t dot = text.find_last_of('.');
    size_t nameEnd = text.size();
    if (dot != std::string_view::npos && dot >= pos) {
        parts.extension = text.substr(dot);
        nameEnd = dot;
    }
    parts.name = text.substr(pos, nameEnd - pos);
    parts.output = parts.drive + parts.folder + parts.name + "CDATA" + ".H";
    return parts;
}

void WriteCArrayFile(const uint8_t* image, int32_t highest, const char* path) {
    const CArrayPaths parts = SplitCArrayPath(path);

    COutputFile file;
    if (!file.Open(parts.output)) {
        ShowMessage(nullptr, "Could not open file", parts.output.c_str());
        return;
    }

    // The array covers offsets 0..highest; never more than the image holds.
    const int32_t count =
        static_cast<int32_t>(std::clamp<int64_t>(static_cast<int64_t>(highest) + 1, 0, ImageSize));
    file.Write("// " + parts.output + "\r\n//This file was created by a machine\r\n\r\n");
    file.Write(FormatText("#define %s_CODE_SIZE %d\r\n\r\n", parts.name.c_str(), count));
    file.Write(
        FormatText("unsigned char const %s_Code_Data[%d] = {\r\n", parts.name.c_str(), count));
    for (int32_t at = 0; at < count; at += kEntriesPerLine) {
        file.Write(DataLine(image + at, std::min(kEntriesPerLine, count - at)));
    }
    file.Write("};\r\n");
    if (!file.Close()) {
        ShowMessage(nullptr, kWriteErrorText, kWriteErrorCaption);
        return;
    }

    const std::string closing =
        FormatText("Name:%s\nDrive:%s\nDir:%s\nFName:%s\nExt:%s\nOutFName:%s",
                   path != nullptr ? path : "", parts.drive.c_str(), parts.folder.c_str(),
                   parts.name.c_str(), parts.extension.c_str(), parts.output.c_str());
    ShowMessage(nullptr, closing.c_str(), "Hi There");
}

bool ConvertImageToCArray(const char* path, uint32_t base, WindowHandle owner) {
    int32_t highest = 0;
    uint32_t endAddress = 0;
    if (path == nullptr || !ReadImageFile(path, base, true, &highest, &endAddress)) {
        ShowMessage(owner, "Problem with file", "ERROR");
        return false;
    }
    WriteCArrayFile(AppImage, highest, path);

    // BSize is r, one less than the array length; LBSize rounds the length up to 32s.
    const uint32_t r = static_cast<uint32_t>(highest);
    const std::string summary =
        FormatText("BSize:%d LBSize:%d MaxAddr:%08X\n", static_cast<int>(highest),
                   static_cast<int>((r / 32 + 1) * 32), endAddress);
    ShowMessage(owner, summary.c_str(), "Hi There");
    return true;
}
