// A fresh directory for a test's real files, removed with everything in it afterwards.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& Path() const { return m_path; }
    // The full path of a name inside the directory, as text.
    std::string File(std::string_view name) const;
    // Writes the bytes to the named file (binary) and returns its full path.
    std::string Write(std::string_view name, std::string_view bytes) const;
    // The whole content of a file, binary; empty when it does not exist.
    static std::string Read(const std::string& path);

private:
    std::filesystem::path m_path;
};
