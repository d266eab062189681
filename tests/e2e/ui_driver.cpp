// The UI test driver: runs in the same wine prefix as the program under test and drives its
// windows as a person would, from a small script, printing one line per step.
//
//   ui_driver.exe SCRIPT            runs the commands of a script file
//   ui_driver.exe -e COMMAND ...    runs the commands given, one per -e
//
// A script has one command per line; words are separated by blanks, a word in double quotes
// may hold blanks and the escapes \n \t \" \\; a line starting with # is a comment.  Windows
// are top-level windows found by their exact title, controls by their id (decimal or 0x..).
// Timeouts are in seconds.  The first failing step prints what is on the screen and ends the
// driver with exit code 1 (2 for a script that can't be read).
//
// Commands (TITLE: a window's title; ID: a control id; [T]: a timeout, 20 s when left out):
//   wait-window TITLE [T]                 wait-gone TITLE [T]
//   wait-exit [T]                         the driven program has ended
//   click TITLE ID                        a button, as a mouse click would
//   key TITLE escape|enter                a key where the window's keyboard focus is
//   close TITLE                           the close box (SC_CLOSE)
//   syscommand TITLE ID                   a system menu command
//   text TITLE ID                         prints the control's text
//   expect-text TITLE ID TEXT             expect-text-like TITLE ID REGEX
//   wait-text TITLE ID TEXT [T]           expect-contains TITLE TEXT (some control shows it)
//   checked|visible|enabled TITLE ID      prints 0 or 1
//   expect-checked|visible|enabled TITLE ID 0|1
//   expect-focus TITLE ID
//   bar TITLE ID                          prints a progress bar's position and range
//   wait-bar TITLE ID MIN [T]             expect-bar-range TITLE ID LOW HIGH
//                                         (MIN as N% of the bar's range: once it has moved;
//                                         a window that closes first fails the wait)
//   wait-messagebox TEXT CAPTION [T]      a message box with that text and caption
//   messagebox-expect TEXT CAPTION [T]    the same, then presses its OK
//   owner TITLE                           expect-owner TITLE OWNER ("" for none)
//   answer-open-dialog PATH [T]           types PATH into the open dialog and presses Open
//   watch TITLE                           starts recording the texts set in the window's thread
//   follow TITLE ID [T]                   prints the texts set on the control as they come,
//                                         and the program's message boxes (box CAPTION TEXT),
//                                         pressing their OK, until that window has come and
//                                         gone
//   expect-history TITLE ID TEXT...       the texts set on the control since, exactly
//   rect TITLE [FILE]                     prints (and writes) "x y width height"
//   capture TITLE FILE                    writes the window as the screen shows it (BMP)
//   lock-file PATH                        holds the file open, shared with nobody
//   report-window                         makes the window for the hooks' reports now (else
//                                         the first hook makes it), as early as a driver
//                                         started with the program, while wine's desktop
//                                         may still be starting
//
// Clicks and keys are posted, never sent, so that a handler that runs a modal loop (a dialog,
// a message box) does not block the driver; the driver then waits until the program's window
// thread has taken a marker posted behind them, so that the next step sees their effect.
// Hooks in that thread (ui_driver_hook.dll beside this program) report the marker and every
// text set on a window, so that fleeting status texts can be checked in order afterwards
// with "expect-history" (texts set since the last "watch").  The hooks count only once the
// first marker has come back through them: hooks whose reports don't reach the driver's
// report window fail the step that set them, never a later check.
#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr double kDefaultTimeoutS = 20.0;
constexpr DWORD kPollMs = 10;
constexpr UINT kSendTimeoutMs = 5000;
constexpr int kMessageBoxTextId = 0xFFFF;
constexpr int kOpenDialogFileNameId = 0x47C;  // cmb13 of the common open dialog
// Kinds of report from the hooks (COPYDATASTRUCT::dwData), as ui_driver_hook.cpp sends them.
constexpr ULONG_PTR kTextReport = 1;
constexpr ULONG_PTR kMarkerReport = 2;

using Words = std::vector<std::string>;

// ---- Output ------------------------------------------------------------------------------

std::string Escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string Quote(const std::string& text) {
    return "\"" + Escape(text) + "\"";
}

// ---- Waiting while the driver's own messages are handled ---------------------------------

// Handles the driver's messages (the hook's text reports) for up to the given time.
void Pump(DWORD milliseconds) {
    ULONGLONG end = GetTickCount64() + milliseconds;
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageA(&msg);
        }
        ULONGLONG now = GetTickCount64();
        if (now >= end) {
            return;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(end - now), QS_ALLINPUT);
    }
}

// Polls a condition until it holds or the time is up; true when it held.
template <typename Condition>
bool WaitFor(double timeoutS, Condition condition) {
    ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(timeoutS * 1000.0);
    for (;;) {
        if (condition()) {
            return true;
        }
        if (GetTickCount64() >= end) {
            return false;
        }
        Pump(kPollMs);
    }
}

// ---- Windows and controls ----------------------------------------------------------------

std::string ClassOf(HWND window) {
    char name[128] = "";
    GetClassNameA(window, name, sizeof name);
    return name;
}

