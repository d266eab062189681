// The progress display's texts: rate and time left from the blocks' times, and lines that
// never wrap a terminal.
#include "cli/progress_display.h"

#include <gtest/gtest.h>

namespace {

PortProgress Halfway() {
    PortProgress port;
    port.name = "/dev/serial/by-id/usb-Maker_Adapter_A1B2C3-if00-port0";
    port.phase = "Loading Application...";
    port.hasTotal = true;
    port.total = 262143;
    port.done = 131072;
    port.firstProgress = ProgressClock::time_point{};
    port.lastProgress = port.firstProgress + std::chrono::seconds(14);
    return port;
}

}  // namespace

TEST(ProgressDisplay, RateAndTimeLeftFollowTheBlocks) {
    const PortProgress port = Halfway();
    EXPECT_EQ(SinglePortLine(port, 10),
              "[#####-----] 131072 of 262143 bytes (50%)  9.1 KiB/s  0:14 left");
    PortProgress start = port;
    start.lastProgress = start.firstProgress;  // one block: no rate yet
    EXPECT_EQ(SinglePortLine(start, 4), "[##--] 131072 of 262143 bytes (50%)");
}

TEST(ProgressDisplay, GangLinesKeepThePortsEndAndNeverWrap) {
    PortProgress port = Halfway();
    const std::string line = GangPortLine(port, 20);
    EXPECT_EQ(line.substr(0, 24), "...A1B2C3-if00-port0  Lo");
    EXPECT_EQ(FitToColumns(line, 40).size(), 39u);
    port.finished = true;
    port.phase = "Done";
    EXPECT_EQ(GangPortLine(port, 6),
              "...rt0  Done                        131072 of 262143 bytes (50%)");
    EXPECT_EQ(GangTotalLine({port, Halfway()}, 5),
              "total  1 of 2 ports ended          262144 of 524286 bytes (50%)  9.1 KiB/s");
}
