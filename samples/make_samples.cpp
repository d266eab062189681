// Makes the sample application files for demonstrations and the run command, the way the
// instrument's build would: an S0 header record, the signature block and the application as
// S2 records of 32 data bytes, and an S8 termination record.  The signed files are signed by
// the stand-in signing library, so the tool takes them without developer mode.
//
//   make_samples <signing library> <output folder>
// writes VYRA_FULL.A37 (signed, the whole 256 KiB area), VYRA_SMALL.A37 (signed, 6000 bytes
// of application) and VYRA_UNSIGNED.A37 (the small application, no signature).
#include "devtools/sign_library.h"
#include "devtools/srec_export.h"
#include "image/app_image.h"
#include "image/image_header.h"
#include "image/srec_reader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr int kRecordBytes = 32;
constexpr uint32_t kFullEnd = ImageBase + ImageSize - 1;  // the last byte of the area
constexpr uint32_t kSmallEnd = ImageBase + kApplicationOffset + 6000 - 1;

// The application: deterministic bytes with a little structure, so that a wrong offset or
// a lost block shows in any comparison.
void MakeApplication(uint32_t end) {
    ClearImage();
    uint32_t state = 0x2545F491;
    for (uint32_t offset = kApplicationOffset; offset <= end - ImageBase; ++offset) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        AppImage[offset] = (offset % 64 == 0) ? static_cast<uint8_t>(offset >> 6) : state & 0xFF;
    }
}

// S0/S8 records, which carry no data for the image.
bool WriteRecordLine(std::FILE* file, const char* line) {
    return std::fprintf(file, "%s\r\n", line) > 0;
}

bool WriteRange(std::FILE* file, uint32_t from, uint32_t last) {
    char line[2 * kRecordBytes + 16];
    for (uint32_t offset = from; offset <= last; offset += kRecordBytes) {
        int length = static_cast<int>(std::min<uint32_t>(kRecordBytes, last - offset + 1));
        FormatS2Record(ImageBase + offset, length, AppImage + offset, line);
        if (!WriteRecordLine(file, line)) {
            return false;
        }
    }
    return true;
}

bool WriteSample(const std::string& path, uint32_t end, SignAppFn sign) {
    MakeApplication(end);
    if (sign != nullptr) {
        sign(AppImage, ImageBase, end);
        if (!IsImageSigned()) {
            std::fprintf(stderr, "make_samples: the signing library left the image unsigned\n");
            return false;
        }
    }
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        std::perror(path.c_str());
        return false;
    }
    bool ok = WriteRecordLine(file, "S00B00005659524120415050B1");  // "VYRA APP"
    if (sign != nullptr) {
        ok = ok && WriteRange(file, kSignatureBlockOffset,
                              kSignatureBlockOffset + kSignatureBlockSize - 1);
    }
    ok = ok && WriteRange(file, kApplicationOffset, end - ImageBase);
    ok = ok && WriteRecordLine(file, "S804420100B8");  // entry at the application's start
    ok = (std::fclose(file) == 0) && ok;
    if (!ok) {
        std::fprintf(stderr, "make_samples: can't write %s\n", path.c_str());
        std::remove(path.c_str());
    }
    return ok;
}

// The file must read back to what was written: the samples are only of use if they load.
bool CheckSample(const std::string& path, uint32_t end, bool signedImage) {
    int32_t highest = 0;
    uint32_t readEnd = 0;
    if (!ReadImageFile(path.c_str(), ImageBase, false, &highest, &readEnd) || readEnd != end ||
        IsImageSigned() != signedImage) {
        std::fprintf(stderr, "make_samples: %s does not read back as written\n", path.c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: make_samples <signing library> <output folder>\n");
        return 2;
    }
    SignAppFn sign = FindSignEntry(LoadSignLibrary(argv[1]));
    if (sign == nullptr) {
        std::fprintf(stderr, "make_samples: no SignApp in %s\n", argv[1]);
        return 1;
    }
    const std::string folder = argv[2];
    struct Sample {
        const char* name;
        uint32_t end;
        bool signedImage;
    } samples[] = {{"VYRA_FULL.A37", kFullEnd, true},
                   {"VYRA_SMALL.A37", kSmallEnd, true},
                   {"VYRA_UNSIGNED.A37", kSmallEnd, false}};
    for (const Sample& s : samples) {
        const std::string path = folder + "/" + s.name;
        if (!WriteSample(path, s.end, s.signedImage ? sign : nullptr) ||
            !CheckSample(path, s.end, s.signedImage)) {
            return 1;
        }
        std::printf("%s\n", path.c_str());
    }
    return 0;
}
