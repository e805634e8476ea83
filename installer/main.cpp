// Installer: starts the driver setup program that matches the running Windows, waits for it and
// ends with its exit code.
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include <string>

#include "Installer.h"

namespace {

// Longest path Windows can hand out for a module (the limit of its wide path strings).
const DWORD kLongestPath = 32768;

// The program runs elevated from the installation media or a download folder. Its imports
// are Windows' known DLLs, always taken from the system folder; the DLLs that ShellExecuteExW
// and the shell load later by bare name are searched for in the system folder only, not
// beside the program. (Windows 7 without KB2533623 lacks the call: the current folder at
// least leaves the search.)
void RestrictDllSearch()
{
    typedef BOOL(WINAPI * SetDefaultDllDirectoriesProc)(DWORD);
    auto pSetDefaultDllDirectories = reinterpret_cast<SetDefaultDllDirectoriesProc>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
    if (!pSetDefaultDllDirectories || !pSetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32))
        SetDllDirectoryW(L"");
}

}  // namespace

// Own full path. A buffer of MAX_PATH fits every ordinary installation folder; a longer path
// would come back cut off, and the folder taken from a cut path is an ancestor folder, where
// another program may be lying under the setup program's name. So the buffer grows until the
// whole path fits. An empty result (the call failed, or no path fits even the longest buffer)
// means the own folder is unknown.
std::wstring OwnModulePath()
{
    DWORD cchBuffer = MAX_PATH;
    for (;;) {
        std::wstring strPath(cchBuffer, L'\0');
        DWORD cchCopied = GetModuleFileNameW(nullptr, &strPath[0], cchBuffer);
        if (cchCopied == 0)
            return std::wstring();
        if (cchCopied < cchBuffer) {  // it fit, with its terminating zero
            strPath.resize(cchCopied);
            return strPath;
        }
        if (cchBuffer == kLongestPath)
            return std::wstring();
        cchBuffer = cchBuffer * 2 < kLongestPath ? cchBuffer * 2 : kLongestPath;
    }
}

// The processor architecture of the running Windows. IsWow64Process2 (Windows 10 1709 on,
// looked up at run time) is asked first: it alone tells this x86 process the truth on ARM64
// Windows, where GetNativeSystemInfo answers x86 (Windows 10) or x64 (Windows 11, under x64
// emulation), which would pick a setup whose drivers the ARM64 spooler cannot load. Then
// GetNativeSystemInfo (XP on), then the process's own view.
WORD NativeProcessorArchitecture()
{
    HMODULE hKernel = GetModuleHandleW(L"kernel32.dll");
    typedef BOOL(WINAPI * IsWow64Process2Proc)(HANDLE, USHORT*, USHORT*);
    auto pIsWow64Process2 =
        reinterpret_cast<IsWow64Process2Proc>(reinterpret_cast<void*>(GetProcAddress(hKernel, "IsWow64Process2")));
    USHORT nProcessMachine = 0, nNativeMachine = 0;
    if (pIsWow64Process2 && pIsWow64Process2(GetCurrentProcess(), &nProcessMachine, &nNativeMachine)) {
        switch (nNativeMachine) {
        case IMAGE_FILE_MACHINE_AMD64:
            return PROCESSOR_ARCHITECTURE_AMD64;
        case IMAGE_FILE_MACHINE_IA64:
            return PROCESSOR_ARCHITECTURE_IA64;
        case 0xAA64:  // IMAGE_FILE_MACHINE_ARM64, which older SDKs do not name
            return kArchitectureArm64;
        case IMAGE_FILE_MACHINE_I386:
            return PROCESSOR_ARCHITECTURE_INTEL;
        default:
            break;  // a machine without a name here: asked the older way
        }
    }
    typedef void(WINAPI * GetNativeSystemInfoProc)(LPSYSTEM_INFO);
    SYSTEM_INFO info = {};
    auto pGetNativeSystemInfo = reinterpret_cast<GetNativeSystemInfoProc>(
        reinterpret_cast<void*>(GetProcAddress(hKernel, "GetNativeSystemInfo")));
    if (pGetNativeSystemInfo)
        pGetNativeSystemInfo(&info);
    else
        GetSystemInfo(&info);
    return info.wProcessorArchitecture;
}

// ARM64 Windows runs x86 and x64 programs, but no driver built for them: its spooler loads
// ARM64 drivers only (MS: Windows on Arm, "drivers must be compiled for ARM64"). So ARM64 gets
// a setup of its own, where the maker ships one.
const wchar_t* SetupProgramFor(WORD wArchitecture)
{
    if (wArchitecture == PROCESSOR_ARCHITECTURE_AMD64 || wArchitecture == PROCESSOR_ARCHITECTURE_IA64)
        return L"PrinterDriver\\Setup_X64.exe";
    if (wArchitecture == kArchitectureArm64)
        return L"PrinterDriver\\Setup_ARM64.exe";
    return L"PrinterDriver\\Setup_i386.exe";
}

