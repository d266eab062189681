// The runtime seam on Windows: MessageBoxA, SendMessageA, an auto-reset Win32 event,
// the library search kept out of the current folder, LoadLibraryExA and GetProcAddress,
// and Sleep; the program's files are regular_file_win32.cpp.
#include "framework/runtime.h"
#include "framework/runtime_internal.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <string>

namespace runtime_platform {

void ShowPlatformMessage(WindowHandle owner, const char* text, const char* caption) {
    HWND hwnd = static_cast<HWND>(owner);
    if (hwnd != nullptr && !IsWindow(hwnd)) {
        hwnd = nullptr;  // the owner has closed since the job was started
    }
    // The owner can also close between the check and the box, which then fails to appear:
    // show it again without an owner, so that no message is ever lost.
    if (MessageBoxA(hwnd, text, caption, MB_OK) == 0 && hwnd != nullptr) {
        MessageBoxA(nullptr, text, caption, MB_OK);
    }
}

void SendPlatformReport(WindowHandle window, unsigned message, uintptr_t kind, intptr_t value) {
    SendMessageA(static_cast<HWND>(window), message, static_cast<WPARAM>(kind),
                 static_cast<LPARAM>(value));
}

}  // namespace runtime_platform

const char* ProgramName() {
    static const std::string name = [] {
        char path[MAX_PATH + 1] = {};
        DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
        std::string base(path, n);
        base = base.substr(base.find_last_of("\\/") + 1);
        size_t dot = base.find_last_of('.');
        return dot == std::string::npos || dot == 0 ? base : base.substr(0, dot);
    }();
    return name.c_str();
}

EventHandle CreateCancelEvent() {
    return CreateEventA(nullptr, FALSE, FALSE, nullptr);
}

void SignalCancelEvent(EventHandle event) {
    if (event != nullptr) {
        SetEvent(static_cast<HANDLE>(event));
    }
}

bool PollCancelEvent(EventHandle event) {
    return event != nullptr && WaitForSingleObject(static_cast<HANDLE>(event), 0) == WAIT_OBJECT_0;
}

void CloseCancelEvent(EventHandle event) {
    if (event != nullptr) {
        CloseHandle(static_cast<HANDLE>(event));
    }
}

namespace {

// SetDefaultDllDirectories and the LOAD_LIBRARY_SEARCH_* flags came with Windows 8 and an
// update of Windows 7; older systems lack them.  Looked up at run time, so that the program
// still starts there.
using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
constexpr DWORD kSearchDllLoadDir = 0x00000100;   // LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR
constexpr DWORD kSearchDefaultDirs = 0x00001000;  // LOAD_LIBRARY_SEARCH_DEFAULT_DIRS

SetDefaultDllDirectoriesFn DefaultDllDirectoriesEntry() {
    static const auto entry = reinterpret_cast<SetDefaultDllDirectoriesFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "SetDefaultDllDirectories")));
    return entry;
}

}  // namespace

void RestrictLibrarySearch() {
    // The default directories: the program's folder, System32 and folders added on purpose.
    SetDefaultDllDirectoriesFn setDefault = DefaultDllDirectoriesEntry();
    if (setDefault == nullptr || !setDefault(kSearchDefaultDirs)) {
        SetDllDirectoryA("");  // takes the current folder out of the legacy search order
    }
}

LibraryHandle LoadLibraryAt(const char* path) {
    // Both ways of searching beside the library want its full path.
    char full[MAX_PATH + 1] = {};
    const DWORD length = GetFullPathNameA(path, sizeof full, full, nullptr);
    const char* named = length > 0 && length < sizeof full ? full : path;
    if (DefaultDllDirectoriesEntry() != nullptr) {
        return LoadLibraryExA(named, nullptr, kSearchDllLoadDir | kSearchDefaultDirs);
    }
    // Without those flags: the altered search order, which looks beside the library first.
    return LoadLibraryExA(named, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

void* FindLibraryEntry(LibraryHandle library, const char* name) {
    if (library == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void SleepMs(unsigned milliseconds) {
    Sleep(milliseconds);
}
