// The main window: the port a job gets from the four ints, paths refused rather than cut,
// the minimised icon's place; and under wine the window itself: its state after start-up,
// the radios kept to one, the data exchange of the ordinary OK, and the About box.
#include "app/reloader_dlg.h"

#include "app/resource.h"
#include "tests/support/dialog_driver.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

using namespace dialog_driver;

TEST(PortName, FollowsTheIntsAndIsNeverMadeUpWhenNoneIsChosen) {
    CReloaderDlg dialog;  // no window: the handlers work on the ints alone
    char port[256] = "untouched";
    EXPECT_FALSE(dialog.GetPortName(port, sizeof port));  // all four -1 at construction
    EXPECT_STREQ(port, "untouched");

    dialog.OnCom3();
    EXPECT_TRUE(dialog.GetPortName(port, sizeof port));
    EXPECT_STREQ(port, "COM3:");
    EXPECT_EQ((std::vector<int>{dialog.m_com1, dialog.m_com2, dialog.m_com3, dialog.m_com4}),
              (std::vector<int>{1, 1, 0, 1}));
    dialog.OnCom3();  // the checked radio again: still COM3 alone
    EXPECT_EQ((std::vector<int>{dialog.m_com1, dialog.m_com2, dialog.m_com3, dialog.m_com4}),
              (std::vector<int>{1, 1, 0, 1}));
    dialog.OnCom4();
    dialog.GetPortName(port, sizeof port);
    EXPECT_STREQ(port, "COM4:");

    // As the controls read back: 0 for the checked radio, -1 for the others.
    dialog.m_com1 = -1;
    dialog.m_com2 = 0;
    dialog.m_com3 = -1;
    dialog.m_com4 = -1;
    dialog.GetPortName(port, sizeof port);
    EXPECT_STREQ(port, "COM2:");
}

TEST(ChosenPath, LongerThan255CharactersIsRefusedNotCut) {
    char path[kTextBufferSize] = "before";
    const std::string fits = "C:\\" + std::string(252, 'a');  // 255 characters
    EXPECT_TRUE(AcceptChosenPath(fits.c_str(), path, sizeof path));
    EXPECT_EQ(std::string(path), fits);

    std::strcpy(path, "before");
    const std::string tooLong = fits + "b";
    EXPECT_FALSE(AcceptChosenPath(tooLong.c_str(), path, sizeof path));
    EXPECT_STREQ(path, "before");
}

TEST(MinimisedIcon, IsCentredWithDivisionsThatTruncateTowardsZero) {
    const POINT inBigClient = MinimisedIconOrigin(RECT{0, 0, 100, 51}, 32, 32);
    EXPECT_EQ(inBigClient.x, 34);  // (100 - 32 + 1) / 2
    EXPECT_EQ(inBigClient.y, 10);  // (51 - 32 + 1) / 2
    const POINT inSmallClient = MinimisedIconOrigin(RECT{0, 0, 10, 0}, 32, 32);
    EXPECT_EQ(inSmallClient.x, -10);  // -21 / 2, not -11
    EXPECT_EQ(inSmallClient.y, -15);  // -31 / 2
}

namespace {

struct StartUpState {
    bool found = false;
    bool radios[4] = {};
    bool developerButtons[3] = {};
    int focusId = 0;
    bool aboutItemAfterSeparator = false;
    std::string aboutItemText;
    std::string version;
    bool aboutFound = false;
    bool aboutIcon = false;
    std::string aboutTexts[2];
    bool aboutClosed = false;
    bool onlyCom3AfterClick = false;
};

bool IsAboutItemAfterSeparator(HMENU menu, std::string* text) {
    const int count = GetMenuItemCount(menu);
    for (int i = 1; i < count; ++i) {
        if (GetMenuItemID(menu, i) == IDM_ABOUTBOX) {
            char buffer[256] = {};
            GetMenuStringA(menu, i, buffer, sizeof buffer, MF_BYPOSITION);
            *text = buffer;
            return (GetMenuState(menu, i - 1, MF_BYPOSITION) & MF_SEPARATOR) != 0;
        }
    }
    return false;
}

}  // namespace

