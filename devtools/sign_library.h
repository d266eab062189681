// The signing library: an outside component that, when present, signs each image before the
// signature check.  Loaded once and never unloaded.
#pragma once

#include "framework/runtime.h"

#include <cstdint>

// The entry "SignApp": image, start address (ImageBase), end address; C calling convention.
// Its result is ignored.
extern "C" {
typedef int (*SignAppFn)(uint8_t* image, uint32_t start, uint32_t end);
}

// Where the developers' machines keep the library.
constexpr const char* kSignLibraryPath = "C:\\DV\\H8S\\PC\\KESP\\DEBUG\\KESP.DLL";
constexpr const char* kSignEntryName = "SignApp";

// Loads the library at the path (null when it can't be loaded, or for a null or empty path;
// nothing is shown).
LibraryHandle LoadSignLibrary(const char* path);
// The "SignApp" entry of a loaded library, or null.
SignAppFn FindSignEntry(LibraryHandle library);
