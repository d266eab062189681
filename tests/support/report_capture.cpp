// ReportCapture: the report handler of one window handle for its lifetime, keeping every load
// report in order, with a status text copied while the report is handled.
#include "tests/support/report_capture.h"

ReportCapture::ReportCapture(WindowHandle window) : m_window(window) {
    SetReportHandler(window, [this](unsigned message, uintptr_t kind, intptr_t value) {
        std::string text;
        if (kind == 0 && value != 0) {
            text = reinterpret_cast<const char*>(value);
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_reports.push_back({message, kind, value, text});
    });
}

ReportCapture::~ReportCapture() {
    SetReportHandler(m_window, nullptr);
}

std::vector<CapturedReport> ReportCapture::Reports() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_reports;
}

std::vector<std::string> ReportCapture::StatusTexts() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::string> texts;
    for (const auto& r : m_reports) {
        if (r.kind == 0) {
            texts.push_back(r.text);
        }
    }
    return texts;
}
