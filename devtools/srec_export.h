// The S-record export of a signed image: S2 records of 16 bytes, CR LF, no header or
// termination record.
#pragma once

#include <cstdint>

// Writes the image from start up to (not including) end as records of 16 bytes; shows the
// before/after "Scrotum" messages; tells failures to the user.
void ExportImageSRecords(const char* path, uint32_t start, uint32_t end, const uint8_t* image);

// Formats one S2 record of `length` bytes (at most 16 when the line holds 45 characters;
// the line must hold 2 * length + 13 characters) without its line end, NUL-terminated.
// The address keeps its low 24 bits and `length` is held to 0..251, the most that the
// two-digit count can carry, so the line never grows past that size.
void FormatS2Record(uint32_t address, int length, const uint8_t* bytes, char* line);
