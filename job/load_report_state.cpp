// The progress window's report state and its byte count text.
#include "job/load_report_state.h"

#include <cstdio>

namespace {
constexpr int32_t kReportsPerTextUpdate = 10;
}

void FormatByteText(int32_t done, int32_t total, char* text, int size) {
    const uint32_t percent =
        total == 0 ? 0u : static_cast<uint32_t>(done) * 100u / static_cast<uint32_t>(total);
    std::snprintf(text, static_cast<size_t>(size), "%d of %d bytes (%d%c)", done, total,
                  static_cast<int>(percent), '%');
}

void CLoadReportState::OnTotal(int32_t total) {
    m_done = 0;
    m_total = total;
}

bool CLoadReportState::OnProgress(int32_t done) {
    m_done = done;
    FormatByteText(m_done, m_total, m_byteText, sizeof m_byteText);
    m_counter = (m_counter + 1) % kReportsPerTextUpdate;
    return m_counter == 0;
}