// The text of a window of another process, by WM_GETTEXT.
std::string TextOf(HWND window) {
    char text[4096] = "";
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text),
                             SMTO_NORMAL, kSendTimeoutMs, &result)) {
        return "";
    }
    text[sizeof text - 1] = '\0';
    return text;
}

std::string TitleOf(HWND window) {
    char title[512] = "";
    GetWindowTextA(window, title, sizeof title);
    return title;
}

// Window enumeration callbacks: named CALLBACK functions, since on 32-bit x86 Windows calls
// them __stdcall, which a lambda does not convert to.
BOOL CALLBACK AddVisibleWindow(HWND window, LPARAM list) {
    if (IsWindowVisible(window)) {
        reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
    }
    return TRUE;
}

BOOL CALLBACK AddWindow(HWND window, LPARAM list) {
    reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
    return TRUE;
}

std::vector<HWND> TopWindows() {
    std::vector<HWND> windows;
    EnumWindows(AddVisibleWindow, reinterpret_cast<LPARAM>(&windows));
    return windows;
}

std::vector<HWND> ChildrenOf(HWND parent) {
    std::vector<HWND> children;
    EnumChildWindows(parent, AddWindow, reinterpret_cast<LPARAM>(&children));
    return children;
}

HWND FindTop(const std::string& title) {
    for (HWND window : TopWindows()) {
        if (TitleOf(window) == title) {
            return window;
        }
    }
    return nullptr;
}

// A message box is a dialog window with the static text 0xFFFF: true for one, with its text.
bool IsMessageBox(HWND window, std::string* text) {
    if (ClassOf(window) != "#32770") {
        return false;
    }
    for (HWND child : ChildrenOf(window)) {
        if (GetDlgCtrlID(child) == kMessageBoxTextId && ClassOf(child) == "Static") {
            *text = TextOf(child);
            return true;
        }
    }
    return false;
}

HWND FindMessageBox(const std::string& text) {
    std::string shown;
    for (HWND window : TopWindows()) {
        if (IsMessageBox(window, &shown) && shown == text) {
            return window;
        }
    }
    return nullptr;
}

// Presses a dialog's OK (a message box's, the open dialog's); true once it has closed.
bool PressOk(HWND dialog) {
    HWND ok = GetDlgItem(dialog, IDOK);
    if (ok) {
        PostMessageA(ok, BM_CLICK, 0, 0);
    } else {
        PostMessageA(dialog, WM_COMMAND, IDOK, 0);
    }
    return WaitFor(kDefaultTimeoutS, [&] { return !IsWindow(dialog) || !IsWindowVisible(dialog); });
}

HWND FindOpenDialog() {
    for (HWND window : TopWindows()) {
        if (ClassOf(window) == "#32770" && GetDlgItem(window, kOpenDialogFileNameId) != nullptr) {
            return window;
        }
    }
    return nullptr;
}

// Prints the visible top-level windows and their controls, to make a failure readable.
void PrintScene() {
    std::printf("  what is on the screen:\n");
    for (HWND window : TopWindows()) {
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        HWND owner = GetWindow(window, GW_OWNER);
        std::printf("    window %s class %s pid %lu owner %s\n", Quote(TitleOf(window)).c_str(),
                    ClassOf(window).c_str(), pid, owner ? Quote(TitleOf(owner)).c_str() : "(none)");
        int shown = 0;
        for (HWND child : ChildrenOf(window)) {
            if (GetParent(child) != window || !IsWindowVisible(child)) {
                continue;
            }
            if (++shown > 40) {
                std::printf("      ...\n");
                break;
            }
            std::printf("      control %d %s %s\n", GetDlgCtrlID(child), ClassOf(child).c_str(),
                        Quote(TextOf(child)).c_str());
        }
    }
    std::fflush(stdout);
}

// ---- The text history fed by the hook ----------------------------------------------------

struct TextEvent {
    std::string windowTitle;  // title of the control's top-level window when the text was set
    HWND window;              // that window
    int controlId;
    std::string text;
};

std::vector<TextEvent> g_history;
DWORD g_markerSeen = 0;  // the last marker the driven thread has taken from its queue

