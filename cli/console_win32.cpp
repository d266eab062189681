// The console on Windows: _isatty, the console's virtual terminal mode and a console control
// handler.  The handler runs on a thread that the system starts for it: it counts, signals
// the runs' cancel events at once, and the second interrupt ends the process.
#include "cli/console.h"

#include "cli/console_internal.h"
#include "cli/exit_status.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

#include <io.h>

#include <atomic>

namespace {

std::atomic<int> g_interrupts{0};

BOOL WINAPI OnConsoleControl(DWORD type) {
    switch (type) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
            if (g_interrupts.fetch_add(1) + 1 >= 2) {
                ExitProcess(kExitInterrupted);
            }
            SignalInterruptEvents();
            return TRUE;
        default:
            return FALSE;
    }
}

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

void InstallInterruptHandler() {
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

int InterruptCount() {
    return g_interrupts.load();
}
