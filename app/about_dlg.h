// The About box: the icon, "VELKO Version 1.0", a legal notice line and OK.
#pragma once

#include "framework/dialog.h"

class CAboutDlg : public CDialog {
public:
    CAboutDlg();
    ~CAboutDlg() override = default;

protected:
    void DoDataExchange(bool) override {}  // the box has no fields
};
