// Reads an application file into the image and stamps its header, as a load job does: one
// whole process per run, so that a script can time it beside other tools.
//   image_read_bench FILE
// Prints the end address and the stamped CRC; exits 1 when the read fails.
#include "image/app_image.h"
#include "image/image_header.h"
#include "image/srec_reader.h"

#include <cstdio>

// The program is linked statically with dlopen wrapped (see CMakeLists.txt); the runtime's
// library loading is never used here.
extern "C" void* __wrap_dlopen(const char*, int) {
    return nullptr;
}

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FILE\n", argv[0]);
        return 2;
    }
    int32_t highest = 0;
    uint32_t end = 0;
    if (!ReadImageFile(argv[1], ImageBase, false, &highest, &end)) {
        std::fprintf(stderr, "%s: read failed\n", argv[1]);
        return 1;
    }
    StampImageHeader(ImageBase, end);
    std::printf("end 0x%06X crc 0x%02X%02X\n", static_cast<unsigned>(end),
                AppImage[kImageCrcOffset], AppImage[kImageCrcOffset + 1]);
    return 0;
}
