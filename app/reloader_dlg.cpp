// The main window: port choice, the reload and kick-start actions, developer mode, the
// system menu's About item and the icon drawn while minimised.
#include "app/reloader_dlg.h"

#include "app/about_dlg.h"
#include "app/resource.h"
#include "devtools/c_array.h"
#include "devtools/developer_locations.h"

#include <cderr.h>
#include <commdlg.h>

#include <cstdio>
#include <cstring>

namespace {

// The folder the chooser opens in developer mode, then the last file chosen in OnReload.
char s_lastLocation[kTextBufferSize] = {};
bool s_lastLocationSet = false;

constexpr const char* kCurrentFolder = ".\\";

// Larger than any path the chooser returns within MAX_PATH, so that a path longer than the
// 255 characters a job holds is seen whole and refused, not cut by the chooser.
constexpr DWORD kChooserBufferSize = 1024;

constexpr int kRadioIds[4] = {IDC_COM1, IDC_COM2, IDC_COM3, IDC_COM4};

}  // namespace

bool AcceptChosenPath(const char* chosen, char* path, size_t size) {
    const size_t length = std::strlen(chosen);
    if (size == 0 || length >= size) {
        return false;
    }
    std::memcpy(path, chosen, length + 1);
    return true;
}

POINT MinimisedIconOrigin(const RECT& client, int iconWidth, int iconHeight) {
    const int width = client.right - client.left;
    const int height = client.bottom - client.top;
    return POINT{(width - iconWidth + 1) / 2, (height - iconHeight + 1) / 2};
}

CReloaderDlg::CReloaderDlg() : CDialog(IDD_RELOADER_DIALOG) {
    m_hIcon = LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDR_MAINFRAME));
}

void CReloaderDlg::DoDataExchange(bool toFields) {
    if (m_btnLoaderArray == nullptr) {
        m_btnLoaderArray = GetItem(IDC_LOADER_ARRAY);
        m_btnBootupArray = GetItem(IDC_BOOTUP_ARRAY);
        m_btnExport = GetItem(IDC_EXPORT_SREC);
    }
    // Each radio is a group of its own: checked when its int is 0; read back as 0 or -1.
    int* ports[4] = {&m_com1, &m_com2, &m_com3, &m_com4};
    for (int i = 0; i < 4; ++i) {
        if (toFields) {
            *ports[i] = IsChecked(kRadioIds[i]) ? 0 : -1;
        } else {
            CheckButton(kRadioIds[i], *ports[i] == 0);
        }
    }
}

void CReloaderDlg::ShowDeveloperButtons(bool shown) {
    ShowItem(IDC_EXPORT_SREC, shown);
    ShowItem(IDC_BOOTUP_ARRAY, shown);
    ShowItem(IDC_LOADER_ARRAY, shown);
}

