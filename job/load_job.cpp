// The load job: read the application file into AppImage, stamp it, sign and export it when
// the signing library is there, refuse it unsigned, and program the instrument.
#include "job/load_job.h"

#include "devtools/srec_export.h"
#include "framework/text_buffer.h"
#include "image/app_image.h"
#include "image/image_header.h"
#include "image/srec_reader.h"

#include <cstdio>

namespace {

// "Reading File " and "..." around the path; a longer path is cut so the text still ends
// with "..." and never runs past the status buffer.
constexpr int kMaxShownPathLength = kTextBufferSize - 1 - 13 - 3;

void SendStatus(WindowHandle window, unsigned message, const char* text) {
    SendWindowReport(window, message, ReportStatus, reinterpret_cast<intptr_t>(text));
}

}  // namespace

bool ReadAndStampImage(const char* path, WindowHandle reportWindow, unsigned reportMessage,
                       uint32_t* endAddress, SRecordObserver* observer) {
    char status[kTextBufferSize];
    std::snprintf(status, sizeof status, "Reading File %.*s...", kMaxShownPathLength, path);
    SendStatus(reportWindow, reportMessage, status);

    int32_t highestOffset = 0;
    if (!ReadImageFile(path, ImageBase, false, &highestOffset, endAddress, observer)) {
        ShowMessage(reportWindow, "Problem with file", "ERROR");
        return false;
    }
    StampImageHeader(ImageBase, *endAddress);
    return true;
}

bool PrepareLoadImage(const char* path, WindowHandle reportWindow, unsigned reportMessage,
                      SignAppFn signApp, LoadFlags flags, const char* exportPath,
                      uint32_t* endAddress) {
    if (!ReadAndStampImage(path, reportWindow, reportMessage, endAddress)) {
        return false;
    }

    // Without a signing entry there is neither signing nor export, whatever the flags say.
    if (signApp != nullptr) {
        CallSignApp(signApp, AppImage, ImageBase, *endAddress);
        if ((flags & LoadFlagExport) != 0) {
            ExportImageSRecords(exportPath, ImageBase, *endAddress, AppImage);
        }
    }

    SendStatus(reportWindow, reportMessage, "File Read...\n");

    if (!IsImageSigned()) {
        ShowMessage(reportWindow, "Can't load unsigned file", "Error");
        return false;
    }
    return true;
}

int LoadJob(CDeviceProgrammer& programmer, const char* path, WindowHandle reportWindow,
            unsigned reportMessage, EventHandle cancelEvent, const char* portName,
            SignAppFn signApp, LoadFlags flags, const char* exportPath) {
    uint32_t endAddress = 0;
    if (!PrepareLoadImage(path, reportWindow, reportMessage, signApp, flags, exportPath,
                          &endAddress)) {
        return 0;
    }
    if ((flags & LoadFlagNoDevice) == 0) {
        // The sequence tells the user of any failure itself; its result changes nothing here.
        programmer.ProgramDevice(AppImage, ImageBase, endAddress, reportWindow, reportMessage,
                                 cancelEvent, portName);
    }
    return 0;
}
