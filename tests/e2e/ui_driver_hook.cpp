// The UI test driver's window hook, loaded by the system into the driven program's window
// thread: it hands every text that thread sets on a window to the driver, synchronously, so
// that the driver sees each status text even when the next one follows within microseconds.
#include <windows.h>

extern "C" __declspec(dllexport) LRESULT CALLBACK
    UiDriverCallWndHook(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HC_ACTION) {
        const auto* call = reinterpret_cast<const CWPSTRUCT*>(lParam);
        if (call->message == WM_SETTEXT && call->lParam != 0) {
            // The driver's message-only window; absent once the driver has ended.
            HWND sink = FindWindowExA(HWND_MESSAGE, nullptr, "OrvaneUiDriverSink", nullptr);
            if (sink != nullptr) {
                const char* text = reinterpret_cast<const char*>(call->lParam);
                COPYDATASTRUCT data{};
                data.dwData = 1;
                data.cbData = static_cast<DWORD>(lstrlenA(text) + 1);
                data.lpData = const_cast<char*>(text);
                DWORD_PTR result = 0;
                SendMessageTimeoutA(sink, WM_COPYDATA, reinterpret_cast<WPARAM>(call->hwnd),
                                    reinterpret_cast<LPARAM>(&data), SMTO_NORMAL, 5000, &result);
            }
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}