TEST(MainWindow, StartsWithCom1AloneAndOkReadsTheRadiosBack) {
    if (!WindowsAvailable()) {
        GTEST_SKIP() << "no display for windows";
    }
    InitDialogControls();
    CReloaderDlg dialog;
    CDialog::SetMainDialog(&dialog);
    StartUpState state;
    std::thread driver([&] {
        HWND w = WaitForOwnWindow("Orvane Field Reloader");
        if (w == nullptr) {
            return;
        }
        state.found = true;
        const int radios[4] = {IDC_COM1, IDC_COM2, IDC_COM3, IDC_COM4};
        for (int i = 0; i < 4; ++i) {
            state.radios[i] = ItemChecked(w, radios[i]);
        }
        const int developer[3] = {IDC_EXPORT_SREC, IDC_LOADER_ARRAY, IDC_BOOTUP_ARRAY};
        for (int i = 0; i < 3; ++i) {
            state.developerButtons[i] = IsWindowVisible(GetDlgItem(w, developer[i])) != FALSE;
        }
        // The dialog thread's focus, once it has one (another program's window may hold the
        // desktop's activation for a moment).
        WaitUntil(
            [&] {
                GUITHREADINFO gui = {};
                gui.cbSize = sizeof gui;
                GetGUIThreadInfo(GetWindowThreadProcessId(w, nullptr), &gui);
                state.focusId = gui.hwndFocus != nullptr ? GetDlgCtrlID(gui.hwndFocus) : 0;
                return state.focusId != 0;
            },
            3000);
        state.aboutItemAfterSeparator =
            IsAboutItemAfterSeparator(GetSystemMenu(w, FALSE), &state.aboutItemText);
        state.version = ItemText(w, IDC_VERSION_TEXT);

        // The About box from the system menu, and its OK.
        PostMessageA(w, WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
        if (HWND about = WaitForOwnWindow("About VELKO")) {
            state.aboutFound = true;
            HWND child = nullptr;
            int texts = 0;
            while ((child = FindWindowExA(about, child, "Static", nullptr)) != nullptr) {
                if ((GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
                    state.aboutIcon = SendMessageA(child, STM_GETICON, 0, 0) != 0;
                } else if (texts < 2) {
                    state.aboutTexts[texts++] = WindowText(child);
                }
            }
            PostClick(about, IDOK);
            state.aboutClosed = WaitUntil([&] { return !IsWindow(about); });
        }

        // A click on "Com 3" leaves it checked alone; Enter reads the radios back.
        SendMessageA(GetDlgItem(w, IDC_COM3), BM_CLICK, 0, 0);
        state.onlyCom3AfterClick = WaitUntil([&] {
            return !ItemChecked(w, IDC_COM1) && !ItemChecked(w, IDC_COM2) &&
                   ItemChecked(w, IDC_COM3) && !ItemChecked(w, IDC_COM4);
        });
        PostClick(w, IDOK);
    });
    const INT_PTR result = dialog.DoModal();
    driver.join();
    CDialog::SetMainDialog(nullptr);

    ASSERT_TRUE(state.found);
    EXPECT_EQ(result, IDOK);
    EXPECT_TRUE(state.radios[0]);
    EXPECT_FALSE(state.radios[1] || state.radios[2] || state.radios[3]);
    // Developer mode is whatever the window found at the fixed path (another test of this
    // prefix may put a library there); the buttons follow it.
    const bool developerMode = dialog.m_hSignLibrary != nullptr;
    for (bool shown : state.developerButtons) {
        EXPECT_EQ(shown, developerMode);
    }
    EXPECT_EQ(state.focusId, IDCANCEL);  // "Exit"
    EXPECT_TRUE(state.aboutItemAfterSeparator);
    EXPECT_EQ(state.aboutItemText, "&About VELKO...");
    EXPECT_EQ(state.version, "Version 1.0.5");
    EXPECT_TRUE(state.aboutFound);
    EXPECT_TRUE(state.aboutIcon);
    EXPECT_EQ(state.aboutTexts[0], "VELKO Version 1.0");
    EXPECT_EQ(state.aboutTexts[1], "Copyright (C) Orvane");
    EXPECT_TRUE(state.aboutClosed);
    EXPECT_TRUE(state.onlyCom3AfterClick);
    EXPECT_EQ((std::vector<int>{dialog.m_com1, dialog.m_com2, dialog.m_com3, dialog.m_com4}),
              (std::vector<int>{-1, -1, 0, -1}));
}