bool IsFile(const std::wstring& strPath)
{
    const DWORD dwAttributes = GetFileAttributesW(strPath.c_str());
    return dwAttributes != INVALID_FILE_ATTRIBUTES && !(dwAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Whether the program's window station is visible. Not in session 0, where services run (a
// management tool's SYSTEM): a box there waits, unseen, for a press that never comes, and the
// tool waits with it.
bool SessionShowsWindows()
{
    USEROBJECTFLAGS flags = {};
    DWORD cbNeeded = 0;
    if (!GetUserObjectInformationW(GetProcessWindowStation(), UOI_FLAGS, &flags, sizeof(flags), &cbNeeded))
        return true;  // not known: the box, as always
    return (flags.dwFlags & WSF_VISIBLE) != 0;
}

// Tells the user why nothing was installed, where someone can see it; the exit code tells a
// management tool.
void ShowFailure(const std::wstring& strText)
{
    if (SessionShowsWindows())
        MessageBoxW(nullptr, strText.c_str(), L"Printer Driver Installer", MB_OK | MB_ICONERROR);
}

// The last error, or ERROR_GEN_FAILURE where a failed call left none: a failure never ends as 0.
DWORD FailureCode()
{
    const DWORD dwError = GetLastError();
    return dwError ? dwError : ERROR_GEN_FAILURE;
}

// Starts the setup and waits for it, without a bound: a setup may take many minutes, and a
// management tool has a time-out of its own. The wait blocks the only thread, which owns no
// window, so nothing waits on its messages. Returns the setup's exit code (0, 3010, 1641 and
// its failures pass through as a management tool reads them), or the start's error.
DWORD RunSetup(const std::wstring& strSetup)
{
    // ShellExecuteEx may hand the start to shell extensions that need COM in a single-threaded
    // apartment (MS: ShellExecuteExW, Remarks). The apartment ends before the wait, which pumps
    // no messages.
    const HRESULT hrCom = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof(info);
    // The process handle to wait on; no error box of the shell's (the Installer's own says what
    // failed, and only where it can be seen); the start finished when the call returns, as the
    // program may end right after it (MS: SHELLEXECUTEINFOW, SEE_MASK_NOASYNC).
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
    info.lpVerb = L"open";
    info.lpFile = strSetup.c_str();
    info.nShow = SW_SHOW;
    const BOOL bStarted = ShellExecuteExW(&info);
    const DWORD dwStartError = bStarted ? 0 : FailureCode();
    if (SUCCEEDED(hrCom))
        CoUninitialize();
    if (!bStarted) {
        ShowFailure(L"无法启动驱动程序安装程序（错误 " + std::to_wstring(dwStartError) + L"）：" + strSetup);
        return dwStartError;
    }
    // No handle when the start was handed on without a new process, as to a DDE conversation
    // (MS: SHELLEXECUTEINFOW, SEE_MASK_NOCLOSEPROCESS): it started, with no result to wait for.
    if (!info.hProcess)
        return 0;
    DWORD dwExitCode = 0;
    if (WaitForSingleObject(info.hProcess, INFINITE) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(info.hProcess, &dwExitCode))
        dwExitCode = FailureCode();
    CloseHandle(info.hProcess);
    return dwExitCode;
}

int RunInstaller()
{
    RestrictDllSearch();
    const WORD wArchitecture = NativeProcessorArchitecture();
    const std::wstring strOwn = OwnModulePath();
    // Without its own path the program does not know where its setup programs lie; it starts
    // nothing rather than a program of that name in whatever the current folder is.
    if (strOwn.empty()) {
        ShowFailure(std::wstring(L"找不到驱动程序安装程序：") + SetupProgramFor(wArchitecture));
        return kExitSetupMissing;
    }
    const size_t nLastBackslash = strOwn.rfind(L'\\');
    const std::wstring strSetup =
        (nLastBackslash == std::wstring::npos ? std::wstring() : strOwn.substr(0, nLastBackslash + 1)) +
        SetupProgramFor(wArchitecture);
    if (IsFile(strSetup))
        return static_cast<int>(RunSetup(strSetup));
    // Without an ARM64 setup beside it, an ARM64 PC gets nothing: the x86 setup would install a
    // driver its spooler cannot load, and end as if all went well. The user is told why.
    if (wArchitecture == kArchitectureArm64) {
        ShowFailure(L"此电脑使用 ARM64 处理器，需要打印机厂商提供的 ARM64 驱动程序。本安装盘中没有该驱动程序。");
        return kExitNoArm64Setup;
    }
    ShowFailure(L"找不到驱动程序安装程序：" + strSetup);
    return kExitSetupMissing;
}

#ifndef INSTALLER_NO_ENTRY
int wmain(int, wchar_t**, wchar_t**)
{
    return RunInstaller();
}
#endif
