// Receives the load reports sent to one (fake) window handle and keeps them in order.
#pragma once

#include "framework/runtime.h"

#include <mutex>
#include <string>
#include <vector>

struct CapturedReport {
    unsigned message;
    uintptr_t kind;
    intptr_t value;
    std::string text;  // the status text, copied while the report was handled (kind 0)

    bool operator==(const CapturedReport&) const = default;
};

class ReportCapture {
public:
    // Registers for the given handle; any non-null value serves as a window.
    explicit ReportCapture(WindowHandle window = reinterpret_cast<WindowHandle>(0x5150));
    ~ReportCapture();
    ReportCapture(const ReportCapture&) = delete;
    ReportCapture& operator=(const ReportCapture&) = delete;

    WindowHandle Window() const { return m_window; }
    std::vector<CapturedReport> Reports() const;
    // The status texts (kind 0), in order.
    std::vector<std::string> StatusTexts() const;

private:
    WindowHandle m_window;
    mutable std::mutex m_mutex;
    std::vector<CapturedReport> m_reports;
};
