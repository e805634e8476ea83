#include "cleanup/OemInf.h"

#include <setupapi.h>
#include <shlobj.h>

#include "cleanup/DirScanner.h"
#include "cleanup/DriverStore.h"
#include "cleanup/OtherDrivers.h"
#include "cleanup/SpecialFolder.h"
#include "log/Log.h"

namespace {

// pnputil takes a second or two; a hung one must not hold up the removal for ever.
const DWORD kPnpUtilWaitMs = 30000;

// SetupAPI refuses some driver-package calls from a 32-bit process on 64-bit Windows with
// ERROR_IN_WOW64. Windows' own pnputil (in the native system folder from Vista on, which a
// 32-bit process reaches through the Sysnative alias) does the same uninstall natively.
// It is started directly, not through cmd, in the system folder (as cmd is: not in whatever
// folder the user started this program from), and waited for, so that the driver store
// clean-up that follows does not race it. One still at work when the wait ends is left to
// finish (ending it halfway could leave the store half changed), with a record; so is a start
// that fails and an exit code other than 0 (as the record's error). Whether the INF went is
// then read from the INF folder, not from pnputil.
void UninstallOemInfNatively(const std::wstring& strWindows, const std::wstring& strName)
{
    std::wstring strCommand = L"\"" + strWindows + L"\\Sysnative\\pnputil.exe\" -f -d \"" + strName + L"\"";
    // CSIDL_SYSTEM's path names the native system folder for the 64-bit pnputil (this 32-bit
    // process sees SysWOW64 there, which exists too).
    std::wstring strSystem;
    if (!GetSpecialFolder(CSIDL_SYSTEM, strSystem))
        return;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &strCommand[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, strSystem.c_str(),
                        &startup, &process)) {
        WriteLog(L"pnputil " + strName, TRUE);
        return;
    }
    DWORD dwExitCode = STILL_ACTIVE;
    if (WaitForSingleObject(process.hProcess, kPnpUtilWaitMs) != WAIT_OBJECT_0) {
        SetLastError(WAIT_TIMEOUT);
        WriteLog(L"pnputil " + strName, TRUE);
    } else if (GetExitCodeProcess(process.hProcess, &dwExitCode) && dwExitCode != 0) {
        SetLastError(dwExitCode);
        WriteLog(L"pnputil " + strName, TRUE);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

// Uninstalls one OEM INF, by SetupAPI or, where SetupAPI refuses a 32-bit caller, by pnputil.
// It counts as uninstalled only when it is gone from the INF folder afterwards: whatever the
// calls answered, an INF still published keeps its package out of the store clean-up, so that
// no oem<N>.inf is left pointing at a deleted package.
bool UninstallOemInf(const std::wstring& strWindows, const std::wstring& strPath, const std::wstring& strName)
{
    if (!SetupUninstallOEMInfW(strName.c_str(), SUOI_FORCEDELETE, nullptr)) {
        if (GetLastError() == ERROR_IN_WOW64)
            UninstallOemInfNatively(strWindows, strName);
        else
            WriteLog(L"SetupUninstallOEMInf " + strName, TRUE);
    }
    return GetFileAttributesW(strPath.c_str()) == INVALID_FILE_ATTRIBUTES && GetLastError() == ERROR_FILE_NOT_FOUND;
}

// Whether the OEM INF is the published INF of a package another installed driver came from.
// SetupAPI tells the package of a published INF from Vista on (looked up at run time: Wine 8
// has only a stub). Only where the spooler has named such packages is there anything to ask;
// an answer that cannot be had leaves the INF alone, with a record.
bool PublishesAnotherDriversPackage(const std::wstring& strInfPath, const OtherDrivers& others, bool& bUnplaced)
{
    bUnplaced = false;
    if (others.infPaths.empty())
        return false;
    typedef BOOL(WINAPI * GetInfDriverStoreLocationProc)(PCWSTR, PSP_ALTPLATFORM_INFO, PCWSTR, PWSTR, DWORD, PDWORD);
    auto pGetInfDriverStoreLocation = reinterpret_cast<GetInfDriverStoreLocationProc>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"setupapi.dll"), "SetupGetInfDriverStoreLocationW")));
    wchar_t szStoreInf[MAX_PATH] = {};
    if (!pGetInfDriverStoreLocation ||
        !pGetInfDriverStoreLocation(strInfPath.c_str(), nullptr, nullptr, szStoreInf, MAX_PATH, nullptr)) {
        WriteLog(L"SetupGetInfDriverStoreLocation" + strInfPath, TRUE);
        bUnplaced = true;
        return true;
    }
    return AnotherDriverComesFromPackage(others, szStoreInf);
}

}  // namespace

BOOL UninstallOemInfs(std::wstring driverName, const OtherDrivers& others, std::vector<std::wstring>* pUnsettled)
{
    // An empty name would match, and so uninstall, every OEM INF of the computer.
    if (driverName.empty())
        return TRUE;
    for (wchar_t& c : driverName) {
        if (c >= L'a' && c <= L'z')
            c = static_cast<wchar_t>(c - (L'a' - L'A'));
    }

    // Without the Windows folder there is nothing to look at; this step never fails the removal.
    std::wstring strWindows;
    if (!GetSpecialFolder(CSIDL_WINDOWS, strWindows))
        return TRUE;

    CDirScanner scanner;
    scanner.ScanDirectory(strWindows + L"\\inf\\", ScanCollect, L"oem", TRUE);
    for (const std::wstring& strPath : scanner.m_matchedFiles) {
        if (!FileMentionsDriver(strPath, driverName))
            continue;
        size_t nSlash = strPath.rfind(L'\\');
        if (nSlash == std::wstring::npos)
            continue;
        // Left alone while another installed driver still comes from it.
        bool bUnplaced = false;
        if (FileNamesAnotherDriver(strPath, driverName, others.names) ||
            PublishesAnotherDriversPackage(strPath, others, bUnplaced)) {
            if (bUnplaced && pUnsettled)
                pUnsettled->push_back(strPath);
            continue;
        }
        // An INF that stays does not end the removal; its package stays too.
        if (!UninstallOemInf(strWindows, strPath, strPath.substr(nSlash + 1)) && pUnsettled)
            pUnsettled->push_back(strPath);
    }
    return TRUE;
}
