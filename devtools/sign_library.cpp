// Loading the signing library and finding its entry, over the runtime seam (LoadLibraryA and
// GetProcAddress on Windows, dlopen and dlsym on Linux).
#include "devtools/sign_library.h"

LibraryHandle LoadSignLibrary(const char* path) {
    // dlopen of a null path would hand back the program itself, whose symbols are no
    // signing library: no path means no library.
    if (path == nullptr || *path == '\0') {
        return nullptr;
    }
    return LoadLibraryAt(path);
}

SignAppFn FindSignEntry(LibraryHandle library) {
    return reinterpret_cast<SignAppFn>(FindLibraryEntry(library, kSignEntryName));
}
