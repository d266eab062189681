// Message and line texts of the developer tools, formatted to their full length: a path of
// any length yields the whole text, never a cut or overflowing one.
#pragma once

#include <string>

#if defined(__GNUC__)
#define ORVANE_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#else
#define ORVANE_PRINTF_FORMAT(f, a)
#endif

// printf-style formatting into a string sized for the result.
std::string FormatText(const char* format, ...) ORVANE_PRINTF_FORMAT(1, 2);
