// The main window "Orvane Field Reloader": the port radios, "Reload Vyra", "Start BIOS",
// and in developer mode (signing library found) the export and C array buttons.
#pragma once

#include "devtools/sign_library.h"
#include "framework/dialog.h"
#include "framework/runtime.h"
#include "framework/text_buffer.h"
#include "job/load_progress_dlg.h"

#include <cstddef>

// Copies a path the file chooser returned into a buffer of `size` characters.  False, with
// the buffer untouched, when the path does not fit: a path is refused, never cut.
bool AcceptChosenPath(const char* chosen, char* path, size_t size);

// Where a minimised window draws its icon: centred, each coordinate a signed division that
// truncates towards zero.
POINT MinimisedIconOrigin(const RECT& client, int iconWidth, int iconHeight);

class CReloaderDlg : public CDialog {
public:
    CReloaderDlg();
    ~CReloaderDlg() override = default;

    // Writes "COM1:" .. "COM4:" for the first port whose int is 0, from the ints alone.
    // With no port chosen it writes nothing and returns false.
    bool GetPortName(char* portName, size_t size) const;
    // The open-file chooser in `folder`; on a choice copies the full path into
    // path[kTextBufferSize]. Cancel, a failure and a path of more than 255 characters are told to
    // the user.
    bool ChooseAppFile(const char* folder, char* path);

    // Button handlers.
    void OnReload();
    void OnStartBios();
    void OnCom1() { ChoosePort(0); }
    void OnCom2() { ChoosePort(1); }
    void OnCom3() { ChoosePort(2); }
    void OnCom4() { ChoosePort(3); }
    void OnExportSRec();
    void OnBootupArray();
    void OnLoaderArray();

    CLoadProgressDlg m_progress;
    SignAppFn m_pfnSignApp = nullptr;
    LibraryHandle m_hSignLibrary = nullptr;
    HWND m_btnLoaderArray = nullptr;
    HWND m_btnBootupArray = nullptr;
    HWND m_btnExport = nullptr;
    int m_com1 = -1;
    int m_com2 = -1;
    int m_com3 = -1;
    int m_com4 = -1;
    HICON m_hIcon = nullptr;

protected:
    void DoDataExchange(bool toFields) override;
    BOOL OnInitDialog() override;
    bool OnCommand(int id, int code) override;
    bool OnSysCommand(WPARAM command, LPARAM lParam) override;
    bool OnPaint() override;
    HICON OnQueryDragIcon() override { return m_hIcon; }

private:
    // Index 0..3: that port's int becomes 0, the other three 1, and the radios follow.
    void ChoosePort(int index);
    // The port for an action, or a refusal told to the user when none is chosen.
    bool PortForAction(char* portName, size_t size);
    void ConvertToCArray(const char* folder, uint32_t base);
    void ShowDeveloperButtons(bool shown);
};
