// The load job without an instrument: read failures, the signature check, signing and export
// under the flags, the reading line for any path length.  Runs on both platforms.
#include "job/load_job.h"
#include "job/load_job_test_support.h"

#include "image/app_image.h"
#include "image/image_header.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

using namespace load_job_test;
using Events = std::vector<std::string>;

namespace {

const WindowHandle kWindow = reinterpret_cast<WindowHandle>(0x7A01);
// A port that exists nowhere: a job that opened it would show "Can't Open no-such-port".
const char* const kNoPort = "no-such-port";

int RunJob(const std::string& path, SignAppFn sign, LoadFlags flags,
           const std::string& exportPath) {
    CDeviceProgrammer programmer;
    return LoadJob(programmer, path.c_str(), kWindow, WM_LOAD_REPORT, nullptr, kNoPort, sign, flags,
                   exportPath.c_str());
}

std::string Reading(const std::string& path) {
    return "status: Reading File " + path + "...";
}

// The stand-in signing library that the build makes beside the tests.
SignAppFn StandInSignApp() {
    static SignAppFn entry = FindSignEntry(LoadSignLibrary(StandInLibraryPath().c_str()));
    return entry;
}

}  // namespace

TEST(LoadJobRead, EmptyFileIsAProblemAndEndsAfterTheReadingLine) {
    TempDir dir;
    const std::string path = dir.Write("EMPTY.A37", "");
    EventLog log(kWindow);
    EXPECT_EQ(RunJob(path, nullptr, 0, dir.File("ROVOD.A37")), 0);
    EXPECT_EQ(log.Events(), (Events{Reading(path), "box ERROR: Problem with file"}));
    EXPECT_EQ(log.Owners(), (std::vector<WindowHandle>{kWindow}));
    EXPECT_TRUE(log.OtherKinds().empty());
}

TEST(LoadJobRead, MissingFileShowsTheReadersMessageThenProblem) {
    TempDir dir;
    const std::string path = dir.File("MISSING.A37");
    EventLog log(kWindow);
    // Even with a signing entry and the export flag nothing is signed or written.
    EXPECT_EQ(
        RunJob(path, SignWithPattern, LoadFlagNoDevice | LoadFlagExport, dir.File("ROVOD.A37")), 0);
    EXPECT_EQ(log.Events(), (Events{Reading(path), "box Error: Can't Open File",
                                    "box ERROR: Problem with file"}));
    EXPECT_FALSE(std::filesystem::exists(dir.File("ROVOD.A37")));
}

TEST(LoadJobRead, ReadingLineIsBoundedForAnyPathLength) {
    TempDir dir;
    for (size_t length : {200u, 239u, 240u, 255u, 300u, 4000u}) {
        const std::string path = dir.File(std::string(length, 'p'));
        EventLog log(kWindow);
        RunJob(path, nullptr, 0, dir.File("ROVOD.A37"));
        const Events events = log.Events();
        ASSERT_FALSE(events.empty());
        const std::string status = events[0].substr(std::string("status: ").size());
        EXPECT_LE(status.size(), 255u) << length;
        EXPECT_EQ(status.rfind("Reading File ", 0), 0u);
        EXPECT_EQ(status.substr(status.size() - 3), "...");
        if (path.size() <= 239) {
            EXPECT_EQ(events[0], Reading(path));
        }
    }
}

TEST(LoadJobSignature, UnsignedFileIsRefusedAfterFileReadWithoutOpeningAPort) {
    TempDir dir;
    const std::string path = dir.Write("APP.A37", UnsignedFile());
    for (LoadFlags flags : {LoadFlags{0}, LoadFlags{LoadFlagNoDevice | LoadFlagExport}}) {
        EventLog log(kWindow);
        EXPECT_EQ(RunJob(path, nullptr, flags, dir.File("ROVOD.A37")), 0);
        EXPECT_EQ(log.Events(), (Events{Reading(path), "status: File Read...\n",
                                        "box Error: Can't load unsigned file"}))
            << int(flags);
        EXPECT_EQ(log.Owners(), (std::vector<WindowHandle>{kWindow}));
        EXPECT_EQ(log.MessageIds(), (std::vector<unsigned>{WM_LOAD_REPORT, WM_LOAD_REPORT}));
        // Without a signing entry no export happens, whatever the flags say.
        EXPECT_FALSE(std::filesystem::exists(dir.File("ROVOD.A37")));
    }
}

