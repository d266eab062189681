// The signing library: an outside component that, when present, signs each image before the
// signature check.  Loaded once and never unloaded.
#pragma once

#include "framework/runtime.h"

#include <cstdint>

// The entry "SignApp": image, start address (ImageBase), end address.  Its result is ignored.
// Call it only through CallSignApp: on 32-bit x86 a library may have been built __cdecl or
// __stdcall, and nothing in the library tells which.
extern "C" {
typedef int (*SignAppFn)(uint8_t* image, uint32_t start, uint32_t end);
}

constexpr const char* kSignEntryName = "SignApp";

// Loads the library at the path (null when it can't be loaded, or for a null or empty path;
// nothing is shown).
LibraryHandle LoadSignLibrary(const char* path);
// The "SignApp" entry of a loaded library, or null.
SignAppFn FindSignEntry(LibraryHandle library);

// Calls the entry.  On 32-bit x86 Windows through a small assembly thunk that afterwards puts
// back the stack pointer and ebx, esi, edi and ebp as they were, so that a __stdcall library
// (which removes its arguments itself) or one that leaves those registers changed does no
// harm; signing calls then run one at a time.  Elsewhere there is one convention: a plain
// call.
int CallSignApp(SignAppFn signApp, uint8_t* image, uint32_t start, uint32_t end);
