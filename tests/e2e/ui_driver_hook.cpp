// The UI test driver's window hooks, loaded by the system into the driven program's window
// thread.  One hands every text that the thread sets on a window to the driver, synchronously,
// so that the driver sees each status text even when the next one follows within microseconds.
// The other tells the driver when the thread takes the driver's marker message from its queue:
// everything the driver posted before the marker (a click, a key) has then been handled.
#include <windows.h>

namespace {

// Kinds of report to the driver (COPYDATASTRUCT::dwData).
constexpr ULONG_PTR kTextReport = 1;
constexpr ULONG_PTR kMarkerReport = 2;

void ReportToDriver(ULONG_PTR kind, HWND window, const void* bytes, DWORD count) {
    COPYDATASTRUCT data{};
    data.dwData = kind;
    data.cbData = count;
    data.lpData = const_cast<void*>(bytes);
    // Every driver's hidden report window: a window left behind by a driver that has ended
    // (its process not yet gone) must not take the reports meant for the one that runs.
    HWND sink = nullptr;
    while ((sink = FindWindowExA(nullptr, sink, "OrvaneUiDriverSink", nullptr)) != nullptr) {
        DWORD_PTR result = 0;
        SendMessageTimeoutA(sink, WM_COPYDATA, reinterpret_cast<WPARAM>(window),
                            reinterpret_cast<LPARAM>(&data), SMTO_NORMAL, 5000, &result);
    }
}

}  // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK
    UiDriverCallWndHook(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HC_ACTION) {
        const auto* call = reinterpret_cast<const CWPSTRUCT*>(lParam);
        if (call->message == WM_SETTEXT && call->lParam != 0) {
            const char* text = reinterpret_cast<const char*>(call->lParam);
            ReportToDriver(kTextReport, call->hwnd, text, static_cast<DWORD>(lstrlenA(text) + 1));
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

extern "C" __declspec(dllexport) LRESULT CALLBACK
    UiDriverGetMessageHook(int code, WPARAM wParam, LPARAM lParam) {
    static const UINT marker = RegisterWindowMessageA("OrvaneUiDriverMarker");
    if (code == HC_ACTION && wParam == PM_REMOVE) {
        const auto* msg = reinterpret_cast<const MSG*>(lParam);
        if (msg->message == marker) {
            const DWORD sequence = static_cast<DWORD>(msg->wParam);
            ReportToDriver(kMarkerReport, msg->hwnd, &sequence, sizeof sequence);
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}
