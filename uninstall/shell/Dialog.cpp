#include "shell/Dialog.h"

#include <commctrl.h>

#include "engine/ServiceControl.h"
#include "resource.h"
#include "shell/DriverList.h"
#include "shell/Worker.h"

HWND g_hDlg = nullptr;
HWND g_pListBox = nullptr;
HWND g_pUninstallButton = nullptr;
HWND g_pProgress = nullptr;

namespace {

// Starts a thread procedure without a parameter and lets it go: nobody waits for these
// threads, so their handles are closed at once. A raised priority is set before it runs.
bool StartThread(LPTHREAD_START_ROUTINE pProc, int nPriority)
{
    const bool bRaise = nPriority != THREAD_PRIORITY_NORMAL;
    HANDLE hThread = CreateThread(nullptr, 0, pProc, nullptr, bRaise ? CREATE_SUSPENDED : 0, nullptr);
    if (!hThread)
        return false;
    if (bRaise) {
        SetThreadPriority(hThread, nPriority);
        ResumeThread(hThread);
    }
    CloseHandle(hThread);
    return true;
}

// One worker at a time. The button alone cannot ensure it: a press can reach the loop before
// the new worker has disabled the button, or after the worker has enabled it again while it
// is still rebuilding the list (and a posted press reaches the loop even on a disabled
// button). So the press itself claims g_bWorkerRunning on this thread, and only the press
// that turned it from 0 to 1 starts a worker; the worker gives it back as its last step.
void StartWorkerUnlessRunning()
{
    if (InterlockedCompareExchange(&g_bWorkerRunning, 1, 0) != 0)
        return;
    if (!StartThread(UninstallThread, THREAD_PRIORITY_HIGHEST))
        InterlockedExchange(&g_bWorkerRunning, 0);  // no worker came: the next press may try again
}

}  // namespace

int RunDialog()
{
    g_pListBox = GetDlgItem(g_hDlg, IDC_DRIVER_LIST);
    g_pUninstallButton = GetDlgItem(g_hDlg, IDOK);
    g_pProgress = GetDlgItem(g_hDlg, IDC_PROGRESS);
    SendMessageW(g_pProgress, PBM_SETRANGE, 0, MAKELPARAM(0, 100));

    FillDriverList();
    ShowWindow(g_hDlg, SW_SHOW);
    MessageBoxW(g_hDlg, L"卸载驱动前请确认已关闭打印机设备，并退出所有应用程序！", L"Printer Driver Uninstaller",
                MB_OK);
    StartThread(StartPcaSvcThread, THREAD_PRIORITY_NORMAL);

    // No IsDialogMessageW: the buttons act on the left-button press alone, keys do nothing.
    MSG msg;
    for (;;) {
        BOOL bResult = GetMessageW(&msg, g_hDlg, 0, 0);
        if (bResult == 0)
            return 0;
        if (bResult == -1)
            return -1;  // also how a close through the title bar ends: the dialog is gone
        if (msg.message == WM_LBUTTONDOWN) {
            int nId = GetDlgCtrlID(msg.hwnd);
            if (nId == IDOK)
                StartWorkerUnlessRunning();  // the press is still dispatched: the button draws pushed
            else if (nId == IDCANCEL)
                return 0;
        }
        if (msg.message == WM_CLOSE || msg.message == WM_DESTROY)
            return 0;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

INT_PTR CALLBACK DlgProc(HWND hWnd, UINT message, WPARAM, LPARAM)
{
    switch (message) {
    case WM_CLOSE:
        DestroyWindow(hWnd);
        return TRUE;
    case WM_DESTROY:
        PostQuitMessage(0);
        return TRUE;
    default:
        return FALSE;
    }
}

DWORD WINAPI StopPcaSvcThread(LPVOID)
{
    SC_HANDLE hScManager = OpenSCManagerW(nullptr, nullptr, GENERIC_EXECUTE);
    if (hScManager)
        StopPcaSvc(hScManager);  // closes the manager handle
    return 0;
}

DWORD WINAPI StartPcaSvcThread(LPVOID)
{
    SC_HANDLE hScManager = OpenSCManagerW(nullptr, nullptr, GENERIC_EXECUTE);
    if (hScManager)
        StartPcaSvc(hScManager);  // closes the manager handle
    return 0;
}