LRESULT CALLBACK SinkProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COPYDATA) {
        const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
        HWND target = reinterpret_cast<HWND>(wParam);
        if (data->dwData == kTextReport && data->cbData > 0 && data->lpData != nullptr) {
            std::string text(static_cast<const char*>(data->lpData),
                             strnlen(static_cast<const char*>(data->lpData), data->cbData));
            HWND top = GetAncestor(target, GA_ROOT);
            g_history.push_back({top ? TitleOf(top) : "", top, GetDlgCtrlID(target), text});
        } else if (data->dwData == kMarkerReport && data->cbData == sizeof(DWORD) &&
                   data->lpData != nullptr) {
            g_markerSeen = *static_cast<const DWORD*>(data->lpData);
        }
        return TRUE;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

bool CreateSink() {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = SinkProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "OrvaneUiDriverSink";
    if (!RegisterClassA(&windowClass)) {
        return false;
    }
    // A hidden top-level window, not a message-only one: under wine a message-only window made
    // while the desktop is still starting can stay out of sight of the driven program's
    // lookups (seen about once in twenty runs), while top-level windows are always shared.
    return CreateWindowExA(WS_EX_TOOLWINDOW, windowClass.lpszClassName, "", WS_POPUP, 0, 0, 0, 0,
                           nullptr, nullptr, windowClass.hInstance, nullptr) != nullptr;
}

std::vector<std::string> HistoryOf(const std::string& title, int id) {
    std::vector<std::string> texts;
    for (const TextEvent& event : g_history) {
        if (event.windowTitle == title && event.controlId == id) {
            texts.push_back(event.text);
        }
    }
    return texts;
}

// ---- The driver ---------------------------------------------------------------------------

class CDriver {
public:
    // Wine keeps a hook whose thread has ended and goes on calling it in the hooked thread:
    // the hooks go with the driver, so that the next driver's reports come once.
    ~CDriver() {
        for (HHOOK hook : m_hooks) {
            UnhookWindowsHookEx(hook);
        }
    }

    // Runs one command; false when it failed, with the reason in m_failure.
    bool Run(const Words& words);

private:
    bool Fail(const std::string& why) {
        m_failure = why;
        return false;
    }
    bool Usage(const char* form) { return Fail(std::string("usage: ") + form); }

    // Finds a window by title, waiting up to the timeout; remembers its program.
    HWND Window(const std::string& title, double timeoutS = kDefaultTimeoutS);
    HWND Control(const std::string& title, const std::string& id);
    void Remember(HWND window);
    // Puts the hooks into the window's thread (once per thread).
    bool Hook(HWND window);
    // Hooks the window's thread, lets `post` post a click or a key to it, and waits until the
    // thread has handled that (or the window is gone), so that the next step sees its effect.
    // The hooks go in first: the posted message may end the program.  False, with the reason,
    // when the thread can't be hooked, the message can't be posted or the thread does not take
    // the marker behind it in time.
    template <typename Post>
    bool PostAndSettle(HWND window, Post post) {
        if (!Hook(window)) {
            return false;
        }
        if (!post()) {
            return Fail("can't post to window " + Quote(TitleOf(window)));
        }
        return PostMarkerAndWait(window, kDefaultTimeoutS)
                   ? true
                   : Fail("the thread of window " + Quote(TitleOf(window)) +
                          " did not take the driver's marker");
    }
    // Makes the window that the hooks report to, once.
    bool MakeReportWindow();
    // Posts a marker to the window and waits until the hooks report it back (or the window
    // is gone): every message posted before it has then been handled.
    bool PostMarkerAndWait(HWND window, double timeoutS);
    void Report(const std::string& line) { m_report = line; }

    bool Click(const Words& w);
    bool Key(const Words& w);
    bool MessageBoxExpect(const Words& w, bool press);
    bool AnswerOpenDialog(const Words& w);
    bool Watch(const Words& w);
    bool ExpectHistory(const Words& w);
    bool Follow(const Words& w);
    bool Rect(const Words& w);
    bool Capture(const Words& w);
    bool Bar(const Words& w);
    bool WaitExit(const Words& w);

    HANDLE m_process = nullptr;  // the driven program, once a window of it was found
    DWORD m_processId = 0;
    bool m_sinkCreated = false;
    HWND m_watched = nullptr;  // the window of the last "watch"
    HMODULE m_hookModule = nullptr;
    std::vector<DWORD> m_hookedThreads;
    std::vector<HHOOK> m_hooks;
    DWORD m_markerSent = 0;
    std::vector<HANDLE> m_lockedFiles;

public:
    std::string m_failure;
    std::string m_report;  // what a step prints after "ok"
};

double TimeoutArg(const Words& w, size_t index) {
    return w.size() > index ? std::atof(w[index].c_str()) : kDefaultTimeoutS;
}

int IdArg(const std::string& word) {
    return static_cast<int>(std::strtol(word.c_str(), nullptr, 0));
}

void CDriver::Remember(HWND window) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid == 0 || pid == m_processId || pid == GetCurrentProcessId()) {
        return;
    }
    if (m_process) {
        CloseHandle(m_process);
    }
    m_process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    m_processId = m_process ? pid : 0;
}

HWND CDriver::Window(const std::string& title, double timeoutS) {
    HWND window = nullptr;
    if (!WaitFor(timeoutS, [&] { return (window = FindTop(title)) != nullptr; })) {
        Fail("no window " + Quote(title));
        return nullptr;
    }
    Remember(window);
    return window;
}

HWND CDriver::Control(const std::string& title, const std::string& id) {
    HWND window = Window(title);
    if (!window) {
        return nullptr;
    }
    HWND control = GetDlgItem(window, IdArg(id));
    if (!control) {
        Fail("window " + Quote(title) + " has no control " + id);
    }
    return control;
}

