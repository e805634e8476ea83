// Helper of scripts/demo.sh, run inside its throwaway Wine prefix:
//   demo_helper setup             adds a few sample drivers and printers to the spooler
//   demo_helper wait-warning      waits for Uninstall's dialog and warning box; prints "x y w h"
//                                 of the area that holds both
//   demo_helper dismiss-warning   presses OK on the warning; prints "x y w h" of the dialog
//   demo_helper inject            loads the stand-ins for the calls Wine lacks into Uninstall
//   demo_helper select <desktop> <row>  selects the row with this text; prints "x y w h" of the dialog
//   demo_helper press-uninstall   presses Uninstall; prints "x y w h" of the dialog
//   demo_helper wait-success      waits for the success box; prints "x y w h" of dialog and box
//   demo_helper answer-no         answers No and waits for the rebuilt list; prints the dialog's area
//   demo_helper cancel            presses Cancel and waits for the program to end
//   demo_helper wait-exit         waits (without limit) until the program has ended
// Each command but setup takes the name of the Wine desktop the program runs in as a second
// argument (a window is found only from a thread of the same desktop).
// Exit code 0 on success, 1 when a window did not come or a step failed.
#include <windows.h>

#include <cstdio>
#include <string>

#include "GuiDriver.h"
#include "Inject.h"
#include "SpoolerSetup.h"
#include "TestSupport.h"

