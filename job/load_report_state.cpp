// The progress window's report state.
#include "job/load_report_state.h"

#include "job/byte_text.h"

namespace {
constexpr int32_t kReportsPerTextUpdate = 10;
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