bool CDriver::Click(const Words& w) {
    if (w.size() != 3) {
        return Usage("click TITLE ID");
    }
    HWND control = Control(w[1], w[2]);
    if (!control) {
        return false;
    }
    // A person can't click a hidden or disabled button, nor one in a window that a modal
    // window keeps disabled.
    if (!IsWindowVisible(control) || !IsWindowEnabled(control) ||
        !IsWindowEnabled(GetAncestor(control, GA_ROOT))) {
        return Fail("control " + w[2] + " of " + Quote(w[1]) + " is hidden or disabled");
    }
    return PostAndSettle(GetAncestor(control, GA_ROOT),
                         [&] { return PostMessageA(control, BM_CLICK, 0, 0) != FALSE; });
}

bool CDriver::Key(const Words& w) {
    if (w.size() != 3 || (w[2] != "escape" && w[2] != "enter")) {
        return Usage("key TITLE escape|enter");
    }
    HWND window = Window(w[1]);
    if (!window) {
        return false;
    }
    // The key goes where the keyboard focus is, as a typed key would; the dialog's own loop
    // turns it into Cancel or OK.
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    HWND target = window;
    if (GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info) && info.hwndFocus &&
        (info.hwndFocus == window || IsChild(window, info.hwndFocus))) {
        target = info.hwndFocus;
    }
    UINT key = w[2] == "escape" ? VK_ESCAPE : VK_RETURN;
    LPARAM scan = static_cast<LPARAM>(MapVirtualKeyA(key, MAPVK_VK_TO_VSC)) << 16;
    // The key's going down may already have closed the window when its release is posted.
    return PostAndSettle(window, [&] {
        return PostMessageA(target, WM_KEYDOWN, key, scan | 1) &&
               (PostMessageA(target, WM_KEYUP, key, scan | 1 | (1LL << 30) | (1LL << 31)) ||
                !IsWindow(target));
    });
}

bool CDriver::MessageBoxExpect(const Words& w, bool press) {
    if (w.size() < 3 || w.size() > 4) {
        return Usage(press ? "messagebox-expect TEXT CAPTION [TIMEOUT]"
                           : "wait-messagebox TEXT CAPTION [TIMEOUT]");
    }
    HWND box = nullptr;
    if (!WaitFor(TimeoutArg(w, 3), [&] { return (box = FindMessageBox(w[1])) != nullptr; })) {
        return Fail("no message box " + Quote(w[1]));
    }
    Remember(box);
    std::string caption = TitleOf(box);
    HWND owner = GetWindow(box, GW_OWNER);
    Report("owner " + (owner ? Quote(TitleOf(owner)) : std::string("(none)")));
    if (caption != w[2]) {
        return Fail("message box " + Quote(w[1]) + " has the caption " + Quote(caption) + ", not " +
                    Quote(w[2]));
    }
    if (press && !PressOk(box)) {
        return Fail("message box " + Quote(w[1]) + " did not close on OK");
    }
    return true;
}

bool CDriver::AnswerOpenDialog(const Words& w) {
    if (w.size() < 2 || w.size() > 3) {
        return Usage("answer-open-dialog PATH [TIMEOUT]");
    }
    HWND dialog = nullptr;
    if (!WaitFor(TimeoutArg(w, 2), [&] { return (dialog = FindOpenDialog()) != nullptr; })) {
        return Fail("no open dialog");
    }
    Remember(dialog);
    Report("dialog " + Quote(TitleOf(dialog)));
    HWND name = GetDlgItem(dialog, kOpenDialogFileNameId);
    DWORD_PTR result = 0;
    SendMessageTimeoutA(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(w[1].c_str()), SMTO_NORMAL,
                        kSendTimeoutMs, &result);
    if (!PressOk(dialog)) {
        return Fail("the open dialog did not take " + Quote(w[1]));
    }
    return true;
}

bool CDriver::MakeReportWindow() {
    if (!m_sinkCreated) {
        if (!CreateSink()) {
            return Fail("can't create the window for the hooks' reports");
        }
        m_sinkCreated = true;
    }
    return true;
}

