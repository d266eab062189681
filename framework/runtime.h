// The runtime seam: everything the portable core needs from the platform.
// The core (image, link, job, devtools) calls only these functions; runtime_win32.cpp maps
// them onto the Windows API, runtime_posix.cpp onto POSIX and replaceable handlers.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Opaque platform handles: HWND, an auto-reset event HANDLE and an HMODULE on Windows.
using WindowHandle = void*;
using EventHandle = void*;
using LibraryHandle = void*;

// ---- Message boxes ---------------------------------------------------------------------
// A modal message box with one OK button; returns when the user has closed it.
// A null caption shows the program's name.  On Windows an owner that is no longer a window
// (a progress window that has closed) is replaced by no owner.
void ShowMessage(WindowHandle owner, const char* text, const char* caption);

// The program's name: the program file's base name without its extension ("VELKO").
const char* ProgramName();

// Replaces how messages are shown, on both platforms (tests capture them; the default is
// MessageBoxA on Windows and a line on stderr on Linux).  An empty handler restores the
// default.  Returns the handler that was installed before.
using MessageHandler =
    std::function<void(WindowHandle owner, const char* text, const char* caption)>;
MessageHandler SetMessageHandler(MessageHandler handler);

// ---- Reports to a window ---------------------------------------------------------------
// Sends a report synchronously: returns when the receiver has handled it.  A handler
// registered for the window takes it; otherwise on Windows SendMessageA(window, message,
// kind, value), and on Linux the report is dropped (no such window).
void SendWindowReport(WindowHandle window, unsigned message, uintptr_t kind, intptr_t value);

using ReportHandler = std::function<void(unsigned message, uintptr_t kind, intptr_t value)>;
// Registers (or, with an empty handler, removes) the receiver of reports for a window.
void SetReportHandler(WindowHandle window, ReportHandler handler);

// ---- The cancel event ------------------------------------------------------------------
// An auto-reset event, not signalled when created.
EventHandle CreateCancelEvent();
void SignalCancelEvent(EventHandle event);
// A zero-wait poll: true when the event was signalled, which also resets it.
// A null event is never signalled.
bool PollCancelEvent(EventHandle event);
void CloseCancelEvent(EventHandle event);

// ---- Libraries -------------------------------------------------------------------------
// Called first thing at a program's start: on Windows, libraries loaded by bare name are
// then looked for only in the program's folder and the system's folders, never in the current
// folder (which follows the file chooser to any USB stick or download folder) nor in PATH.
// Where the system lacks that setting, the current folder alone is taken out of the search.
// Nothing to do on Linux.
void RestrictLibrarySearch();

// Loads the library at a path (a relative one from the current folder); null when it can't
// be loaded.  On Windows the libraries it needs are looked for beside it and in the system's
// folders, never in the current folder.  A loaded library is never unloaded.
LibraryHandle LoadLibraryAt(const char* path);
// Null when the library has no such entry.
void* FindLibraryEntry(LibraryHandle library, const char* name);

// ---- Time ------------------------------------------------------------------------------
void SleepMs(unsigned milliseconds);
