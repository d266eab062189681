// The thin dialog layer of the Windows program: a modal dialog from a template, whose one
// compact dialog procedure hands each message to a virtual On... handler of the class.
//
// A dialog stores `this` when WM_INITDIALOG arrives and finds itself from the window after
// that.  OK and Cancel get the usual handling: Enter (IDOK) reads the controls into the
// fields and ends the dialog with IDOK; Escape, the close box and a Cancel button (IDCANCEL)
// end it with IDCANCEL.  A dialog opens centred over its owner.  No exception ever leaves
// the dialog procedure.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

// Registers the common control classes the templates use (the progress bar).
bool InitDialogControls();

class CDialog {
public:
    explicit CDialog(int templateId) : m_templateId(templateId) {}
    virtual ~CDialog() = default;
    CDialog(const CDialog&) = delete;
    CDialog& operator=(const CDialog&) = delete;

    // Runs the dialog modally and returns the result EndDialog gave.  Without an owner the
    // application's main window owns it (unless this is the main window).
    INT_PTR DoModal(HWND owner = nullptr);

    // The dialog's window while it is open, null otherwise.
    HWND GetHwnd() const { return m_hWnd; }

    // The application's main window: the default owner of every other dialog.
    static void SetMainDialog(CDialog* dialog) { s_mainDialog = dialog; }
    static CDialog* MainDialog() { return s_mainDialog; }

protected:
    // Runs the data exchange towards the controls; TRUE puts the focus on the first tab stop.
    virtual BOOL OnInitDialog();
    // Between the controls and the fields: toFields reads the controls, else sets them.
    virtual void DoDataExchange(bool toFields) {}
    // A WM_COMMAND from a control or key; true when handled.  IDOK and IDCANCEL not
    // handled here go to OnOK and OnCancel.
    virtual bool OnCommand(int id, int code) { return false; }
    virtual void OnOK();
    virtual void OnCancel();
    // false lets the system menu's ordinary handling run.
    virtual bool OnSysCommand(WPARAM command, LPARAM lParam) { return false; }
    // false lets the dialog paint itself as usual.
    virtual bool OnPaint() { return false; }
    // The icon to drag while minimised; null for the default.
    virtual HICON OnQueryDragIcon() { return nullptr; }
    // Any other message; true, with *result the message's result, when handled.
    virtual bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
        return false;
    }

    void EndDialog(INT_PTR result);
    // Centres the dialog over its owner, or on the screen without one; done after
    // OnInitDialog unless the dialog moved itself there.
    void CenterOverOwner();
    HWND GetItem(int id) const { return GetDlgItem(m_hWnd, id); }
    void SetItemText(int id, const char* text) { SetDlgItemTextA(m_hWnd, id, text); }
    void CheckButton(int id, bool checked) {
        CheckDlgButton(m_hWnd, id, checked ? BST_CHECKED : BST_UNCHECKED);
    }
    bool IsChecked(int id) const { return IsDlgButtonChecked(m_hWnd, id) == BST_CHECKED; }
    void ShowItem(int id, bool shown) { ShowWindow(GetItem(id), shown ? SW_SHOW : SW_HIDE); }

private:
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR Dispatch(UINT message, WPARAM wParam, LPARAM lParam);

    int m_templateId;
    HWND m_hWnd = nullptr;
    static CDialog* s_mainDialog;
};
