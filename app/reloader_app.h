// The application object: runs the main window modally and ends the program with it.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

class CReloaderApp {
public:
    CReloaderApp() = default;
    virtual ~CReloaderApp() = default;

    // Runs once at start-up; FALSE: the program ends when it returns.
    virtual BOOL InitInstance();
};

// The one application object, built before WinMain runs.
extern CReloaderApp theApp;
