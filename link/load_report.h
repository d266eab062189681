// The load report: how the programming sequence and a load job talk to the progress window
// (or any other front end that registers for the reports).  It lives with the sequence, the
// lowest layer that sends reports, so that every sender and receiver sees it below itself.
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
