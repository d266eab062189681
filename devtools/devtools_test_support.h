// Test inputs for the developer tools: S-record lines built with their checksums, and a
// working folder that a test can enter and leave.
#pragma once

#include "tests/support/srec_records.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// One record line (without its line end): type 1, 2 or 3 with a 16, 24 or 32-bit address.
inline std::string SRecordLine(int type, uint32_t address, const std::vector<uint8_t>& data) {
    return MakeRecord(static_cast<char>('0' + type), address, data);
}

// The lines joined into a file's text, each ending in CR LF.
inline std::string SRecordText(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines) {
        text += line + "\r\n";
    }
    return text;
}

// The bytes 0, 1, 2, ... n - 1 (mod 256), offset by `first`.
inline std::vector<uint8_t> CountingBytes(size_t n, uint8_t first = 0) {
    return Bytes(n, first);
}

// Creates a folder three 120-character names deep below `base`: every path in it runs past
// the 256 characters of a fixed text buffer.
inline std::filesystem::path MakeLongFolder(const std::filesystem::path& base) {
    std::filesystem::path folder = base;
    for (int i = 0; i < 3; ++i) {
        folder /= std::string(120, static_cast<char>('a' + i));
    }
    std::filesystem::create_directories(folder);
    return folder;
}

// Makes a folder the current one for the lifetime of the object.
class CurrentFolder {
public:
    explicit CurrentFolder(const std::filesystem::path& folder)
        : m_previous(std::filesystem::current_path()) {
        std::filesystem::current_path(folder);
    }
    ~CurrentFolder() {
        std::error_code ignored;
        std::filesystem::current_path(m_previous, ignored);
    }
    CurrentFolder(const CurrentFolder&) = delete;
    CurrentFolder& operator=(const CurrentFolder&) = delete;

private:
    std::filesystem::path m_previous;
};
