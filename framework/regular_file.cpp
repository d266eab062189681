// Reading a whole regular file, the same on both platforms.
#include "framework/regular_file.h"

bool ReadRegularFile(const char* path, std::string* text) {
    std::FILE* file = OpenRegularFileToRead(path);
    if (file == nullptr) {
        return false;
    }
    text->clear();
    char chunk[4096];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        text->append(chunk, got);
    }
    const bool ok = std::ferror(file) == 0;
    std::fclose(file);
    return ok;
}
