// The C array generator: an S-record image of boot-up or loader code into a C header that
// declares the image as a constant byte array and its size.
#pragma once

#include "framework/runtime.h"

#include <cstdint>

// Reads the file with raw placement at `base`, writes the header beside it and shows the
// summary; messages that have an owner are owned by `owner`.  True when the file was read.
bool ConvertImageToCArray(const char* path, uint32_t base, WindowHandle owner);

// Writes "<drive><folder><name>CDATA.H" from image offsets 0..highest and shows the
// closing message.
void WriteCArrayFile(const uint8_t* image, int32_t highest, const char* path);
