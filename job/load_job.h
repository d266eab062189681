// The load job: one pass over one application file, run on the progress window's worker.
#pragma once

#include "devtools/developer_locations.h"
#include "devtools/sign_library.h"
#include "framework/runtime.h"
#include "image/srec_reader.h"
#include "job/load_flags.h"
#include "link/device_programmer.h"
#include "link/load_report.h"

// The first steps of every load: sends "Reading File <path>...", reads the file into AppImage
// at ImageBase (an observer is told what the reader dropped) and stamps the header.  False,
// with "Problem with file" told, when the file gives no image.
bool ReadAndStampImage(const char* path, WindowHandle reportWindow, unsigned reportMessage,
                       uint32_t* endAddress, SRecordObserver* observer = nullptr);

// Everything of a load before the instrument: read and stamp, sign (with an entry), export
// (LoadFlagExport and an entry) to exportPath, "File Read...", and the signature check.  True
// when the image in AppImage may be programmed up to *endAddress; every refusal is told.
bool PrepareLoadImage(const char* path, WindowHandle reportWindow, unsigned reportMessage,
                      SignAppFn signApp, LoadFlags flags, const char* exportPath,
                      uint32_t* endAddress);

// Reads the file at ImageBase, stamps, signs (with an entry), exports (LoadFlagExport and an
// entry) to exportPath, refuses an unsigned image, and programs the instrument unless
// LoadFlagNoDevice is set.  Tells every failure to the user; returns 0 on every path.
int LoadJob(CDeviceProgrammer& programmer, const char* path, WindowHandle reportWindow,
            unsigned reportMessage, EventHandle cancelEvent, const char* portName,
            SignAppFn signApp, LoadFlags flags, const char* exportPath = kExportFilePath);
