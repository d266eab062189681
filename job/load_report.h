// The load report: how a load job and the programming sequence talk to the progress
// window, and the flags of a load job.
#pragma once

#include <cstdint>

// WM_USER + 1: first parameter the kind, second the kind's value.
constexpr unsigned WM_LOAD_REPORT = 0x0401;

enum LoadReportKind : uintptr_t {
    ReportStatus = 0,    // value: address of a zero-terminated status text
    ReportTotal = 1,     // value: the number of bytes programming will send
    ReportProgress = 2,  // value: the bytes sent so far
    ReportEnd = 3,       // value: the job's result; ends the progress window
};

using LoadFlags = uint8_t;
constexpr LoadFlags LoadFlagNoDevice = 0x01;  // stop after the signature check
constexpr LoadFlags LoadFlagExport = 0x02;    // export the signed image as S-records
