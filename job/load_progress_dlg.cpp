// The progress window.  The worker thread reaches the window only through synchronous load
// reports and message boxes.  Cancel closes the window at once and signals the job's cancel
// event, so that programming stops before its next block; the worker, its thread handle and
// its cancel event outlive the window until the next activity (or the program's end) has
// waited for the worker, so two jobs never share the image, the programmer or the port.
#include "job/load_progress_dlg.h"

#include "job/load_job.h"
#include "job/load_progress_ids.h"
#include "job/load_report_state.h"
#include "link/load_report.h"

#include <commctrl.h>
#include <process.h>

#include <cstdio>

namespace {

// The report state lives for the whole program run, shared by every opening of the window.
CLoadReportState s_reportState;

}  // namespace

CLoadProgressDlg::CLoadProgressDlg() : CDialog(IDD_LOAD_PROGRESS) {}

CLoadProgressDlg::~CLoadProgressDlg() {
    WaitForIdle();
}

int CLoadProgressDlg::RunJob(const char* path, const char* portName, SignAppFn signApp,
                             unsigned flags) {
    WaitForIdle();
    std::snprintf(m_path, sizeof m_path, "%s", path != nullptr ? path : "");
    std::snprintf(m_port, sizeof m_port, "%s", portName != nullptr ? portName : "");
    m_pfnSign = signApp;
    m_flags = static_cast<LoadFlags>(flags & 0xFF);
    m_runRequested = 1;
    DoModal();
    return 1;
}

void CLoadProgressDlg::RunKickStart(const char* portName) {
    WaitForIdle();
    m_programmer.KickStart(GetHwnd(), portName);
}

bool CLoadProgressDlg::JobRunning() const {
    return m_hWorker != nullptr && WaitForSingleObject(m_hWorker, 0) == WAIT_TIMEOUT;
}

void CLoadProgressDlg::WaitForIdle() {
    if (m_hWorker != nullptr && WaitForSingleObject(m_hWorker, 0) == WAIT_TIMEOUT) {
        // Keep painting while the earlier job runs to its end (it may show a message box
        // the user has to close), but take no input that could start something else.
        CDialog* mainDialog = MainDialog();
        HWND mainWindow = mainDialog != nullptr ? mainDialog->GetHwnd() : nullptr;
        const bool disable = mainWindow != nullptr && IsWindowEnabled(mainWindow);
        if (disable) {
            EnableWindow(mainWindow, FALSE);
        }
        bool quit = false;
        WPARAM quitCode = 0;
        for (;;) {
            const DWORD wait =
                MsgWaitForMultipleObjects(1, &m_hWorker, FALSE, INFINITE, QS_ALLINPUT);
            if (wait == WAIT_OBJECT_0) {
                break;
            }
            if (wait != WAIT_OBJECT_0 + 1) {
                WaitForSingleObject(m_hWorker, INFINITE);
                break;
            }
            MSG msg;
            while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
                if (msg.message == WM_QUIT) {
                    quit = true;
                    quitCode = msg.wParam;
                    continue;
                }
                TranslateMessage(&msg);
                DispatchMessageA(&msg);
            }
        }
        if (disable) {
            EnableWindow(mainWindow, TRUE);
        }
        if (quit) {
            PostQuitMessage(static_cast<int>(quitCode));
        }
    }
    if (m_hWorker != nullptr) {
        CloseHandle(m_hWorker);
        m_hWorker = nullptr;
    }
    // The job that was handed this event can no longer poll it.
    CloseCancelEvent(m_hCancelEvent);
    m_hCancelEvent = nullptr;
}

BOOL CLoadProgressDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    m_pStatusText = GetItem(IDC_STATUS_TEXT);
    m_pBytesText = GetItem(IDC_BYTES_TEXT);
    m_pProgressCtrl = GetItem(IDC_PROGRESS_BAR);

    m_hCancelEvent = CreateCancelEvent();
    m_jobWindow = GetHwnd();
    const uintptr_t thread =
        _beginthreadex(nullptr, 0, LoadJobThreadProc, this, CREATE_SUSPENDED, nullptr);
    if (thread == 0) {
        ShowMessage(GetHwnd(), "Can't start the load", "Error");
        EndDialog(0);
        return TRUE;
    }
    m_hWorker = reinterpret_cast<HANDLE>(thread);
    SetThreadPriority(m_hWorker, THREAD_PRIORITY_LOWEST);
    ResumeThread(m_hWorker);
    return TRUE;
}

unsigned __stdcall CLoadProgressDlg::LoadJobThreadProc(void* dialog) {
    auto* self = static_cast<CLoadProgressDlg*>(dialog);
    if (self->m_runRequested == 1) {
        self->ExecuteJob();
    }
    return 1;
}

void CLoadProgressDlg::ExecuteJob() {
    const int result = LoadJob(m_programmer, m_path, m_jobWindow, WM_LOAD_REPORT, m_hCancelEvent,
                               m_port, m_pfnSign, m_flags);
    // Reaches the window only while it is open: a closed window's handle takes no message.
    SendWindowReport(m_jobWindow, WM_LOAD_REPORT, ReportEnd, result);
}

void CLoadProgressDlg::CloseAndCancel(INT_PTR result) {
    SignalCancelEvent(m_hCancelEvent);
    EndDialog(result);
}

void CLoadProgressDlg::OnCancel() {
    CloseAndCancel(IDCANCEL);
}

// Enter with no button focused closes the window just as Cancel does, so it stops the job
// as well rather than leaving it to run on unseen.
void CLoadProgressDlg::OnOK() {
    CloseAndCancel(IDOK);
}

bool CLoadProgressDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
    if (message != WM_LOAD_REPORT) {
        return false;
    }
    *result = OnLoadReport(wParam, lParam);
    return true;
}

LRESULT CLoadProgressDlg::OnLoadReport(WPARAM kind, LPARAM value) {
    switch (kind) {
        case ReportStatus:
            if (value != 0) {
                SetWindowTextA(m_pStatusText, reinterpret_cast<const char*>(value));
            }
            break;
        case ReportTotal:
            s_reportState.OnTotal(static_cast<int32_t>(value));
            SetWindowTextA(m_pBytesText, "");
            SendMessageA(m_pProgressCtrl, PBM_SETRANGE32, 0, s_reportState.Total());
            SendMessageA(m_pProgressCtrl, PBM_SETPOS, 0, 0);
            break;
        case ReportProgress:
            if (s_reportState.OnProgress(static_cast<int32_t>(value))) {
                SetWindowTextA(m_pBytesText, s_reportState.ByteText());
            }
            SendMessageA(m_pProgressCtrl, PBM_SETPOS, static_cast<WPARAM>(s_reportState.Done()), 0);
            break;
        case ReportEnd:
            EndDialog(static_cast<INT_PTR>(value));
            break;
        default:
            break;  // kinds above 3 are not reports of this window
    }
    return 0;
}