bool CDriver::Hook(HWND window) {
    DWORD thread = GetWindowThreadProcessId(window, nullptr);
    if (thread == 0) {
        return Fail("the window is gone before its thread was hooked");
    }
    if (std::find(m_hookedThreads.begin(), m_hookedThreads.end(), thread) !=
        m_hookedThreads.end()) {
        return true;
    }
    // The hooks report to every report window they find, so only a driver that hooks has one:
    // another driver that merely looks (at a bar, a window's place) may run meanwhile.
    if (!MakeReportWindow()) {
        return false;
    }
    if (!m_hookModule) {
        char path[MAX_PATH] = "";
        GetModuleFileNameA(nullptr, path, sizeof path);
        std::string dll = path;
        dll = dll.substr(0, dll.find_last_of("\\/") + 1) + "ui_driver_hook.dll";
        m_hookModule = LoadLibraryA(dll.c_str());
        if (!m_hookModule) {
            return Fail("can't load " + dll);
        }
    }
    auto callWnd = reinterpret_cast<HOOKPROC>(
        reinterpret_cast<void*>(GetProcAddress(m_hookModule, "UiDriverCallWndHook")));
    auto getMessage = reinterpret_cast<HOOKPROC>(
        reinterpret_cast<void*>(GetProcAddress(m_hookModule, "UiDriverGetMessageHook")));
    HHOOK callWndHook =
        callWnd ? SetWindowsHookExA(WH_CALLWNDPROC, callWnd, m_hookModule, thread) : nullptr;
    HHOOK getMessageHook =
        getMessage ? SetWindowsHookExA(WH_GETMESSAGE, getMessage, m_hookModule, thread) : nullptr;
    for (HHOOK hook : {callWndHook, getMessageHook}) {
        if (hook) {
            m_hooks.push_back(hook);
        }
    }
    if (!callWndHook || !getMessageHook) {
        return Fail("can't hook the thread of window " + Quote(TitleOf(window)));
    }
    // The hooks count once a marker has come back through them: reports that don't reach
    // the report window (a hook that never loaded, a report window the program can't find)
    // fail here, where they are set.
    if (!PostMarkerAndWait(window, kDefaultTimeoutS)) {
        return Fail("the hooks in the thread of window " + Quote(TitleOf(window)) +
                    " don't report to the driver's report window");
    }
    m_hookedThreads.push_back(thread);
    return true;
}

bool CDriver::PostMarkerAndWait(HWND window, double timeoutS) {
    static const UINT marker = RegisterWindowMessageA("OrvaneUiDriverMarker");
    const DWORD sequence = ++m_markerSent;
    PostMessageA(window, marker, sequence, 0);
    return WaitFor(timeoutS, [&] { return g_markerSeen >= sequence || !IsWindow(window); });
}

bool CDriver::Watch(const Words& w) {
    if (w.size() != 2) {
        return Usage("watch TITLE");
    }
    HWND window = Window(w[1]);
    if (!window || !Hook(window)) {
        return false;
    }
    m_watched = window;
    g_history.clear();
    return true;
}

bool CDriver::ExpectHistory(const Words& w) {
    if (w.size() < 3) {
        return Usage("expect-history TITLE ID TEXT...");
    }
    // Every text that the watched window's thread set before it took a marker has been
    // reported by then: the hook's reports are sent, and the thread waits for each.
    if (m_watched != nullptr && !PostMarkerAndWait(m_watched, kDefaultTimeoutS)) {
        return Fail("the watched window's thread did not take the driver's marker");
    }
    std::vector<std::string> seen = HistoryOf(w[1], IdArg(w[2]));
    bool match = seen == std::vector<std::string>(w.begin() + 3, w.end());
    std::string list;
    for (const std::string& text : seen) {
        list += "\n    " + Quote(text);
    }
    if (!match) {
        return Fail("control " + w[2] + " of " + Quote(w[1]) + " showed, in order:" + list);
    }
    Report(std::to_string(seen.size()) + " texts");
    return true;
}

bool CDriver::Follow(const Words& w) {
    if (w.size() < 3 || w.size() > 4) {
        return Usage("follow TITLE ID [T]");
    }
    const int id = IdArg(w[2]);
    size_t shown = 0;
    int boxes = 0;
    // The window, once seen on the screen or through a text the hooks saw set on its control
    // since this step began: one can open and close between two looks (a refused file: its
    // texts, a box, gone), and its texts can come before it is shown.  It has gone when it
    // is no window any more.
    HWND came = nullptr;
    const size_t historyBefore = g_history.size();
    std::string stuck;  // a message box that did not close on OK
    const bool ended = WaitFor(TimeoutArg(w, 3), [&] {
        Pump(20);
        const std::vector<std::string> texts = HistoryOf(w[1], id);
        for (; shown < texts.size(); ++shown) {
            std::printf("  %s\n", Quote(texts[shown]).c_str());
        }
        // The program's message boxes are read and answered, as a person would.
        for (HWND window : TopWindows()) {
            DWORD pid = 0;
            GetWindowThreadProcessId(window, &pid);
            std::string text;
            if (pid == m_processId && IsMessageBox(window, &text)) {
                std::printf("  box %s %s\n", Quote(TitleOf(window)).c_str(), Quote(text).c_str());
                ++boxes;
                if (!PressOk(window)) {
                    stuck = text;
                    return true;
                }
            }
        }
        HWND window = FindTop(w[1]);
        if (window != nullptr) {
            Remember(window);
            came = window;
        }
        for (size_t i = historyBefore; came == nullptr && i < g_history.size(); ++i) {
            if (g_history[i].windowTitle == w[1] && g_history[i].controlId == id) {
                came = g_history[i].window;
            }
        }
        return came != nullptr && window == nullptr && !IsWindow(came);
    });
    Report(std::to_string(shown) + " texts, " + std::to_string(boxes) + " message boxes");
    if (!stuck.empty()) {
        return Fail("message box " + Quote(stuck) + " did not close on OK");
    }
    return ended ? true : Fail("window " + Quote(w[1]) + " did not come and go");
}

