// The progress window under wine: the job's boxes owned by the open window, the reports on
// the real controls, the end report closing it, and Cancel (button, Escape, close box)
// closing it at once, signalling the job's cancel event, and making the next activity wait
// for the job's end.
#include "job/load_progress_dlg.h"

#include "job/load_job_test_support.h"
#include "job/load_progress_ids.h"
#include "link/load_report.h"
#include "tests/support/dialog_driver.h"
#include "tests/support/temp_dir.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

using namespace dialog_driver;

namespace {

struct SeenBox {
    HWND owner;
    std::string text;
    std::string caption;
    std::string windowCaption;  // of the owner, while the box was up
    std::string status;
    std::string bytes;
};

// Records every message box, with what its owner window showed at that moment; `onBox`
// runs on the thread that shows the box (the worker for a job's boxes).
class BoxLog {
public:
    explicit BoxLog(std::function<void(const SeenBox&)> onBox = nullptr)
        : m_onBox(std::move(onBox)) {
        m_previous =
            SetMessageHandler([this](WindowHandle owner, const char* text, const char* caption) {
                SeenBox box{static_cast<HWND>(owner), text, caption, "", "", ""};
                if (box.owner != nullptr && IsWindow(box.owner)) {
                    box.windowCaption = WindowText(box.owner);
                    box.status = ItemText(box.owner, IDC_STATUS_TEXT);
                    box.bytes = ItemText(box.owner, IDC_BYTES_TEXT);
                }
                {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    m_boxes.push_back(box);
                }
                if (m_onBox) {
                    m_onBox(box);
                }
            });
    }
    ~BoxLog() { SetMessageHandler(m_previous); }
    std::vector<SeenBox> Boxes() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_boxes;
    }

private:
    std::function<void(const SeenBox&)> m_onBox;
    mutable std::mutex m_mutex;
    std::vector<SeenBox> m_boxes;
    MessageHandler m_previous;
};

class ProgressWindow : public ::testing::Test {
protected:
    void SetUp() override {
        if (!WindowsAvailable()) {
            GTEST_SKIP() << "no display for windows";
        }
        InitDialogControls();
    }
    TempDir m_dir;
};

int BarPosition(HWND dialog) {
    return static_cast<int>(SendDlgItemMessageA(dialog, IDC_PROGRESS_BAR, PBM_GETPOS, 0, 0));
}

}  // namespace

TEST_F(ProgressWindow, FailedReadIsToldOverTheOpenWindowWhichTheEndReportCloses) {
    const std::string path = m_dir.File("MISSING.A37");
    BoxLog log;
    CLoadProgressDlg dialog;
    EXPECT_EQ(dialog.RunJob(path.c_str(), "COM1:", nullptr, 0), 1);
    EXPECT_EQ(dialog.GetHwnd(), nullptr);

    const auto boxes = log.Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text, "Can't Open File");  // the reader's own, without owner
    EXPECT_EQ(boxes[0].owner, nullptr);
    EXPECT_EQ(boxes[1].text, "Problem with file");
    EXPECT_EQ(boxes[1].caption, "ERROR");
    EXPECT_EQ(boxes[1].windowCaption, "Loading Vyra");
    EXPECT_EQ(boxes[1].status, "Reading File " + path + "...");
    EXPECT_EQ(boxes[1].bytes, "Progress");  // no total came: the placeholder stays
    EXPECT_FALSE(IsWindow(boxes[1].owner));
    dialog.WaitForIdle();
    EXPECT_FALSE(dialog.JobRunning());
}

