// Start-up of VELKO.EXE: the application object and WinMain.  The program takes no command
// line and keeps nothing between runs; its name, for message boxes without a caption of
// their own, is the program file's base name.
#include "app/reloader_app.h"

#include "app/reloader_dlg.h"
#include "framework/runtime.h"

CReloaderApp theApp;

BOOL CReloaderApp::InitInstance() {
    // Hosting ActiveX controls in dialogs and the three-dimensional look of standard controls
    // need nothing here: no dialog holds such a control, and plain Win32 controls under the
    // common controls 6 manifest already draw in the system's look.
    InitDialogControls();

    CReloaderDlg dialog;
    CDialog::SetMainDialog(&dialog);
    dialog.DoModal();  // however it ends (Exit, Escape, close box, Enter), the program ends
    CDialog::SetMainDialog(nullptr);
    return FALSE;
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    // Before anything can load a library: none from the current folder.
    RestrictLibrarySearch();
    theApp.InitInstance();
    return 0;
}
