// Fuzzes ReadImageFile on whole files: the first input byte chooses the placement and base,
// the rest is written to a temporary file and read back.  No message may appear (the file
// always opens and reads), and the outputs must keep their promises.
#include "framework/runtime.h"
#include "image/app_image.h"
#include "image/srec_reader.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// One temporary file per fuzzing process, removed at exit.
const std::string& TempFile() {
    static const std::string path = [] {
        char name[] = "/tmp/fuzz_srec_file_XXXXXX";
        const int fd = mkstemp(name);
        Check(fd >= 0);
        close(fd);
        SetMessageHandler([](WindowHandle, const char* text, const char* caption) {
            std::fprintf(stderr, "unexpected message [%s] %s\n", caption, text);
            std::abort();
        });
        return std::string(name);
    }();
    static const struct Remover {
        ~Remover() { std::remove(path.c_str()); }
    } remover;
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const bool raw = (data[0] & 1) != 0;
    const uint32_t base = !raw ? ImageBase : (data[0] & 2) != 0 ? 0xFFE080 : 0;

    const std::string& path = TempFile();
    std::FILE* file = std::fopen(path.c_str(), "wb");
    Check(file != nullptr);
    Check(std::fwrite(data + 1, 1, size - 1, file) == size - 1);
    Check(std::fclose(file) == 0);

    int32_t highest = -1;
    uint32_t end = 0x5A5A5A5A;
    const bool ok = ReadImageFile(path.c_str(), base, raw, &highest, &end);
    Check(highest >= 0 && highest < static_cast<int32_t>(ImageSize));
    Check(ok == (highest != 0));
    Check(ok ? end == base + static_cast<uint32_t>(highest) : end == 0x5A5A5A5A);
    return 0;
}
