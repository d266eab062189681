// The About box; OK, Escape and the close box end it through the ordinary handling.
#include "app/about_dlg.h"

#include "app/resource.h"

CAboutDlg::CAboutDlg() : CDialog(IDD_ABOUTBOX) {}
