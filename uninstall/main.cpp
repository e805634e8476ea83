// Uninstall: removes one printer or printer driver chosen in its dialog.
#include <windows.h>
#include <commctrl.h>

#include "resource.h"
#include "shell/Dialog.h"
#include "shell/DriverList.h"

namespace {

// A windowed program has no console of its own, so the text goes to whatever standard output
// the starting process handed over (a pipe or a file when output is redirected); with none,
// it is dropped. No console is opened for it: nothing is shown to the user.
void WriteStandardOutput(const char* pText)
{
    HANDLE hOut = GetStdHandle(STD_OUTPUT_HANDLE);
    if (hOut == nullptr || hOut == INVALID_HANDLE_VALUE)
        return;
    DWORD cbWritten = 0;
    WriteFile(hOut, pText, static_cast<DWORD>(lstrlenA(pText)), &cbWritten, nullptr);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE, PWSTR, int)
{
    HANDLE hStopThread = CreateThread(nullptr, 0, StopPcaSvcThread, nullptr, 0, nullptr);
    if (hStopThread)
        CloseHandle(hStopThread);  // not waited for

    FindSpoolerEnvironment();

    // The dialog's progress bar is a common control: its window class must be registered
    // before the template is created.
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);

    g_hDlg = CreateDialogParamW(hInstance, MAKEINTRESOURCEW(IDD_UNINSTALL_ZH), nullptr, DlgProc, 0);
    if (!g_hDlg) {
        WriteStandardOutput("Failed to create dialog/n");
        return 0;
    }
    RunDialog();
    return 0;
}