bool CDriver::Rect(const Words& w) {
    if (w.size() < 2 || w.size() > 3) {
        return Usage("rect TITLE [FILE]");
    }
    HWND window = Window(w[1]);
    if (!window) {
        return false;
    }
    RECT rect{};
    GetWindowRect(window, &rect);
    std::ostringstream line;
    line << rect.left << ' ' << rect.top << ' ' << (rect.right - rect.left) << ' '
         << (rect.bottom - rect.top);
    Report(line.str());
    if (w.size() == 3) {
        std::ofstream file(w[2], std::ios::trunc);
        file << line.str() << '\n';
        if (!file) {
            return Fail("can't write " + w[2]);
        }
    }
    return true;
}

bool CDriver::Capture(const Words& w) {
    if (w.size() != 3) {
        return Usage("capture TITLE FILE");
    }
    HWND window = Window(w[1]);
    if (!window) {
        return false;
    }
    RECT rect{};
    GetWindowRect(window, &rect);
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    if (width <= 0 || height <= 0) {
        return Fail("the window has no area");
    }
    // The screen's pixels under the window, into a bottom-up 24-bit bitmap.
    BITMAPINFOHEADER header{};
    header.biSize = sizeof header;
    header.biWidth = width;
    header.biHeight = height;
    header.biPlanes = 1;
    header.biBitCount = 24;
    header.biCompression = BI_RGB;
    const DWORD stride = (static_cast<DWORD>(width) * 3 + 3) & ~3u;
    header.biSizeImage = stride * static_cast<DWORD>(height);
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, reinterpret_cast<BITMAPINFO*>(&header),
                                      DIB_RGB_COLORS, &bits, nullptr, 0);
    bool copied = false;
    if (memory && bitmap) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        copied = BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY) != 0;
        GdiFlush();
        SelectObject(memory, old);
    }
    bool written = false;
    if (copied) {
        BITMAPFILEHEADER file{};
        file.bfType = 0x4D42;  // "BM"
        file.bfOffBits = sizeof file + sizeof header;
        file.bfSize = file.bfOffBits + header.biSizeImage;
        std::ofstream out(w[2], std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(&file), sizeof file);
        out.write(reinterpret_cast<const char*>(&header), sizeof header);
        out.write(static_cast<const char*>(bits), header.biSizeImage);
        written = static_cast<bool>(out);
    }
    if (bitmap) {
        DeleteObject(bitmap);
    }
    if (memory) {
        DeleteDC(memory);
    }
    ReleaseDC(nullptr, screen);
    if (!copied) {
        return Fail("can't copy the window from the screen");
    }
    if (!written) {
        return Fail("can't write " + w[2]);
    }
    Report(std::to_string(width) + "x" + std::to_string(height) + "+" + std::to_string(rect.left) +
           "+" + std::to_string(rect.top));
    return true;
}

bool CDriver::Bar(const Words& w) {
    // bar TITLE ID: prints the position and range; wait-bar TITLE ID MIN [TIMEOUT]: waits
    // until the position reaches MIN; expect-bar-range TITLE ID LOW HIGH.
    HWND control = w.size() >= 3 ? Control(w[1], w[2]) : nullptr;
    if (!control) {
        return m_failure.empty() ? Usage("bar TITLE ID") : false;
    }
    auto query = [&](UINT message, WPARAM wParam) {
        DWORD_PTR value = 0;
        SendMessageTimeoutA(control, message, wParam, 0, SMTO_NORMAL, kSendTimeoutMs, &value);
        return static_cast<long>(value);
    };
    long position = query(PBM_GETPOS, 0);
    if (w[0] == "wait-bar") {
        if (w.size() < 4) {
            return Usage("wait-bar TITLE ID MIN|N% [TIMEOUT]");
        }
        // N% of the range counts once the bar has moved: before the first step the range may
        // still be the one the bar was made with.
        const bool percent = w[3].back() == '%';
        const double wanted = std::atof(w[3].c_str());
        bool gone = false;
        const bool reached = WaitFor(TimeoutArg(w, 4), [&] {
            if (!IsWindow(control)) {
                gone = true;
                return true;
            }
            position = query(PBM_GETPOS, 0);
            if (!percent) {
                return position >= wanted;
            }
            return position > 0 && position >= wanted * query(PBM_GETRANGE, FALSE) / 100.0;
        });
        if (gone) {
            return Fail("the window closed with the bar at " + std::to_string(position));
        }
        if (!reached) {
            return Fail("the bar stayed at " + std::to_string(position));
        }
    }
    long low = query(PBM_GETRANGE, TRUE), high = query(PBM_GETRANGE, FALSE);
    Report("position " + std::to_string(position) + " range " + std::to_string(low) + ".." +
           std::to_string(high));
    if (w[0] == "expect-bar-range") {
        if (w.size() != 5) {
            return Usage("expect-bar-range TITLE ID LOW HIGH");
        }
        if (low != std::atol(w[3].c_str()) || high != std::atol(w[4].c_str())) {
            return Fail("the bar's range is " + std::to_string(low) + ".." + std::to_string(high));
        }
    }
    return true;
}

