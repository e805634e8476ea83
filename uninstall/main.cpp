// Uninstall: removes one printer or printer driver chosen in its dialog.
#include <windows.h>
#include <commctrl.h>
#include <delayimp.h>

#include <shellapi.h>

#include <string>
#include <vector>

#include "resource.h"
#include "shell/CommandLine.h"
#include "shell/Dialog.h"
#include "shell/DriverList.h"

namespace {

// The program runs elevated, often straight from a download folder, where any file may lie
// beside it. Its static imports are Windows' known DLLs, which Windows takes from the system
// folder whatever lies beside the program, and comctl32, which the manifest's side-by-side
// dependency names; winspool.drv is not a known DLL and is delay-loaded (see CMakeLists.txt).
// From here on every DLL loaded by bare name, by this program or by system code on its
// behalf, is searched for in the system folder only. SetDefaultDllDirectories exists from
// Windows 8 on, and on Windows 7 with KB2533623; without it the current folder at least
// leaves the search, and the delay-load hook below still takes winspool.drv from the system.
void RestrictDllSearch()
{
    typedef BOOL(WINAPI * SetDefaultDllDirectoriesProc)(DWORD);
    auto pSetDefaultDllDirectories = reinterpret_cast<SetDefaultDllDirectoriesProc>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
    if (!pSetDefaultDllDirectories || !pSetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32))
        SetDllDirectoryW(L"");
}

// A delay-loaded DLL is loaded by its full path in the system folder (for this 32-bit program
// on 64-bit Windows, System32 leads to the 32-bit DLLs), and its own dependencies are looked
// for there first. Any other notification is left to the helper.
FARPROC WINAPI LoadDelayedFromSystemFolder(unsigned nNotify, PDelayLoadInfo pInfo)
{
    if (nNotify != dliNotePreLoadLibrary)
        return nullptr;
    wchar_t szSystem[MAX_PATH];
    const UINT nSystem = GetSystemDirectoryW(szSystem, MAX_PATH);
    if (nSystem == 0 || nSystem >= MAX_PATH)
        return nullptr;
    std::wstring strPath = std::wstring(szSystem) + L"\\";
    for (const char* p = pInfo->szDll; *p; ++p)
        strPath += static_cast<wchar_t>(static_cast<unsigned char>(*p));  // DLL names are ASCII
    return reinterpret_cast<FARPROC>(LoadLibraryExW(strPath.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
}

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

// Visual C++'s delayimp.h declares the hook const, mingw-w64's does not.
#ifdef _MSC_VER
const
#endif
    PfnDliHook __pfnDliNotifyHook2 = LoadDelayedFromSystemFolder;

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE, PWSTR, int)
{
    RestrictDllSearch();

    // With arguments the program works from its command line (a management tool, a script) and
    // shows nothing. It leaves the compatibility service alone: the assistant excludes a program
    // whose manifest names a run level, as this one's does, so it has nothing to show for this
    // run, and a removal should not stop and start a system service that it does not need.
    int nArgs = 0;
    LPWSTR* ppArgs = CommandLineToArgvW(GetCommandLineW(), &nArgs);
    if (ppArgs && nArgs > 1) {
        const std::vector<std::wstring> args(ppArgs + 1, ppArgs + nArgs);
        LocalFree(ppArgs);
        return RunCommandLine(args);
    }
    if (ppArgs)
        LocalFree(ppArgs);
    // No arguments where no one can see a window (a management tool's SYSTEM, told to run the
    // program without its switches): the run ends at once, as one whose command line cannot be
    // read, rather than leave the tool waiting for a dialog no one can close.
    if (!SessionShowsWindows())
        return kExitBadCommandLine;

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