TEST(LoadJobSignature, ImageIsStampedBeforeTheCheck) {
    TempDir dir;
    const std::string path = dir.Write("APP.A37", SignedFile());
    EventLog log(kWindow);
    RunJob(path, nullptr, LoadFlagNoDevice, dir.File("ROVOD.A37"));
    EXPECT_EQ(log.Events(), (Events{Reading(path), "status: File Read...\n"}));
    // Start = base + 0x100 and end = the highest byte stored, big-endian, in the header.
    EXPECT_EQ(std::vector<uint8_t>(AppImage, AppImage + 6),
              (std::vector<uint8_t>{0x42, 0x01, 0x00, 0x42, 0x01, 0x3F}));
}

TEST(LoadJobSigning, EntrySignsAndExportsBeforeFileReadWithFlags3) {
    TempDir dir;
    const std::string path = dir.Write("APP.A37", UnsignedFile());
    const std::string exportPath = dir.File("ROVOD.A37");
    EventLog log(kWindow);
    EXPECT_EQ(RunJob(path, SignWithPattern, LoadFlagNoDevice | LoadFlagExport, exportPath), 0);
    const Events events = log.Events();
    // The export's two messages come between the reading line and "File Read...\n"; the
    // signed image passes, and no port is opened.
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0], Reading(path));
    EXPECT_EQ(events[1].rfind("box Scrotum: Start:4325376 (420000) Max:4325695 (42013F)", 0), 0u);
    EXPECT_EQ(events[2].rfind("box Scrotum: Start:", 0), 0u);
    EXPECT_EQ(events[3], "status: File Read...\n");
    const std::string exported = TempDir::Read(exportPath);
    // 0x13F bytes in records of 16: 20 lines of 46 bytes; the second carries the signature.
    EXPECT_EQ(exported.size(), 20u * 46u);
    EXPECT_EQ(exported.substr(46, 40), "S214420010A0A1A2A3A4A5A6A7A8A9AAABACADAE");
}

TEST(LoadJobSigning, ExportStillHappensWhenTheEntryLeavesTheImageUnsigned) {
    TempDir dir;
    const std::string path = dir.Write("APP.A37", UnsignedFile());
    const std::string exportPath = dir.File("ROVOD.A37");
    EventLog log(kWindow);
    RunJob(path, SignNothing, LoadFlagNoDevice | LoadFlagExport, exportPath);
    const Events events = log.Events();
    ASSERT_EQ(events.size(), 5u);
    EXPECT_EQ(events[3], "status: File Read...\n");
    EXPECT_EQ(events[4], "box Error: Can't load unsigned file");
    EXPECT_TRUE(std::filesystem::exists(exportPath));
}

TEST(LoadJobSigning, NoDeviceWithoutTheExportBitSignsButWritesNoFile) {
    TempDir dir;
    const std::string path = dir.Write("APP.A37", UnsignedFile());
    const std::string exportPath = dir.File("ROVOD.A37");
    EventLog log(kWindow);
    // Flags 1 with an entry: signed, checked, not exported, no port.
    RunJob(path, SignWithPattern, LoadFlagNoDevice, exportPath);
    EXPECT_EQ(log.Events(), (Events{Reading(path), "status: File Read...\n"}));
    EXPECT_FALSE(std::filesystem::exists(exportPath));
}

TEST(LoadJobSigning, StandInLibrarySignsAnUnsignedImage) {
    SignAppFn signApp = StandInSignApp();
    ASSERT_NE(signApp, nullptr) << ORVANE_STAND_IN_SIGN_LIBRARY;
    TempDir dir;
    const std::string path = dir.Write("APP.A37", UnsignedFile());
    const std::string exportPath = dir.File("ROVOD.A37");
    EventLog log(kWindow);
    EXPECT_EQ(RunJob(path, signApp, LoadFlagNoDevice | LoadFlagExport, exportPath), 0);
    const Events events = log.Events();
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[3], "status: File Read...\n");
    EXPECT_TRUE(IsImageSigned());
    EXPECT_EQ(TempDir::Read(exportPath).size(), 20u * 46u);
}

TEST(LoadJobDevice, SignedImageGoesToThePortOfTheJobWithTheReportWindowAsOwner) {
    TempDir dir;
    const std::string path = dir.Write("APP.A37", SignedFile());
    EventLog log(kWindow);
    EXPECT_EQ(RunJob(path, nullptr, 0, dir.File("ROVOD.A37")), 0);
    EXPECT_EQ(log.Events(), (Events{Reading(path), "status: File Read...\n",
                                    "box Error: Can't Open no-such-port"}));
    EXPECT_EQ(log.Owners(), (std::vector<WindowHandle>{kWindow}));
}