bool CDriver::WaitExit(const Words& w) {
    if (!m_process) {
        return Fail("no program seen yet");
    }
    DWORD waited = WAIT_TIMEOUT;
    WaitFor(TimeoutArg(w, 1),
            [&] { return (waited = WaitForSingleObject(m_process, 0)) == WAIT_OBJECT_0; });
    if (waited != WAIT_OBJECT_0) {
        return Fail("the program is still running");
    }
    DWORD code = 0;
    GetExitCodeProcess(m_process, &code);
    Report("exit code " + std::to_string(code));
    return true;
}

bool CDriver::Run(const Words& w) {
    m_failure.clear();
    m_report.clear();
    const std::string& c = w[0];
    if (c == "wait-window") {
        return (w.size() == 2 || w.size() == 3) ? Window(w[1], TimeoutArg(w, 2)) != nullptr
                                                : Usage("wait-window TITLE [TIMEOUT]");
    }
    if (c == "wait-gone") {
        if (w.size() < 2 || w.size() > 3) {
            return Usage("wait-gone TITLE [TIMEOUT]");
        }
        return WaitFor(TimeoutArg(w, 2), [&] { return FindTop(w[1]) == nullptr; })
                   ? true
                   : Fail("window " + Quote(w[1]) + " is still there");
    }
    if (c == "wait-exit") {
        return WaitExit(w);
    }
    if (c == "click") {
        return Click(w);
    }
    if (c == "text" || c == "expect-text" || c == "expect-text-like") {
        if (w.size() != (c == "text" ? 3u : 4u)) {
            return Usage(
                "text TITLE ID | expect-text TITLE ID TEXT | expect-text-like TITLE ID REGEX");
        }
        HWND control = Control(w[1], w[2]);
        if (!control) {
            return false;
        }
        std::string text = TextOf(control);
        Report(Quote(text));
        if (c == "expect-text" && text != w[3]) {
            return Fail("the text is " + Quote(text));
        }
        if (c == "expect-text-like" && !std::regex_match(text, std::regex(w[3]))) {
            return Fail("the text is " + Quote(text));
        }
        return true;
    }
    if (c == "expect-contains") {
        // Some control of the window shows exactly the text (for labels without an id).
        if (w.size() != 3) {
            return Usage("expect-contains TITLE TEXT");
        }
        HWND window = Window(w[1]);
        if (!window) {
            return false;
        }
        for (HWND child : ChildrenOf(window)) {
            if (IsWindowVisible(child) && TextOf(child) == w[2]) {
                Report("control " + std::to_string(GetDlgCtrlID(child)));
                return true;
            }
        }
        return Fail("no control of " + Quote(w[1]) + " shows " + Quote(w[2]));
    }
    if (c == "wait-text") {
        if (w.size() < 4 || w.size() > 5) {
            return Usage("wait-text TITLE ID TEXT [TIMEOUT]");
        }
        HWND control = Control(w[1], w[2]);
        std::string text;
        if (!control || !WaitFor(TimeoutArg(w, 4), [&] {
                return IsWindow(control) && (text = TextOf(control)) == w[3];
            })) {
            return m_failure.empty() ? Fail("the text stayed " + Quote(text)) : false;
        }
        return true;
    }
    if (c == "checked" || c == "expect-checked" || c == "visible" || c == "expect-visible" ||
        c == "enabled" || c == "expect-enabled") {
        bool expecting = c.rfind("expect-", 0) == 0;
        if (w.size() != (expecting ? 4u : 3u)) {
            return Usage("checked|visible|enabled TITLE ID, expect-... TITLE ID 0|1");
        }
        HWND control = Control(w[1], w[2]);
        if (!control) {
            return false;
        }
        int state = 0;
        if (c.find("checked") != std::string::npos) {
            DWORD_PTR value = 0;
            SendMessageTimeoutA(control, BM_GETCHECK, 0, 0, SMTO_NORMAL, kSendTimeoutMs, &value);
            state = value == BST_CHECKED;
        } else if (c.find("visible") != std::string::npos) {
            state = IsWindowVisible(control) ? 1 : 0;
        } else {
            state = IsWindowEnabled(control) ? 1 : 0;
        }
        Report(std::to_string(state));
        if (expecting && state != std::atoi(w[3].c_str())) {
            return Fail("it is " + std::to_string(state));
        }
        return true;
    }
    if (c == "expect-focus") {
        if (w.size() != 3) {
            return Usage("expect-focus TITLE ID");
        }
        HWND window = Window(w[1]);
        GUITHREADINFO info{};
        info.cbSize = sizeof info;
        if (!window || !GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info)) {
            return m_failure.empty() ? Fail("no thread information") : false;
        }
        int focus = info.hwndFocus ? GetDlgCtrlID(info.hwndFocus) : 0;
        Report("control " + std::to_string(focus));
        return focus == IdArg(w[2]) ? true
                                    : Fail("the focus is on control " + std::to_string(focus));
    }
    if (c == "messagebox-expect" || c == "wait-messagebox") {
        return MessageBoxExpect(w, c == "messagebox-expect");
    }
    if (c == "owner" || c == "expect-owner") {
        if (w.size() != (c == "owner" ? 2u : 3u)) {
            return Usage("owner TITLE | expect-owner TITLE OWNER-TITLE (\"\" for none)");
        }
        HWND window = Window(w[1]);
        if (!window) {
            return false;
        }
        HWND owner = GetWindow(window, GW_OWNER);
        std::string title = owner ? TitleOf(owner) : "";
        Report(owner ? Quote(title) : "(none)");
        if (c == "expect-owner" && (title != w[2] || (owner == nullptr) != w[2].empty())) {
            return Fail("its owner is " + (owner ? Quote(title) : std::string("(none)")));
        }
        return true;
    }
    if (c == "answer-open-dialog") {
        return AnswerOpenDialog(w);
    }
    if (c == "syscommand") {
        if (w.size() != 3) {
            return Usage("syscommand TITLE ID");
        }
        HWND window = Window(w[1]);
        return window && PostAndSettle(window, [&] {
                   return PostMessageA(window, WM_SYSCOMMAND, IdArg(w[2]), 0) != FALSE;
               });
    }
    if (c == "key") {
        return Key(w);
    }
    if (c == "close") {
        if (w.size() != 2) {
            return Usage("close TITLE");
        }
        // What the close box does: the system command SC_CLOSE.
        HWND window = Window(w[1]);
        return window && PostAndSettle(window, [&] {
                   return PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0) != FALSE;
               });
    }
    if (c == "rect") {
        return Rect(w);
    }
    if (c == "capture") {
        return Capture(w);
    }
    if (c == "bar" || c == "wait-bar" || c == "expect-bar-range") {
        return Bar(w);
    }
    if (c == "watch") {
        return Watch(w);
    }
    if (c == "expect-history") {
        return ExpectHistory(w);
    }
    if (c == "follow") {
        return Follow(w);
    }
    if (c == "lock-file") {
        // Holds the file open, shared with nobody, until the driver ends.
        if (w.size() != 2) {
            return Usage("lock-file PATH");
        }
        HANDLE file = CreateFileA(w[1].c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            return Fail("can't open " + w[1]);
        }
        m_lockedFiles.push_back(file);
        return true;
    }
    if (c == "report-window") {
        return w.size() == 1 ? MakeReportWindow() : Usage("report-window");
    }
    return Fail("unknown command " + Quote(c));
}

