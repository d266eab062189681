// Resource ids of VELKO.EXE: dialog templates, controls, the icon, the About string and the
// system menu command.  Included by the .rc file and by the dialogs' code.  The progress
// window's ids live beside that window, in the job's folder.
#pragma once

#include "job/load_progress_ids.h"

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_RELOADER_DIALOG 102
#define IDR_MAINFRAME 128

// The main window.
#define IDC_RELOAD 1000
#define IDC_START_BIOS 1004
#define IDC_COM1 1005
#define IDC_COM2 1006
#define IDC_COM3 1007
#define IDC_COM4 1008
#define IDC_VERSION_TEXT 1009
#define IDC_EXPORT_SREC 1010
#define IDC_LOADER_ARRAY 1011
#define IDC_BOOTUP_ARRAY 1012

// The system menu item that opens the About box (the system keeps the low four bits).
#define IDM_ABOUTBOX 0x0010

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
