// The dialog layer over DialogBoxParamA: one dialog procedure for every dialog class.
#include "framework/dialog.h"

#include <commctrl.h>

#include <algorithm>

CDialog* CDialog::s_mainDialog = nullptr;

bool InitDialogControls() {
    INITCOMMONCONTROLSEX controls = {};
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_PROGRESS_CLASS;
    return InitCommonControlsEx(&controls) != FALSE;
}

INT_PTR CDialog::DoModal(HWND owner) {
    if (owner == nullptr && s_mainDialog != nullptr && s_mainDialog != this) {
        owner = s_mainDialog->m_hWnd;
    }
    const INT_PTR result =
        DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(m_templateId), owner,
                        DialogProc, reinterpret_cast<LPARAM>(this));
    m_hWnd = nullptr;
    return result;
}

void CDialog::CenterOverOwner() {
    // Over the owner when it is visible and not minimised, else over the work area of the
    // monitor the dialog is on; kept within that work area.
    RECT dialog = {};
    GetWindowRect(m_hWnd, &dialog);
    MONITORINFO monitor = {};
    monitor.cbSize = sizeof monitor;
    GetMonitorInfoA(MonitorFromWindow(m_hWnd, MONITOR_DEFAULTTOPRIMARY), &monitor);
    RECT area = monitor.rcWork;
    RECT centre = area;
    HWND owner = GetWindow(m_hWnd, GW_OWNER);
    if (owner != nullptr && IsWindowVisible(owner) && !IsIconic(owner)) {
        GetWindowRect(owner, &centre);
    }
    const int width = dialog.right - dialog.left;
    const int height = dialog.bottom - dialog.top;
    int x = (centre.left + centre.right - width) / 2;
    int y = (centre.top + centre.bottom - height) / 2;
    x = std::max<int>(area.left, std::min<int>(x, area.right - width));
    y = std::max<int>(area.top, std::min<int>(y, area.bottom - height));
    SetWindowPos(m_hWnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void CDialog::EndDialog(INT_PTR result) {
    if (m_hWnd != nullptr) {
        ::EndDialog(m_hWnd, result);
    }
}

BOOL CDialog::OnInitDialog() {
    DoDataExchange(false);
    return TRUE;
}

void CDialog::OnOK() {
    DoDataExchange(true);
    EndDialog(IDOK);
}

void CDialog::OnCancel() {
    EndDialog(IDCANCEL);
}

INT_PTR CALLBACK CDialog::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    CDialog* self = nullptr;
    if (message == WM_INITDIALOG) {
        self = reinterpret_cast<CDialog*>(lParam);
        SetWindowLongPtrA(hwnd, DWLP_USER, reinterpret_cast<LONG_PTR>(self));
        self->m_hWnd = hwnd;
    } else {
        // Null for the few messages (WM_SETFONT) that come before WM_INITDIALOG.
        self = reinterpret_cast<CDialog*>(GetWindowLongPtrA(hwnd, DWLP_USER));
    }
    if (self == nullptr) {
        return FALSE;
    }
    try {
        return self->Dispatch(message, wParam, lParam);
    } catch (...) {
        return FALSE;  // the system's default handling; nothing crosses into Windows
    }
}

INT_PTR CDialog::Dispatch(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG: {
            RECT before = {};
            GetWindowRect(m_hWnd, &before);
            const BOOL focusDefault = OnInitDialog();
            RECT after = {};
            GetWindowRect(m_hWnd, &after);
            if (EqualRect(&before, &after)) {
                CenterOverOwner();  // unless the dialog placed itself
            }
            return focusDefault;
        }
        case WM_COMMAND: {
            const int id = LOWORD(wParam);
            const int code = HIWORD(wParam);
            if (OnCommand(id, code)) {
                return TRUE;
            }
            if (code != BN_CLICKED) {
                return FALSE;
            }
            if (id == IDOK) {
                OnOK();
                return TRUE;
            }
            if (id == IDCANCEL) {  // the button, Escape, or the close box (WM_CLOSE)
                OnCancel();
                return TRUE;
            }
            return FALSE;
        }
        case WM_SYSCOMMAND:
            return OnSysCommand(wParam, lParam) ? TRUE : FALSE;
        case WM_PAINT:
            return OnPaint() ? TRUE : FALSE;
        case WM_QUERYDRAGICON:  // its result is the dialog procedure's own return value
            return reinterpret_cast<INT_PTR>(OnQueryDragIcon());
        default: {
            LRESULT result = 0;
            if (OnMessage(message, wParam, lParam, &result)) {
                SetWindowLongPtrA(m_hWnd, DWLP_MSGRESULT, result);
                return TRUE;
            }
            return FALSE;
        }
    }
}
