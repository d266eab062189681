// What the progress window remembers of the load reports for the whole program run: the
// total, the bytes done, the count of progress reports modulo 10 and the last byte count
// text (job/byte_text.h).
#pragma once

#include "framework/text_buffer.h"

#include <cstdint>

class CLoadReportState {
public:
    // ReportTotal: a new total; done starts again at 0.  The caller empties the byte text
    // control and resets the bar.
    void OnTotal(int32_t total);
    // ReportProgress: formats the byte text and counts the report.  True on every tenth
    // report of the program run, when the caller shows the byte text.
    bool OnProgress(int32_t done);

    int32_t Total() const { return m_total; }
    int32_t Done() const { return m_done; }
    int32_t Counter() const { return m_counter; }
    const char* ByteText() const { return m_byteText; }

private:
    int32_t m_total = 0;
    int32_t m_done = 0;
    int32_t m_counter = 0;
    char m_byteText[kTextBufferSize] = {};
};
