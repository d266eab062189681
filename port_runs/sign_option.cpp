// The signing library of --sign.  Unlike the window, which quietly leaves developer mode off
// when the library is missing, a command that was told to sign refuses to go on unsigned.
#include "port_runs/sign_option.h"

#include <cstdio>

bool LoadSignOption(const std::string& path, SignAppFn* entry) {
    *entry = nullptr;
    if (path.empty()) {
        return true;
    }
    LibraryHandle library = LoadSignLibrary(path.c_str());
    if (library == nullptr) {
        std::fprintf(stderr, "error: can't load the signing library %s\n", path.c_str());
        return false;
    }
    *entry = FindSignEntry(library);
    if (*entry == nullptr) {
        std::fprintf(stderr, "error: the signing library %s has no entry %s\n", path.c_str(),
                     kSignEntryName);
        return false;
    }
    return true;
}