// ---- Scripts --------------------------------------------------------------------------------

// Splits one line into words; false on an unclosed quote.
bool SplitWords(const std::string& line, Words& words) {
    words.clear();
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) {
            ++i;
        }
        if (i >= line.size()) {
            break;
        }
        std::string word;
        if (line[i] == '"') {
            ++i;
            bool closed = false;
            while (i < line.size()) {
                char ch = line[i++];
                if (ch == '"') {
                    closed = true;
                    break;
                }
                if (ch == '\\' && i < line.size()) {
                    char next = line[i++];
                    ch = next == 'n' ? '\n' : next == 't' ? '\t' : next == 'r' ? '\r' : next;
                }
                word += ch;
            }
            if (!closed) {
                return false;
            }
        } else {
            while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') {
                word += line[i++];
            }
        }
        words.push_back(word);
    }
    return true;
}

std::string Join(const Words& words) {
    std::string line;
    for (const std::string& word : words) {
        line +=
            (line.empty() ? "" : " ") +
            (word.find_first_of(" \t\n\"\\") == std::string::npos && !word.empty() ? word
                                                                                   : Quote(word));
    }
    return line;
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    std::vector<std::string> lines;
    if (argc == 2 && std::strcmp(argv[1], "-e") != 0) {
        std::ifstream script(argv[1]);
        if (!script) {
            std::printf("ui_driver: can't read %s\n", argv[1]);
            return 2;
        }
        for (std::string line; std::getline(script, line);) {
            lines.push_back(line);
        }
    } else {
        for (int i = 1; i + 1 < argc; i += 2) {
            if (std::strcmp(argv[i], "-e") != 0) {
                break;
            }
            lines.push_back(argv[i + 1]);
        }
    }
    if (lines.empty()) {
        std::printf("usage: ui_driver SCRIPT | ui_driver -e COMMAND [-e COMMAND]...\n");
        return 2;
    }
    CDriver driver;
    for (size_t n = 0; n < lines.size(); ++n) {
        Words words;
        if (!SplitWords(lines[n], words)) {
            std::printf("line %zu: unclosed quote\n", n + 1);
            return 2;
        }
        if (words.empty() || words[0][0] == '#') {
            continue;
        }
        ULONGLONG start = GetTickCount64();
        bool ok = driver.Run(words);
        double seconds = static_cast<double>(GetTickCount64() - start) / 1000.0;
        std::printf("%s line %zu (%.2f s): %s%s%s\n", ok ? "ok  " : "FAIL", n + 1, seconds,
                    Join(words).c_str(), driver.m_report.empty() ? "" : " -> ",
                    driver.m_report.c_str());
        if (!ok) {
            std::printf("  %s\n", driver.m_failure.c_str());
            PrintScene();
            return 1;
        }
    }
    std::printf("all %zu lines done\n", lines.size());
    return 0;
}
