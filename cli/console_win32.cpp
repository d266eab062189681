// The console on Windows: _isatty and the console's virtual terminal mode.
#include "cli/console.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

#include <io.h>

namespace {

HANDLE ConsoleOf(std::FILE* stream) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}

}  // namespace

bool IsTerminal(std::FILE* stream) {
    return _isatty(_fileno(stream)) != 0;
}

bool EnableTerminalSequences(std::FILE* stream) {
    HANDLE console = ConsoleOf(stream);
    DWORD mode = 0;
    if (!GetConsoleMode(console, &mode)) {
        return false;
    }
    return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
           SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

int TerminalColumns(std::FILE* stream) {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(ConsoleOf(stream), &info)) {
        return info.srWindow.Right - info.srWindow.Left + 1;
    }
    return 80;
}
