// The shelf: the one folder whose application files the station may program.  A request names
// a file only by its name on the shelf; a name that could reach anything else (a slash, "..",
// a NUL, a hidden file, a link, a device) is no shelf name, and nothing is opened for it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class CShelf {
public:
    explicit CShelf(std::string folder) : m_folder(std::move(folder)) {}

    const std::string& Folder() const { return m_folder; }

    // The application files on the shelf now (*.a37, *.s19, *.s28, *.s37, *.srec, *.mot in any
    // case; regular files only), in a natural order.
    std::vector<std::string> List() const;

    // True when `name` is a plain name with an application file's extension that stands on
    // the shelf as a regular file (not a link).
    bool Holds(const std::string& name) const;

    // The path of a name that Holds.
    std::string PathOf(const std::string& name) const { return m_folder + "/" + name; }

    // The SHA-256 of a shelf file as lower-case hex; empty when it can't be read.
    std::string Sha256(const std::string& name) const;

    // True for a name without any path in it and with an application file's extension.
    static bool IsPlainName(const std::string& name);

private:
    std::string m_folder;
};