BOOL CReloaderDlg::OnInitDialog() {
    CDialog::OnInitDialog();  // all four ints are still -1: no radio checked yet
    ShowDeveloperButtons(false);

    // Developer mode is decided here once; the library stays loaded until the program ends.
    m_pfnSignApp = nullptr;
    m_hSignLibrary = LoadSignLibrary(kSignLibraryPath);
    if (m_hSignLibrary != nullptr) {
        ShowDeveloperButtons(true);
        m_pfnSignApp = FindSignEntry(m_hSignLibrary);
        if (m_pfnSignApp == nullptr) {
            ShowMessage(GetHwnd(), "Scrotum", nullptr);
        }
    }

    if (HMENU systemMenu = GetSystemMenu(GetHwnd(), FALSE); systemMenu != nullptr) {
        char about[kTextBufferSize] = {};
        if (LoadStringA(GetModuleHandleA(nullptr), IDS_ABOUTBOX, about, sizeof about) > 0) {
            AppendMenuA(systemMenu, MF_SEPARATOR, 0, nullptr);
            AppendMenuA(systemMenu, MF_STRING, IDM_ABOUTBOX, about);
        }
    }

    SendMessageA(GetHwnd(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    SendMessageA(GetHwnd(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));

    ChoosePort(0);
    return TRUE;  // the focus goes to the first tab stop, "Exit"
}

void CReloaderDlg::ChoosePort(int index) {
    int* ports[4] = {&m_com1, &m_com2, &m_com3, &m_com4};
    for (int i = 0; i < 4; ++i) {
        *ports[i] = i == index ? 0 : 1;
    }
    DoDataExchange(false);
}

bool CReloaderDlg::GetPortName(char* portName, size_t size) const {
    const int ports[4] = {m_com1, m_com2, m_com3, m_com4};
    for (int i = 0; i < 4; ++i) {
        if (ports[i] == 0) {
            std::snprintf(portName, size, "COM%d:", i + 1);
            return true;
        }
    }
    return false;  // the buffer is left as it was and must not be used as a port name
}

bool CReloaderDlg::PortForAction(char* portName, size_t size) {
    if (!GetPortName(portName, size)) {
        ShowMessage(GetHwnd(), "No Com Port Selected", "Error");
        return false;
    }
    return true;
}

bool CReloaderDlg::ChooseAppFile(const char* folder, char* path) {
    char chosen[kChooserBufferSize] = "*.a37";
    OPENFILENAMEA chooser = {};
    chooser.lStructSize = sizeof chooser;
    chooser.hwndOwner = GetHwnd();
    chooser.lpstrFilter = "Vyra App (*.a37)\0*.a37\0\0";
    chooser.lpstrFile = chosen;
    chooser.nMaxFile = kChooserBufferSize;
    chooser.lpstrInitialDir = folder;
    chooser.lpstrTitle = "Select the Vyra Application";
    chooser.Flags = OFN_FILEMUSTEXIST;  // the read-only check box stays
    chooser.lpstrDefExt = "a37";
    if (!GetOpenFileNameA(&chooser)) {
        if (CommDlgExtendedError() == FNERR_BUFFERTOOSMALL) {
            ShowMessage(GetHwnd(), "Path Too Long", "Error");
        } else {
            ShowMessage(GetHwnd(), "No File Selected", "Error");
        }
        return false;
    }
    if (!AcceptChosenPath(chosen, path, kTextBufferSize)) {
        ShowMessage(GetHwnd(), "Path Too Long", "Error");
        return false;
    }
    return true;
}

void CReloaderDlg::OnReload() {
    if (!s_lastLocationSet) {
        std::snprintf(s_lastLocation, sizeof s_lastLocation, "%s", kReleaseFolder);
        s_lastLocationSet = true;
    }
    const char* folder = m_hSignLibrary != nullptr ? s_lastLocation : kCurrentFolder;
    char path[kTextBufferSize];
    if (!ChooseAppFile(folder, path)) {
        return;
    }
    DoDataExchange(true);
    std::snprintf(s_lastLocation, sizeof s_lastLocation, "%s", path);
    char portName[kTextBufferSize];
    if (!PortForAction(portName, sizeof portName)) {
        return;
    }
    m_progress.RunJob(path, portName, m_pfnSignApp, 0);
}

void CReloaderDlg::OnStartBios() {
    char portName[kTextBufferSize];
    if (!PortForAction(portName, sizeof portName)) {
        return;
    }
    m_progress.RunKickStart(portName);
}

void CReloaderDlg::OnExportSRec() {
    if (m_hSignLibrary == nullptr) {
        return;
    }
    char path[kTextBufferSize];
    if (!ChooseAppFile(kCurrentFolder, path)) {
        return;
    }
    m_progress.RunJob(path, "", m_pfnSignApp, LoadFlagNoDevice | LoadFlagExport);
    ShowMessage(GetHwnd(), "That Sucks", "Hi There");
}

void CReloaderDlg::ConvertToCArray(const char* folder, uint32_t base) {
    char path[kTextBufferSize];
    if (!ChooseAppFile(folder, path)) {
        return;
    }
    m_progress.WaitForIdle();  // the conversion fills AppImage too
    ConvertImageToCArray(path, base, GetHwnd());
}

void CReloaderDlg::OnBootupArray() {
    ConvertToCArray(kBootupFolder, kBootupArrayBase);
}

void CReloaderDlg::OnLoaderArray() {
    ConvertToCArray(kLoaderFolder, kLoaderArrayBase);
}

bool CReloaderDlg::OnCommand(int id, int code) {
    if (code != BN_CLICKED) {
        return false;
    }
    switch (id) {
        case IDC_RELOAD:
            OnReload();
            return true;
        case IDC_START_BIOS:
            OnStartBios();
            return true;
        case IDC_COM1:
            OnCom1();
            return true;
        case IDC_COM2:
            OnCom2();
            return true;
        case IDC_COM3:
            OnCom3();
            return true;
        case IDC_COM4:
            OnCom4();
            return true;
        case IDC_EXPORT_SREC:
            OnExportSRec();
            return true;
        case IDC_BOOTUP_ARRAY:
            OnBootupArray();
            return true;
        case IDC_LOADER_ARRAY:
            OnLoaderArray();
            return true;
        default:
            return false;
    }
}

bool CReloaderDlg::OnSysCommand(WPARAM command, LPARAM) {
    if ((command & 0xFFF0) != IDM_ABOUTBOX) {
        return false;
    }
    CAboutDlg about;
    about.DoModal();
    return true;
}

bool CReloaderDlg::OnPaint() {
    if (!IsIconic(GetHwnd())) {
        return false;
    }
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(GetHwnd(), &paint);
    SendMessageA(GetHwnd(), WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    RECT client;
    GetClientRect(GetHwnd(), &client);
    const POINT origin =
        MinimisedIconOrigin(client, GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON));
    DrawIcon(dc, origin.x, origin.y, m_hIcon);
    EndPaint(GetHwnd(), &paint);
    return true;
}
