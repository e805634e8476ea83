// Resource ids shared by the resource scripts and the code.
#pragma once

#define IDD_UNINSTALL_ZH 101  // the dialog the program creates
#define IDD_UNINSTALL_EN 102  // English copy of the same layout; shipped, not loaded

#define IDC_DRIVER_LIST 1000
#define IDC_PROGRESS 1001

#ifndef IDC_STATIC
#define IDC_STATIC -1
#endif

// Application icon of each program: the lowest icon id, so Explorer shows it for the file.
#define IDI_APP_ICON 1

// Version resource of both programs.
#define APP_VERSION_BINARY 1, 0, 0, 0
#define APP_VERSION_TEXT "1.0.0.0"
