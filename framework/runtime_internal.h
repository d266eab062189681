// What each platform's runtime file gives the shared seam code (runtime_common.cpp).
#pragma once

#include "framework/runtime.h"

namespace runtime_platform {

// Shows a message box (Windows) or writes the message to stderr (Linux).
void ShowPlatformMessage(WindowHandle owner, const char* text, const char* caption);
// Delivers a report to a real window (Windows); drops it where there are no windows.
void SendPlatformReport(WindowHandle window, unsigned message, uintptr_t kind, intptr_t value);

}  // namespace runtime_platform
