// The runtime seam on Linux: messages go to stderr unless a handler takes them, reports go
// only to registered handlers, the cancel event is an atomic flag, and libraries come from
// dlopen.  The pause is a file of its own (runtime_pause_posix.cpp), so that the fuzz build
// can put one that costs nothing in its place; the program's files are regular_file_posix.cpp.
#include "framework/runtime.h"
#include "framework/runtime_internal.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>

namespace runtime_platform {

void ShowPlatformMessage(WindowHandle owner, const char* text, const char* caption) {
    std::fprintf(stderr, "[%s] %s\n", caption, text);
}

void SendPlatformReport(WindowHandle, unsigned, uintptr_t, intptr_t) {}

}  // namespace runtime_platform

const char* ProgramName() {
    static const std::string name = [] {
        char path[PATH_MAX] = {};
        ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
        std::string base = n > 0 ? std::string(path, static_cast<size_t>(n)) : "velko";
        base = base.substr(base.find_last_of('/') + 1);
        size_t dot = base.find_last_of('.');
        return dot == std::string::npos || dot == 0 ? base : base.substr(0, dot);
    }();
    return name.c_str();
}

namespace {
struct CancelEvent {
    std::atomic<bool> signalled{false};
};
}  // namespace

EventHandle CreateCancelEvent() {
    return new CancelEvent;
}

void SignalCancelEvent(EventHandle event) {
    if (event != nullptr) {
        static_cast<CancelEvent*>(event)->signalled.store(true);
    }
}

bool PollCancelEvent(EventHandle event) {
    return event != nullptr && static_cast<CancelEvent*>(event)->signalled.exchange(false);
}

void CloseCancelEvent(EventHandle event) {
    delete static_cast<CancelEvent*>(event);
}

void RestrictLibrarySearch() {}

LibraryHandle LoadLibraryAt(const char* path) {
    return dlopen(path, RTLD_NOW | RTLD_LOCAL);
}

void* FindLibraryEntry(LibraryHandle library, const char* name) {
    return library != nullptr ? dlsym(library, name) : nullptr;
}
