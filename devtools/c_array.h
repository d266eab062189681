// The C array generator: an S-record image of boot-up or loader code into a C header that
// declares the image as a constant byte array and its size.
#pragma once

#include "framework/runtime.h"

#include <cstdint>
#include <string>

// The address of array index 0 for boot-up code and for loader code.
constexpr uint32_t kBootupArrayBase = 0xFFE080;
constexpr uint32_t kLoaderArrayBase = 0;

// Reads the file with raw placement at `base`, writes the header beside it and shows the
// summary; messages that have an owner are owned by `owner`.  True when the file was read.
bool ConvertImageToCArray(const char* path, uint32_t base, WindowHandle owner);

// Writes "<drive><folder><name>CDATA.H" from image offsets 0..highest and shows the
// closing message.
void WriteCArrayFile(const uint8_t* image, int32_t highest, const char* path);

// An input path taken apart, and the header's path built from it.  Backslash and slash both
// end a folder.
struct CArrayPaths {
    std::string drive;      // the first two characters when the second is a colon
    std::string folder;     // from there up to and including the last backslash or slash
    std::string name;       // between folder and extension; also the identifier stem
    std::string extension;  // from the last dot after the folder, dot included
    std::string output;     // drive + folder + name + "CDATA.H"
};
CArrayPaths SplitCArrayPath(const char* path);
