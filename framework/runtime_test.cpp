// The runtime seam behaves the same on both platforms: auto-reset cancel events, the
// program's name as the caption a message leaves out, reports routed by window handle.
#include "framework/runtime.h"
#include "tests/support/message_capture.h"
#include "tests/support/report_capture.h"

#include <gtest/gtest.h>

TEST(CancelEvent, PollSeesOneSignalOnceAndResetsIt) {
    EventHandle event = CreateCancelEvent();
    ASSERT_NE(event, nullptr);
    EXPECT_FALSE(PollCancelEvent(event));
    SignalCancelEvent(event);
    SignalCancelEvent(event);  // a second signal before the poll is the same signal
    EXPECT_TRUE(PollCancelEvent(event));
    EXPECT_FALSE(PollCancelEvent(event));
    CloseCancelEvent(event);
}

TEST(CancelEvent, NullEventIsNeverSignalled) {
    SignalCancelEvent(nullptr);
    EXPECT_FALSE(PollCancelEvent(nullptr));
}

TEST(Messages, MissingCaptionShowsTheProgramName) {
    MessageCapture capture;
    ShowMessage(nullptr, "Scrotum", nullptr);
    ShowMessage(reinterpret_cast<WindowHandle>(0x10), "Problem with file", "ERROR");
    const auto messages = capture.Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].caption, ProgramName());
    EXPECT_EQ(std::string(ProgramName()), "runtime_test");
    EXPECT_EQ(messages[1], (CapturedMessage{reinterpret_cast<WindowHandle>(0x10),
                                            "Problem with file", "ERROR"}));
}

TEST(Reports, GoOnlyToTheHandlerOfTheirWindow) {
    ReportCapture first(reinterpret_cast<WindowHandle>(0x100));
    ReportCapture second(reinterpret_cast<WindowHandle>(0x200));
    SendWindowReport(first.Window(), 0x401, 0, reinterpret_cast<intptr_t>("Status line\n"));
    SendWindowReport(second.Window(), 0x401, 2, 640);
    ASSERT_EQ(first.Reports().size(), 1u);
    EXPECT_EQ(first.Reports()[0],
              (CapturedReport{0x401, 0, first.Reports()[0].value, "Status line\n"}));
    ASSERT_EQ(second.Reports().size(), 1u);
    EXPECT_EQ(second.Reports()[0].value, 640);
}

TEST(Libraries, MissingLibraryAndEntryGiveNull) {
    EXPECT_EQ(LoadLibraryAt("no-such-directory/no-such-library"), nullptr);
    EXPECT_EQ(FindLibraryEntry(nullptr, "SignApp"), nullptr);
}
