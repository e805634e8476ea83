#pragma once
// Stand-ins for the dialog's windows inside the test program: a host window with the list box,
// the Uninstall button and the progress bar, put into the globals the shell code works on.
#include <windows.h>
#include <string>
#include <vector>

class ShellWindows {
public:
    ShellWindows();   // creates the windows and sets g_hDlg, g_pListBox, g_pUninstallButton, g_pProgress
    ~ShellWindows();  // destroys them and clears the globals
    ShellWindows(const ShellWindows&) = delete;
    ShellWindows& operator=(const ShellWindows&) = delete;

    std::vector<std::wstring> Rows() const;
    // Every PBM_SETPOS position the progress bar received, in order.
    std::vector<int> Positions() const { return m_positions; }

private:
    static LRESULT CALLBACK ProgressProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
    HWND m_hHost = nullptr;
    WNDPROC m_pProgressProc = nullptr;
    std::vector<int> m_positions;
};

// Runs a thread procedure on a thread of its own while this thread serves the windows' messages
// (as the program's message loop does for its worker); false when it did not end within the time.
bool RunServingMessages(LPTHREAD_START_ROUTINE pProc, DWORD timeoutMs);
