// The load job programming the simulated instrument: the whole road of a reload, signing on
// the way, and the cancel event handed on to the programming.
#include "job/load_job.h"
#include "job/load_job_test_support.h"

#include "image/app_image.h"
#include "sim/simulated_instrument.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

using namespace load_job_test;
using Events = std::vector<std::string>;

namespace {

const WindowHandle kWindow = reinterpret_cast<WindowHandle>(0x7A02);

const Events kProgrammingStatus = {
    "status: Looking For Vyra...\n",
    "status: Vyra Found...\nErasing Program Memory...\n",
    "status: Vyra Found...\nErasing Program Memory...\nLoading Application...\n",
    "status: Done\n",
};

struct Instrument {
    sim::SimulatedInstrument sim;
    Instrument() { EXPECT_TRUE(sim.Start()); }
    const char* Port() const { return sim.PortPath().c_str(); }
};

SignAppFn StandInSignApp() {
    static SignAppFn entry = FindSignEntry(LoadSignLibrary(StandInLibraryPath().c_str()));
    return entry;
}

}  // namespace

TEST(LoadJobProgramming, SignedFileIsProgrammedWithFlags0AndNoEntry) {
    TempDir dir;
    const std::string path = dir.Write("APP.A37", SignedFile());
    Instrument instrument;
    EventLog log(kWindow);
    CDeviceProgrammer programmer;
    EXPECT_EQ(LoadJob(programmer, path.c_str(), kWindow, WM_LOAD_REPORT, nullptr, instrument.Port(),
                      nullptr, 0, dir.File("ROVOD.A37").c_str()),
              0);
    Events expected = {"status: Reading File " + path + "...", "status: File Read...\n"};
    expected.insert(expected.end(), kProgrammingStatus.begin(), kProgrammingStatus.end());
    EXPECT_EQ(log.Events(), expected);
    // Total once, then one progress report per block: 0x13F bytes are five blocks.
    EXPECT_EQ(log.OtherKinds(), (std::vector<int>{1, 2, 2, 2, 2, 2}));

    instrument.sim.Stop();
    const sim::Report report = instrument.sim.GetReport();
    ASSERT_EQ(report.sessions.size(), 1u);
    EXPECT_TRUE(report.sessions[0].completed);
    EXPECT_EQ(report.sessions[0].blocksWritten, 5u);
    EXPECT_TRUE(report.violations.empty());
    const std::vector<uint8_t> flash = instrument.sim.Flash();
    EXPECT_TRUE(std::equal(AppImage, AppImage + 0x140, flash.begin()));
    EXPECT_FALSE(std::filesystem::exists(dir.File("ROVOD.A37")));
}

TEST(LoadJobProgramming, StandInLibrarySignsAndFlags0ProgramsWithoutExport) {
    SignAppFn signApp = StandInSignApp();
    ASSERT_NE(signApp, nullptr) << ORVANE_STAND_IN_SIGN_LIBRARY;
    TempDir dir;
    const std::string path = dir.Write("APP.A37", UnsignedFile());
    Instrument instrument;
    EventLog log(kWindow);
    CDeviceProgrammer programmer;
    EXPECT_EQ(LoadJob(programmer, path.c_str(), kWindow, WM_LOAD_REPORT, nullptr, instrument.Port(),
                      signApp, 0, dir.File("ROVOD.A37").c_str()),
              0);
    EXPECT_EQ(log.Events().back(), "status: Done\n");
    EXPECT_FALSE(std::filesystem::exists(dir.File("ROVOD.A37")));
    instrument.sim.Stop();
    const std::vector<uint8_t> flash = instrument.sim.Flash();
    // The signature the library wrote is what reached the instrument.
    EXPECT_TRUE(std::equal(AppImage, AppImage + 0x140, flash.begin()));
    EXPECT_TRUE(std::any_of(flash.begin() + kSignatureBlockOffset,
                            flash.begin() + kSignatureBlockOffset + kSignatureBlockSize,
                            [](uint8_t b) { return b != 0xFF; }));
}

TEST(LoadJobProgramming, Flags3WithEntryNeverOpensThePort) {
    SignAppFn signApp = StandInSignApp();
    ASSERT_NE(signApp, nullptr);
    TempDir dir;
    const std::string path = dir.Write("APP.A37", UnsignedFile());
    Instrument instrument;
    EventLog log(kWindow);
    CDeviceProgrammer programmer;
    LoadJob(programmer, path.c_str(), kWindow, WM_LOAD_REPORT, nullptr, instrument.Port(), signApp,
            LoadFlagNoDevice | LoadFlagExport, dir.File("ROVOD.A37").c_str());
    EXPECT_EQ(log.Events().back(), "status: File Read...\n");
    EXPECT_TRUE(std::filesystem::exists(dir.File("ROVOD.A37")));
    instrument.sim.Stop();
    EXPECT_TRUE(instrument.sim.Received().empty());
}

TEST(LoadJobProgramming, CancelEventOfTheJobStopsTheBlocks) {
    TempDir dir;
    const std::string path = dir.Write("APP.A37", SignedFile());
    Instrument instrument;
    EventLog log(kWindow);
    CDeviceProgrammer programmer;
    EventHandle cancel = CreateCancelEvent();
    SignalCancelEvent(cancel);
    EXPECT_EQ(LoadJob(programmer, path.c_str(), kWindow, WM_LOAD_REPORT, cancel, instrument.Port(),
                      nullptr, 0, dir.File("ROVOD.A37").c_str()),
              0);
    CloseCancelEvent(cancel);
    EXPECT_EQ(log.Events().back(), kProgrammingStatus[2]);
    instrument.sim.Stop();
    const sim::Report report = instrument.sim.GetReport();
    ASSERT_EQ(report.sessions.size(), 1u);
    EXPECT_EQ(report.sessions[0].blocksWritten, 0u);
    EXPECT_FALSE(report.sessions[0].completed);
}
