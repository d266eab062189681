// The progress window's report state: the byte text on every tenth progress report counted
// over the whole run, the total resetting done, and percentages that never divide by zero.
#include "job/load_report_state.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Format(int32_t done, int32_t total) {
    char text[kByteTextSize];
    FormatByteText(done, total, text, sizeof text);
    return text;
}

// Runs `reports` progress reports of one job and returns at which of them (1-based) the byte
// text was shown.
std::vector<int> ShownAt(CLoadReportState& state, int32_t total, int reports) {
    std::vector<int> shown;
    state.OnTotal(total);
    for (int n = 1; n <= reports; ++n) {
        if (state.OnProgress(64 * n)) {
            shown.push_back(n);
        }
    }
    return shown;
}

}  // namespace

TEST(ByteText, FormatsDoneTotalAndTruncatedPercent) {
    EXPECT_EQ(Format(6400, 65536), "6400 of 65536 bytes (9%)");
    EXPECT_EQ(Format(65536, 65536), "65536 of 65536 bytes (100%)");
    EXPECT_EQ(Format(1024, 1000), "1024 of 1000 bytes (102%)");
    // The largest image: 0x40000 * 100 still fits in 32 bits.
    EXPECT_EQ(Format(0x40000, 0x40000), "262144 of 262144 bytes (100%)");
}

TEST(ByteText, TotalOfZeroShowsZeroPercent) {
    EXPECT_EQ(Format(64, 0), "64 of 0 bytes (0%)");
    EXPECT_EQ(Format(0, 0), "0 of 0 bytes (0%)");
}

TEST(ByteText, NeverRunsPastASmallBuffer) {
    char text[8];
    FormatByteText(6400, 65536, text, sizeof text);
    EXPECT_EQ(std::string(text), "6400 of");
}

TEST(ReportState, ByteTextShownAtEveryTenthReportCountedOverTheRun) {
    CLoadReportState state;
    EXPECT_EQ(ShownAt(state, 4096 * 64, 35), (std::vector<int>{10, 20, 30}));
    EXPECT_EQ(state.Counter(), 5);
    // The next job goes on counting: its byte text first changes at its 5th report.
    EXPECT_EQ(ShownAt(state, 4096 * 64, 16), (std::vector<int>{5, 15}));
}

TEST(ReportState, TotalResetsDoneButKeepsTheCounterAndText) {
    CLoadReportState state;
    state.OnTotal(1000);
    state.OnProgress(640);
    EXPECT_EQ(std::string(state.ByteText()), "640 of 1000 bytes (64%)");
    state.OnTotal(5000);
    EXPECT_EQ(state.Total(), 5000);
    EXPECT_EQ(state.Done(), 0);
    EXPECT_EQ(state.Counter(), 1);
    state.OnProgress(64);
    EXPECT_EQ(std::string(state.ByteText()), "64 of 5000 bytes (1%)");
}

TEST(ReportState, ProgressBeforeAnyTotalShowsZeroPercent) {
    CLoadReportState state;
    state.OnProgress(128);
    EXPECT_EQ(std::string(state.ByteText()), "128 of 0 bytes (0%)");
}
