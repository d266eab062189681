// Interrupts on Windows: a console control handler, which runs on a thread that the system
// starts for it: it counts, signals the runs' cancel events at once and sets an event that
// WaitForInterrupt waits on; the second interrupt ends the process.
#include "port_runs/interrupt.h"

#include "port_runs/exit_status.h"
#include "port_runs/interrupt_internal.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <atomic>

namespace {

std::atomic<int> g_interrupts{0};
HANDLE g_interruptEvent = nullptr;  // manual-reset: set by the first interrupt, for good

BOOL WINAPI OnConsoleControl(DWORD type) {
    switch (type) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
            if (g_interrupts.fetch_add(1) + 1 >= 2) {
                ExitProcess(kExitInterrupted);
            }
            SignalInterruptEvents();
            if (g_interruptEvent != nullptr) {
                SetEvent(g_interruptEvent);
            }
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

void InstallInterruptHandler() {
    if (g_interruptEvent == nullptr) {
        g_interruptEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

int InterruptCount() {
    return g_interrupts.load();
}

bool WaitForInterrupt(int timeoutMs) {
    if (InterruptCount() > 0) {
        return true;
    }
    if (g_interruptEvent == nullptr) {
        Sleep(static_cast<DWORD>(timeoutMs));
    } else {
        WaitForSingleObject(g_interruptEvent, static_cast<DWORD>(timeoutMs));
    }
    return InterruptCount() > 0;
}
