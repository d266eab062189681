// The load job: one pass over one application file, run on the progress window's worker.
#pragma once

#include "devtools/sign_library.h"
#include "devtools/srec_export.h"
#include "framework/runtime.h"
#include "job/load_flags.h"
#include "link/device_programmer.h"
#include "link/load_report.h"

// Reads the file at ImageBase, stamps, signs (with an entry), exports (LoadFlagExport and an
// entry) to exportPath, refuses an unsigned image, and programs the instrument unless
// LoadFlagNoDevice is set.  Tells every failure to the user; returns 0 on every path.
int LoadJob(CDeviceProgrammer& programmer, const char* path, WindowHandle reportWindow,
            unsigned reportMessage, EventHandle cancelEvent, const char* portName,
            SignAppFn signApp, LoadFlags flags, const char* exportPath = kExportFilePath);
