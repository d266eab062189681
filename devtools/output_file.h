// An output file of the developer tools (the S-record export, the C header): created or
// truncated, binary, not shared while open.  It remembers whether every byte reached the
// file, so that a file cut short by a write or close error can be removed instead of being
// left looking valid.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

// What the user is told when a created file could not be written completely.
constexpr const char* kWriteErrorText = "Can't Write File";
constexpr const char* kWriteErrorCaption = "Error";

class COutputFile {
public:
    COutputFile() = default;
    ~COutputFile();
    COutputFile(const COutputFile&) = delete;
    COutputFile& operator=(const COutputFile&) = delete;

    // Creates or truncates the file.  False when it can't be created.
    bool Open(const std::string& path);
    // Appends the bytes; after a failed write nothing more is written.
    void Write(std::string_view bytes);
    // Closes the file.  True when every write and the close succeeded; otherwise the partial
    // file is removed (only when it is a regular file: never a device such as /dev/full).
    bool Close();

private:
    std::FILE* m_file = nullptr;
    std::string m_path;
    bool m_ok = true;
};
