// The shelf's files.  Every open is by a plain name inside the folder and refuses links, so a
// link placed on the shelf can't lead a read outside it.
#include "station/shelf.h"

#include "port_runs/serial_ports.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <memory>

namespace {

constexpr const char* kExtensions[] = {".a37", ".s19", ".s28", ".s37", ".srec", ".mot"};
constexpr size_t kMaxNameBytes = 255;

bool HasApplicationExtension(const std::string& name) {
    std::string lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (const char* extension : kExtensions) {
        const std::string ext = extension;
        if (lower.size() > ext.size() &&
            lower.compare(lower.size() - ext.size(), ext.size(), ext) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool CShelf::IsPlainName(const std::string& name) {
    if (name.empty() || name.size() > kMaxNameBytes || name.front() == '.' ||
        name.find_first_of(std::string("/\\\0", 3)) != std::string::npos) {
        return false;
    }
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7F) {
            return false;  // control characters have no place in a file name on a page
        }
    }
    return HasApplicationExtension(name);
}

bool CShelf::Holds(const std::string& name) const {
    if (!IsPlainName(name)) {
        return false;
    }
    struct stat info {};
    return lstat(PathOf(name).c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::vector<std::string> CShelf::List() const {
    std::vector<std::string> names;
    DIR* dir = opendir(m_folder.c_str());
    if (dir == nullptr) {
        return names;
    }
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (Holds(name)) {
            names.push_back(name);
        }
    }
    closedir(dir);
    std::sort(names.begin(), names.end(), NaturalLess);
    return names;
}

std::string CShelf::Sha256(const std::string& name) const {
    if (!Holds(name)) {
        return {};
    }
    const int fd = open(PathOf(name).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return {};
    }
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                    EVP_MD_CTX_free);
    struct stat info {};
    bool ok = context != nullptr && fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
              EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) == 1;
    std::array<unsigned char, 64 * 1024> buffer;
    while (ok) {
        const ssize_t got = read(fd, buffer.data(), buffer.size());
        if (got == 0) {
            break;
        }
        ok = got > 0 && EVP_DigestUpdate(context.get(), buffer.data(),
                                         static_cast<size_t>(got)) == 1;
    }
    close(fd);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!ok || EVP_DigestFinal_ex(context.get(), digest, &length) != 1) {
        return {};
    }
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 0xF];
    }
    return text;
}
