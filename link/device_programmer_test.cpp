// The programming sequence end to end against the simulated instrument: whole and partial
// images, what reaches the flash, the reports in order, and cancels.
#include "link/device_programmer.h"

#include "link/device_programmer_test_support.h"

#include <gtest/gtest.h>

namespace {

using namespace programmer_test;

using ProgramDeviceTest = ProgrammerTest;

TEST_F(ProgramDeviceTest, AFullImageReachesTheFlashWithItsReportsInOrder) {
    // The load job's end is the address of the highest byte stored: 0x45FFFF.
    ASSERT_EQ(Program(ImageSize - 1), 1);
    EXPECT_TRUE(m_messages.All().empty());
    EXPECT_FALSE(m_programmer.m_link.m_serial.IsOpen());

    const auto& all = m_reports.All();
    ASSERT_EQ(all.size(), 4u + 4096u + 1u);
    for (const auto& r : all) {
        EXPECT_EQ(r.message, WM_LOAD_REPORT);
    }
    EXPECT_EQ(all[0].kind, ReportStatus);
    EXPECT_EQ(all[0].text, kLooking);
    EXPECT_EQ(all[1].kind, ReportTotal);
    EXPECT_EQ(all[1].value, static_cast<intptr_t>(ImageSize - 1));
    EXPECT_EQ(all[2].text, kFound);
    EXPECT_EQ(all[3].text, kLoading);
    for (size_t i = 0; i < 4096; ++i) {
        ASSERT_EQ(all[4 + i].kind, ReportProgress) << i;
        ASSERT_EQ(all[4 + i].value, static_cast<intptr_t>((i + 1) * 64)) << i;
    }
    EXPECT_EQ(all.back().kind, ReportStatus);
    EXPECT_EQ(all.back().text, kDone);

    const sim::Report report = SimReport();
    EXPECT_EQ(m_sim->Flash(), m_image);
    EXPECT_EQ(report.flashDigest, sim::FlashDigestOf(m_image.data(), m_image.size()));
    ASSERT_EQ(report.sessions.size(), 1u);
    const auto& session = report.sessions[0];
    EXPECT_TRUE(session.completed);
    EXPECT_EQ(session.erased, kAllSectors);
    EXPECT_EQ(session.blocksWritten, 4096u);
    EXPECT_EQ(session.etxRuns, 2u);
    EXPECT_EQ(session.phases,
              (std::vector<std::string>{"sif", "identify", "erase", "baud", "blocks", "tst"}));
}

TEST_F(ProgramDeviceTest, AnEmptyRangeStillErasesAllFourSectorsAndFinishes) {
    ASSERT_EQ(Program(0), 1);
    EXPECT_TRUE(m_messages.All().empty());
    EXPECT_EQ(m_reports.StatusTexts(),
              (std::vector<std::string>{kLooking, kFound, kLoading, kDone}));
    EXPECT_EQ(m_reports.Values(ReportTotal), std::vector<intptr_t>{0});
    EXPECT_TRUE(m_reports.Values(ReportProgress).empty());

    const sim::Report report = SimReport();
    ASSERT_EQ(report.sessions.size(), 1u);
    EXPECT_EQ(report.sessions[0].erased, kAllSectors);
    EXPECT_EQ(report.sessions[0].blocksWritten, 0u);
    EXPECT_TRUE(report.sessions[0].completed);
    EXPECT_EQ(m_sim->Flash(), std::vector<uint8_t>(sim::kFlashSize, 0xFF));
}

TEST_F(ProgramDeviceTest, ARangeOfPartBlocksEndsWithAWholeLastBlock) {
    // 1000 bytes: 15 blocks and 40 bytes, so a 16th block with 24 bytes from the end on.
    ASSERT_EQ(Program(1000), 1);
    EXPECT_EQ(m_reports.Values(ReportTotal), std::vector<intptr_t>{1000});
    const auto progress = m_reports.Values(ReportProgress);
    ASSERT_EQ(progress.size(), 16u);
    EXPECT_EQ(progress.back(), 1024);  // 24 more than the total

    SimReport();
    EXPECT_EQ(m_sim->Flash(), FlashHolding(m_image, 1024));
}

TEST_F(ProgramDeviceTest, ARangeOfWholeBlocksStopsShortOfTheEndAddressDespiteStaleBytes) {
    // The instrument sends stray bytes before every reply is due: each purge must drop them.
    sim::Options options;
    options.staleBytes = true;
    StartSim(options);

    ASSERT_EQ(Program(0x1000), 1);
    EXPECT_TRUE(m_messages.All().empty());
    const auto progress = m_reports.Values(ReportProgress);
    ASSERT_EQ(progress.size(), 64u);
    EXPECT_EQ(progress.back(), 0x1000);

    const sim::Report report = SimReport();
    ASSERT_EQ(report.sessions.size(), 1u);
    EXPECT_EQ(report.sessions[0].highestBlockEnd, ImageBase + 0x1000);
    const auto flash = m_sim->Flash();
    EXPECT_EQ(flash, FlashHolding(m_image, 0x1000));
    EXPECT_EQ(flash[0x1000], 0xFF);  // the byte at the end address itself is not sent
    EXPECT_NE(m_image[0x1000], 0xFF);
}

TEST_F(ProgramDeviceTest, ACancelBeforeTheFirstBlockLeavesTheInstrumentErasedAt115200) {
    SignalCancelEvent(m_cancel);
    EXPECT_EQ(Program(ImageSize - 1), 0);
    EXPECT_TRUE(m_messages.All().empty());  // the user asked for it
    EXPECT_EQ(m_reports.StatusTexts(), (std::vector<std::string>{kLooking, kFound, kLoading}));
    EXPECT_TRUE(m_reports.Values(ReportProgress).empty());
    EXPECT_FALSE(m_programmer.m_link.m_serial.IsOpen());
    EXPECT_EQ(m_programmer.m_link.m_serial.BaudRate(), 115200);
    EXPECT_FALSE(PollCancelEvent(m_cancel));  // the poll that saw it also reset it

    const sim::Report report = SimReport();
    ASSERT_EQ(report.sessions.size(), 1u);
    EXPECT_EQ(report.sessions[0].erased, kAllSectors);
    EXPECT_EQ(report.sessions[0].blocksWritten, 0u);
    EXPECT_FALSE(report.sessions[0].completed);
    EXPECT_EQ(m_sim->Flash(), std::vector<uint8_t>(sim::kFlashSize, 0xFF));
}

TEST_F(ProgramDeviceTest, ACancelMidwayStopsAfterTheBlockInFlightAndTheNextRunStartsAfresh) {
    m_reports.cancelEvent = m_cancel;
    m_reports.cancelAtProgress = 10;
    EXPECT_EQ(Program(ImageSize - 1), 0);
    EXPECT_TRUE(m_messages.All().empty());
    EXPECT_EQ(m_reports.Values(ReportProgress).size(), 10u);
    EXPECT_EQ(m_reports.All().back().kind, ReportProgress);  // no status after it
    EXPECT_FALSE(m_programmer.m_link.m_serial.IsOpen());
    EXPECT_EQ(m_programmer.m_link.m_serial.BaudRate(), 115200);

    sim::Report report = SimReport();
    ASSERT_EQ(report.sessions.size(), 1u);
    EXPECT_EQ(report.sessions[0].blocksWritten, 10u);
    EXPECT_EQ(m_sim->Flash(), FlashHolding(m_image, 640));

    // The next load on the same programmer starts afresh and goes through.
    m_reports.cancelAtProgress = 0;
    EXPECT_EQ(Program(0x2000), 1);
    EXPECT_TRUE(m_messages.All().empty());
    EXPECT_FALSE(m_programmer.m_link.m_serial.IsOpen());
    report = SimReport();
    ASSERT_EQ(report.sessions.size(), 2u);
    EXPECT_TRUE(report.sessions[1].completed);
    EXPECT_EQ(m_sim->Flash(), FlashHolding(m_image, 0x2000));
}

}  // namespace
