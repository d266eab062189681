// Resource ids of the progress window: its dialog template and controls.  Beside the window
// that finds its controls by them; the program's resource.h takes them in for the .rc file.
// Plain defines, which the resource compiler reads.
#pragma once

#define IDD_LOAD_PROGRESS 129

#define IDC_PROGRESS_BAR 1001
#define IDC_BYTES_TEXT 1002
#define IDC_STATUS_TEXT 1003
