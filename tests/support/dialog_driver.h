// Drives the dialogs of the code under test from a second thread (Windows only): finds a
// window of this process by caption, reads control texts and states, waits for conditions.
// The thread that runs the modal dialog stays inside DoModal meanwhile.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace dialog_driver {

// True when windows can be made here (under wine: an X display is there).
inline bool WindowsAvailable() {
    HWND probe = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                 GetModuleHandleA(nullptr), nullptr);
    if (probe == nullptr) {
        return false;
    }
    DestroyWindow(probe);
    return true;
}

// Polls the condition every 10 ms for up to timeoutMs; true when it came true.
inline bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

inline std::string WindowText(HWND window) {
    char text[1024] = {};
    GetWindowTextA(window, text, sizeof text);
    return text;
}

inline std::string ItemText(HWND dialog, int id) {
    return WindowText(GetDlgItem(dialog, id));
}

inline bool ItemChecked(HWND dialog, int id) {
    return SendMessageA(GetDlgItem(dialog, id), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

struct OwnWindowSearch {
    const char* caption;
    HWND found;
};

// EnumWindows' callback: a named CALLBACK function, since on 32-bit x86 Windows calls it
// __stdcall, which a lambda does not convert to.
inline BOOL CALLBACK MatchOwnWindow(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<OwnWindowSearch*>(param);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == GetCurrentProcessId() && IsWindowVisible(window) &&
        WindowText(window) == search->caption) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

// The visible top-level window of this process with this caption, or null.
inline HWND FindOwnWindow(const char* caption) {
    OwnWindowSearch search{caption, nullptr};
    EnumWindows(MatchOwnWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

inline HWND WaitForOwnWindow(const char* caption, int timeoutMs = 10000) {
    HWND window = nullptr;
    WaitUntil([&] { return (window = FindOwnWindow(caption)) != nullptr; }, timeoutMs);
    return window;
}

// A button press as the dialog sees it, posted so that the driver never waits on a modal
// loop the press may open.
inline void PostClick(HWND dialog, int id) {
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

}  // namespace dialog_driver
