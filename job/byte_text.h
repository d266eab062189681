// The byte count text of the progress window, "6400 of 65536 bytes (9%)", which the command
// line's progress shows too.
#pragma once

#include <cstdint>

// Writes "<done> of <total> bytes (<percent>%)" into text[0 .. size).  The percentage is
// done * 100 / total in unsigned 32-bit arithmetic, truncated; a total of 0 shows 0 %.
void FormatByteText(int32_t done, int32_t total, char* text, int size);