TEST_F(ProgressWindow, ReportsReachTheControlsAndTheByteTextChangesEveryTenth) {
    const std::string path = m_dir.Write("APP.A37", load_job_test::UnsignedFile());
    struct Seen {
        std::string bytesAfterTotal, bytesAfterNine, bytesAfterTen, bytesAfterEleven;
        std::string status, statusAfterUnknownKind;
        int rangeHigh = -1, posAfterTotal = -1, posAfterNine = -1, posAfterEleven = -1;
    } seen;
    BoxLog log([&](const SeenBox& box) {
        if (box.text != "Can't load unsigned file") {
            return;
        }
        // The worker is inside the job: report as the programming sequence would.
        HWND w = box.owner;
        auto report = [w](uintptr_t kind, intptr_t value) {
            SendWindowReport(w, WM_LOAD_REPORT, kind, value);
        };
        report(ReportTotal, 1000);
        seen.bytesAfterTotal = ItemText(w, IDC_BYTES_TEXT);
        seen.rangeHigh =
            static_cast<int>(SendDlgItemMessageA(w, IDC_PROGRESS_BAR, PBM_GETRANGE, FALSE, 0));
        seen.posAfterTotal = BarPosition(w);
        // This is the only test of the program run that sends progress: the run's report
        // counter starts at 0 here.
        for (int n = 1; n <= 9; ++n) {
            report(ReportProgress, 64 * n);
        }
        seen.bytesAfterNine = ItemText(w, IDC_BYTES_TEXT);
        seen.posAfterNine = BarPosition(w);
        report(ReportProgress, 640);
        seen.bytesAfterTen = ItemText(w, IDC_BYTES_TEXT);
        report(ReportProgress, 1024);  // past the total: the text is not due, the bar stops
        seen.bytesAfterEleven = ItemText(w, IDC_BYTES_TEXT);
        seen.posAfterEleven = BarPosition(w);
        const char* lines = "Vyra Found...\nErasing Program Memory...\n";
        report(ReportStatus, reinterpret_cast<intptr_t>(lines));
        seen.status = ItemText(w, IDC_STATUS_TEXT);
        report(7, 1);
        seen.statusAfterUnknownKind = ItemText(w, IDC_STATUS_TEXT);
    });
    CLoadProgressDlg dialog;
    EXPECT_EQ(dialog.RunJob(path.c_str(), "COM1:", nullptr, 0), 1);

    EXPECT_EQ(seen.bytesAfterTotal, "");
    EXPECT_EQ(seen.rangeHigh, 1000);
    EXPECT_EQ(seen.posAfterTotal, 0);
    EXPECT_EQ(seen.bytesAfterNine, "");
    EXPECT_EQ(seen.posAfterNine, 576);
    EXPECT_EQ(seen.bytesAfterTen, "640 of 1000 bytes (64%)");
    EXPECT_EQ(seen.bytesAfterEleven, "640 of 1000 bytes (64%)");
    EXPECT_EQ(seen.posAfterEleven, 1000);
    EXPECT_EQ(seen.status, "Vyra Found...\nErasing Program Memory...\n");
    EXPECT_EQ(seen.statusAfterUnknownKind, seen.status);
}

struct Closer {
    const char* name;
    void (*close)(HWND dialog);
};

class ProgressWindowClose : public ProgressWindow, public ::testing::WithParamInterface<Closer> {};

TEST_P(ProgressWindowClose, ClosesAtOnceSignalsTheJobAndTheNextActivityWaitsForIt) {
    const std::string path = m_dir.Write("APP.A37", load_job_test::UnsignedFile());
    HANDLE proceed = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::mutex mutex;
    std::vector<std::string> order;
    auto note = [&](const std::string& what) {
        std::lock_guard<std::mutex> lock(mutex);
        order.push_back(what);
    };
    bool closedWhileBoxUp = false;
    BoxLog log([&](const SeenBox& box) {
        if (box.text != "Can't load unsigned file") {
            return;
        }
        // The user closes the window while the job's box is still up; the job goes on
        // only once the test lets it, and then takes a little longer still.
        GetParam().close(box.owner);
        closedWhileBoxUp = WaitUntil([&] { return !IsWindow(box.owner); });
        WaitForSingleObject(proceed, 10000);
        Sleep(200);
        note("job box closed");
    });

    CLoadProgressDlg dialog;
    EXPECT_EQ(dialog.RunJob(path.c_str(), "COM1:", nullptr, 0), 1);
    note("window closed");
    EXPECT_TRUE(dialog.JobRunning());
    // The cancel event the job was given is signalled, and still valid while the job runs.
    EXPECT_TRUE(PollCancelEvent(dialog.m_hCancelEvent));

    SetEvent(proceed);
    dialog.RunKickStart("no-such-port");  // waits for the job before it opens any port
    note("kick-start done");
    EXPECT_FALSE(dialog.JobRunning());
    CloseHandle(proceed);

    EXPECT_TRUE(closedWhileBoxUp);
    EXPECT_EQ(order,
              (std::vector<std::string>{"window closed", "job box closed", "kick-start done"}));
    const auto boxes = log.Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[1].text, "Can't Open no-such-port");
    EXPECT_EQ(boxes[1].owner, nullptr);  // the window is not open during a kick-start
}

INSTANTIATE_TEST_SUITE_P(
    AllWays, ProgressWindowClose,
    ::testing::Values(Closer{"CancelButton", [](HWND w) { PostClick(w, IDCANCEL); }},
                      Closer{"CloseBox", [](HWND w) { PostMessageA(w, WM_CLOSE, 0, 0); }},
                      Closer{"Escape",
                             [](HWND w) {
                                 HWND button = GetDlgItem(w, IDCANCEL);
                                 PostMessageA(button, WM_KEYDOWN, VK_ESCAPE, 0);
                                 PostMessageA(button, WM_KEYUP, VK_ESCAPE, 0);
                             }},
                      Closer{"Enter", [](HWND w) { PostClick(w, IDOK); }}),
    [](const ::testing::TestParamInfo<Closer>& p) { return std::string(p.param.name); });
