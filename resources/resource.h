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

// Version resource of both programs. The numbers come from the build (CMakeLists.txt: the
// project's version), passed to the resource compiler as APP_VERSION_MAJOR ... _TWEAK.
#if defined(RC_INVOKED) && !(defined(APP_VERSION_MAJOR) && defined(APP_VERSION_MINOR) && \
                             defined(APP_VERSION_PATCH) && defined(APP_VERSION_TWEAK))
#error "the build passes the version numbers to the resource compiler"
#endif
#define APP_VERSION_BINARY APP_VERSION_MAJOR, APP_VERSION_MINOR, APP_VERSION_PATCH, APP_VERSION_TWEAK
#define APP_VERSION_STRING_(text) #text
#define APP_VERSION_STRING(text) APP_VERSION_STRING_(text)
#define APP_VERSION_TEXT APP_VERSION_STRING(APP_VERSION_MAJOR.APP_VERSION_MINOR.APP_VERSION_PATCH.APP_VERSION_TWEAK)
