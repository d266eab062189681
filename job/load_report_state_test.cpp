// The progress window's report state: the byte text on every tenth progress report counted
// over the whole run, the total resetting done, and a progress before any total.
#include "job/load_report_state.h"

#include <gtest/gtest.h>

#include <string>

namespace {

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
