// The progress window "Loading Vyra": runs one load job on a worker thread and shows its
// reports (status, byte count, bar); it also lends its programmer to the kick-start.
#pragma once

#include "devtools/sign_library.h"
#include "framework/dialog.h"
#include "framework/runtime.h"
#include "framework/text_buffer.h"
#include "job/load_flags.h"
#include "link/device_programmer.h"

class CLoadProgressDlg : public CDialog {
public:
    CLoadProgressDlg();
    // Waits for a job that still runs, so that nothing it uses goes away under it.
    ~CLoadProgressDlg() override;

    // Stores the job, opens the window modally and runs the job behind it; returns 1 once
    // the window has closed.  An earlier job's worker is waited for first.
    int RunJob(const char* path, const char* portName, SignAppFn signApp, unsigned flags);
    // The kick-start on this window's programmer, on the calling thread; the window is not
    // open, so the kick-start's messages have no owner.
    void RunKickStart(const char* portName);

    // Waits, keeping the windows painted and the main window disabled, until the worker of
    // an earlier job has ended; then closes its thread handle and its cancel event.  Every
    // activity on the image, the programmer or a port calls this first.
    void WaitForIdle();
    // True while a worker thread runs (also after its window was cancelled).
    bool JobRunning() const;

    CDeviceProgrammer m_programmer;
    char m_path[kTextBufferSize] = {};
    char m_port[kTextBufferSize] = {};
    SignAppFn m_pfnSign = nullptr;
    LoadFlags m_flags = 0;
    int m_runRequested = 0;
    HWND m_pStatusText = nullptr;
    HWND m_pBytesText = nullptr;
    HWND m_pProgressCtrl = nullptr;
    EventHandle m_hCancelEvent = nullptr;

protected:
    BOOL OnInitDialog() override;
    void OnOK() override;
    void OnCancel() override;
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) override;
    LRESULT OnLoadReport(WPARAM kind, LPARAM value);

private:
    static unsigned __stdcall LoadJobThreadProc(void* dialog);
    void ExecuteJob();
    // Closes the window while the job may go on, and tells the job to stop programming.
    void CloseAndCancel(INT_PTR result);

    HANDLE m_hWorker = nullptr;  // the running or last job's thread, until waited for
    HWND m_jobWindow = nullptr;  // the window the worker's job reports to
};
