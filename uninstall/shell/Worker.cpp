#include "shell/Worker.h"

#include <commctrl.h>

#include "engine/RemoveDrivers.h"
#include "log/Log.h"
#include "shell/Dialog.h"
#include "shell/DriverList.h"
#include "shell/RemovalLock.h"

volatile LONG g_nProgress = 0;
const std::wstring g_strCaption = L"Printer Driver Uninstaller";
volatile LONG g_bWorkerRunning = 0;

namespace {

const UINT_PTR kProgressTimerId = 1;
const UINT kProgressTimerPeriodMs = 2000;

// 1 while the progress timer of a run may move the bar. A tick can already be on its way when
// the worker stops the timer (taken from the queue, or about to be); it must not add 2 to the
// final 0 or 100 that the worker writes next, so ProgressTimerProc does nothing once this is 0.
volatile LONG g_bProgressTimerOn = 0;

void SetProgress(LONG nValue)
{
    InterlockedExchange(&g_nProgress, nValue);
    SendMessageW(g_pProgress, PBM_SETPOS, static_cast<WPARAM>(nValue), 0);
}

void AddProgress(LONG nStep)
{
    LONG nValue = InterlockedExchangeAdd(&g_nProgress, nStep) + nStep;
    SendMessageW(g_pProgress, PBM_SETPOS, static_cast<WPARAM>(nValue), 0);
}

void StartProgressTimer()
{
    InterlockedExchange(&g_bProgressTimerOn, 1);
    SetTimer(g_hDlg, kProgressTimerId, kProgressTimerPeriodMs, ProgressTimerProc);
}

// Stops the ticks before the worker writes a final value. The flag turns every later tick into
// nothing; the message sent to the dialog returns only when the main thread, which runs the
// ticks, is back at its messages, so a tick that had already passed the flag has finished too.
void StopProgressTimer()
{
    InterlockedExchange(&g_bProgressTimerOn, 0);
    KillTimer(g_hDlg, kProgressTimerId);
    SendMessageW(g_hDlg, WM_NULL, 0, 0);
}

// One removal at a time on the PC: an unattended run may hold the lock; the worker waits for it
// as long as it takes, with the bar moving (the user can still end the program with Cancel).
// A lock that cannot be had at all fails the removal (logged).
BOOL RemoveSelection(const std::vector<DriverListEntry>& selection)
{
    RemovalLock lock;
    if (AcquireRemovalLock(INFINITE, lock) != kRemovalLockAcquired)
        return FALSE;
    const BOOL bRemoved = RemoveDrivers(selection);
    ReleaseRemovalLock(lock);
    return bRemoved;
}

}  // namespace

DWORD WINAPI UninstallThread(LPVOID)
{
    EnableWindow(g_pUninstallButton, FALSE);
    AddProgress(2);
    StartProgressTimer();
    DoUninstall();
    FillDriverList();
    // Last step: from here on the message loop may start the next worker (see the press in RunDialog).
    InterlockedExchange(&g_bWorkerRunning, 0);
    return 0;
}

void DoUninstall()
{
    const LRESULT nSelected = SendMessageW(g_pListBox, LB_GETCURSEL, 0, 0);
    // A row without an entry cannot happen while rows and entries are built together; it is
    // treated like no selection rather than read past the model.
    if (nSelected == LB_ERR || nSelected < 0 || static_cast<size_t>(nSelected) >= g_driverList.size()) {
        // The timer is stopped before the bar is set to 0, so that no tick lands after it.
        StopProgressTimer();
        SetProgress(0);
        MessageBoxW(nullptr, L"请选择当前需要卸载的打印机驱动程序！", nullptr, MB_OK | MB_ICONINFORMATION);
        EnableWindow(g_pUninstallButton, TRUE);
        return;
    }

    // Another row still counts this driver: it stays, and only the printer goes.
    DriverListEntry& entry = g_driverList[static_cast<size_t>(nSelected)];
    const bool bDriverStillUsed = g_driverUseCount[entry.strDriverName] > 1;
    if (bDriverStillUsed)
        entry.pDriverInfo = nullptr;

    // A driver row whose driver a printer still uses would then name nothing to remove: the
    // removal would restart the spooler, delete every queue's spool files and report a
    // success, with the driver still installed. Nothing is done, and the user is told it
    // failed; the log says why.
    std::vector<DriverListEntry> selection(1, entry);
    BOOL bRemoved = FALSE;
    if (bDriverStillUsed && !entry.bIsPrinter)
        WriteLog(L"驱动仍被打印机使用，未卸载：" + entry.strDriverName, FALSE);
    else
        bRemoved = RemoveSelection(selection);
    StopProgressTimer();
    if (!bRemoved) {
        SetProgress(0);
        MessageBoxW(g_hDlg, L"驱动卸载失败！\r\n请检查是否有其他应用程序正在使用打印机！请重启电脑后再次卸载驱动！",
                    g_strCaption.c_str(), MB_OK);
    } else {
        SetProgress(100);
        if (MessageBoxW(g_hDlg, L"驱动卸载成功，立即重启电脑！", g_strCaption.c_str(), MB_YESNO) == IDYES)
            RestartComputer();
    }
    SetProgress(0);
    EnableWindow(g_pUninstallButton, TRUE);
    selection.clear();
}

void CALLBACK ProgressTimerProc(HWND, UINT, UINT_PTR, DWORD)
{
    if (!g_bProgressTimerOn)
        return;  // a tick that was on its way when the worker stopped the timer
    AddProgress(2);
}

void RestartComputer()
{
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof(version);  // 276 bytes
#ifdef _MSC_VER
#pragma warning(suppress : 4996)  // only the platform id is read, which no compatibility shim changes
#endif
    GetVersionExW(&version);
    if (version.dwPlatformId == VER_PLATFORM_WIN32_NT) {
        HANDLE hToken = nullptr;
        if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &hToken)) {
            TOKEN_PRIVILEGES privileges = {};
            privileges.PrivilegeCount = 1;
            LookupPrivilegeValueW(nullptr, SE_SHUTDOWN_NAME, &privileges.Privileges[0].Luid);
            privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
            AdjustTokenPrivileges(hToken, FALSE, &privileges, 0, nullptr, nullptr);
            CloseHandle(hToken);
        }
    }
    ExitWindowsEx(EWX_REBOOT, 0);
}