namespace {

const wchar_t kTitle[] = L"Printer Driver Uninstaller";
const wchar_t kWarning[] = L"卸载驱动前请确认已关闭打印机设备，并退出所有应用程序！";
const wchar_t kSuccess[] = L"驱动卸载成功，立即重启电脑！";
const DWORD kWaitMs = 60000;
const DWORD kRemovalWaitMs = 180000;

// The process that shows Uninstall's dialog (found by its title and list box), 0 when none.
DWORD UninstallPid()
{
    HWND hDialog = WaitForDialog(0, kTitle, 1000, 0);
    DWORD pid = 0;
    if (hDialog)
        GetWindowThreadProcessId(hDialog, &pid);
    return pid;
}

DWORD WaitForUninstall()
{
    DWORD pid = 0;
    WaitUntil([&] { return (pid = UninstallPid()) != 0; }, kWaitMs);
    return pid;
}

void PrintRect(RECT rc)
{
    printf("%ld %ld %ld %ld\n", rc.left, rc.top, rc.right - rc.left, rc.bottom - rc.top);
}

// Wine 8 on a bare X server leaves a top-level window black while it lies wholly inside
// another one, which is where Windows centres a message box. So the box is moved to stick out
// of the dialog on the right, as if the user had dragged it there, and then drawn afresh.
// Returns the area that holds both.
RECT ShowBoxBesideDialog(HWND hBox, HWND hDialog)
{
    RECT rcBox = {}, rcDialog = {}, rcBoth = {};
    GetWindowRect(hBox, &rcBox);
    GetWindowRect(hDialog, &rcDialog);
    const int cxBox = rcBox.right - rcBox.left;
    SetWindowPos(hBox, nullptr, rcDialog.right - cxBox * 2 / 3, rcBox.top + (rcDialog.bottom - rcBox.bottom) / 2, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    RedrawWindow(hBox, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
    GetWindowRect(hBox, &rcBox);
    UnionRect(&rcBoth, &rcBox, &rcDialog);
    return rcBoth;
}

HWND Dialog(DWORD pid)
{
    return WaitForDialog(pid, kTitle, 1000, kWaitMs);
}

int PrintDialogArea(HWND hDialog)
{
    if (!hDialog)
        return 1;
    RECT rc = {};
    GetWindowRect(hDialog, &rc);
    PrintRect(rc);
    return 0;
}

// The demo shows what Windows would: the calls Wine lacks are stood in for, as in the tests.
int Inject()
{
    const DWORD pid = WaitForUninstall();
    HANDLE hProcess = pid ? OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid) : nullptr;
    if (!hProcess)
        return 1;
    const bool bLoaded = InjectDll(hProcess, TestBinFolder() + L"standins.dll");
    CloseHandle(hProcess);
    return bLoaded ? 0 : 1;
}

int Select(const std::wstring& row)
{
    HWND hDialog = Dialog(WaitForUninstall());
    if (!hDialog)
        return 1;
    HWND hList = GetDlgItem(hDialog, 1000);
    const std::vector<std::wstring> rows = ListRows(hList);
    for (size_t i = 0; i < rows.size(); ++i)
        if (rows[i] == row && SelectRow(hList, static_cast<int>(i)))
            return PrintDialogArea(hDialog);
    return 1;
}

int PressUninstall()
{
    HWND hDialog = Dialog(WaitForUninstall());
    if (!hDialog)
        return 1;
    HWND hButton = GetDlgItem(hDialog, IDOK);
    PressButton(hButton);
    if (!WaitUntil([&] { return IsDisabled(hButton); }, kWaitMs))
        return 1;
    return PrintDialogArea(hDialog);
}

int WaitSuccess()
{
    const DWORD pid = WaitForUninstall();
    HWND hBox = pid ? WaitForMessageBox(pid, kSuccess, kRemovalWaitMs) : nullptr;
    HWND hDialog = hBox ? Dialog(pid) : nullptr;
    if (!hDialog)
        return 1;
    PrintRect(ShowBoxBesideDialog(hBox, hDialog));
    return 0;
}

int AnswerNo()
{
    const DWORD pid = WaitForUninstall();
    HWND hBox = pid ? WaitForMessageBox(pid, kSuccess, kWaitMs) : nullptr;
    if (!hBox || !AnswerMessageBox(hBox, IDNO))
        return 1;
    HWND hDialog = Dialog(pid);
    if (!hDialog || !WaitUntil([&] { return IsWindowEnabled(GetDlgItem(hDialog, IDOK)) != FALSE; }, kWaitMs))
        return 1;
    Sleep(500);  // the rebuild follows the enabling
    return PrintDialogArea(hDialog);
}

int Setup()
{
    // Kept in place: the demo's prefix is thrown away as a whole.
    static SpoolerSetup* s_pSpooler = new SpoolerSetup();
    const wchar_t* drivers[] = {L"TAVREL TP-2100 PCL6", L"TAVREL TP-3300 PS", L"TAVREL Label 80", L"Generic Office Laser"};
    for (const wchar_t* pDriver : drivers)
        if (DWORD dwError = s_pSpooler->InstallDriver(pDriver)) {
            fprintf(stderr, "adding a driver failed with %lu\n", dwError);
            return 1;
        }
    const struct {
        const wchar_t* pPrinter;
        const wchar_t* pDriver;
    } printers[] = {
        {L"TAVREL TP-2100 PCL6", L"TAVREL TP-2100 PCL6"},
        {L"前台打印机", L"Generic Office Laser"},
        {L"财务部 TP-3300", L"TAVREL TP-3300 PS"},
        {L"仓库标签机", L"TAVREL Label 80"},
    };
    for (const auto& p : printers)
        if (DWORD dwError = s_pSpooler->InstallPrinter(p.pPrinter, p.pDriver)) {
            fprintf(stderr, "adding a printer failed with %lu\n", dwError);
            return 1;
        }
    return 0;
}

int WaitWarning()
{
    const DWORD pid = WaitForUninstall();
    HWND hBox = pid ? WaitForMessageBox(pid, kWarning, kWaitMs) : nullptr;
    HWND hDialog = hBox ? WaitForDialog(pid, kTitle, 1000, kWaitMs) : nullptr;
    if (!hDialog) {
        fprintf(stderr, "no warning over the dialog (process %lu, box %p)\n", pid, static_cast<void*>(hBox));
        return 1;
    }
    PrintRect(ShowBoxBesideDialog(hBox, hDialog));
    return 0;
}

int DismissWarning()
{
    const DWORD pid = WaitForUninstall();
    HWND hBox = pid ? WaitForMessageBox(pid, kWarning, kWaitMs) : nullptr;
    if (!hBox || !AnswerMessageBox(hBox, IDOK))
        return 1;
    HWND hDialog = WaitForDialog(pid, kTitle, 1000, kWaitMs);
    if (!hDialog || !WaitUntil([&] { return IsWindowEnabled(hDialog) != FALSE; }, kWaitMs))
        return 1;
    RECT rc = {};
    GetWindowRect(hDialog, &rc);
    PrintRect(rc);
    return 0;
}

int WaitExit(bool bCancel)
{
    const DWORD pid = UninstallPid();
    if (!pid)
        return 0;
    HANDLE hProcess = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (!hProcess)
        return 1;
    if (bCancel) {
        HWND hDialog = WaitForDialog(pid, kTitle, 1000, kWaitMs);
        if (hDialog)
            PressButton(GetDlgItem(hDialog, IDCANCEL));
    }
    DWORD dwWait = WaitForSingleObject(hProcess, bCancel ? kWaitMs : INFINITE);
    CloseHandle(hProcess);
    return dwWait == WAIT_OBJECT_0 ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (argc > 2) {
        // The desktop exists once the program started in it has come up.
        HDESK hDesktop = nullptr;
        WaitUntil([&] { return (hDesktop = OpenDesktopW(argv[2], 0, FALSE, GENERIC_ALL)) != nullptr; }, kWaitMs);
        if (!hDesktop || !SetThreadDesktop(hDesktop)) {
            fprintf(stderr, "cannot use the desktop (error %lu)\n", GetLastError());
            return 1;
        }
    }
    if (command == L"setup")
        return Setup();
    if (command == L"wait-warning")
        return WaitWarning();
    if (command == L"dismiss-warning")
        return DismissWarning();
    if (command == L"inject")
        return Inject();
    if (command == L"select" && argc > 3)
        return Select(argv[3]);
    if (command == L"press-uninstall")
        return PressUninstall();
    if (command == L"wait-success")
        return WaitSuccess();
    if (command == L"answer-no")
        return AnswerNo();
    if (command == L"cancel")
        return WaitExit(true);
    if (command == L"wait-exit")
        return WaitExit(false);
    fprintf(stderr, "usage: demo_helper setup | (wait-warning|dismiss-warning|inject|press-uninstall|wait-success|"
                    "answer-no|cancel|wait-exit) [desktop] | select <desktop> <row>\n");
    return 2;
}
