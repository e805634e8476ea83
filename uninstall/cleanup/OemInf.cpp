#include "cleanup/OemInf.h"

#include <setupapi.h>
#include <shlobj.h>

#include <functional>

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
// pnputil's 3010 is a success that needs a restart (MS: PnPUtil return values): recorded as
// such, not as a failure, and returned as true so that the run can tell its caller.
bool UninstallOemInfNatively(const std::wstring& strWindows, const std::wstring& strName)
{
    std::wstring strCommand = L"\"" + strWindows + L"\\Sysnative\\pnputil.exe\" -f -d \"" + strName + L"\"";
    // CSIDL_SYSTEM's path names the native system folder for the 64-bit pnputil (this 32-bit
    // process sees SysWOW64 there, which exists too).
    std::wstring strSystem;
    if (!GetSpecialFolder(CSIDL_SYSTEM, strSystem))
        return false;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &strCommand[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, strSystem.c_str(),
                        &startup, &process)) {
        WriteLog(L"pnputil " + strName, TRUE);
        return false;
    }
    DWORD dwExitCode = STILL_ACTIVE;
    bool bRestartNeeded = false;
    if (WaitForSingleObject(process.hProcess, kPnpUtilWaitMs) != WAIT_OBJECT_0) {
        SetLastError(WAIT_TIMEOUT);
        WriteLog(L"pnputil " + strName, TRUE);
    } else if (GetExitCodeProcess(process.hProcess, &dwExitCode) && dwExitCode == ERROR_SUCCESS_REBOOT_REQUIRED) {
        WriteLog(L"卸载完成，需要重新启动计算机：pnputil " + strName, FALSE);
        bRestartNeeded = true;
    } else if (dwExitCode != 0) {
        SetLastError(dwExitCode);
        WriteLog(L"pnputil " + strName, TRUE);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return bRestartNeeded;
}

// Uninstalls one OEM INF, by SetupAPI or, where SetupAPI refuses a 32-bit caller, by pnputil.
// It counts as uninstalled only when it is gone from the INF folder afterwards: whatever the
// calls answered, an INF still published keeps its package out of the store clean-up, so that
// no oem<N>.inf is left pointing at a deleted package.
bool UninstallOemInf(const std::wstring& strWindows, const std::wstring& strPath, const std::wstring& strName,
                     bool& bRestartNeeded)
{
    if (!SetupUninstallOEMInfW(strName.c_str(), SUOI_FORCEDELETE, nullptr)) {
        if (GetLastError() == ERROR_IN_WOW64)
            bRestartNeeded = UninstallOemInfNatively(strWindows, strName) || bRestartNeeded;
        else
            WriteLog(L"SetupUninstallOEMInf " + strName, TRUE);
    }
    return GetFileAttributesW(strPath.c_str()) == INVALID_FILE_ATTRIBUTES && GetLastError() == ERROR_FILE_NOT_FOUND;
}

// Whether the OEM INF is the published INF of a package another installed driver came from.
// SetupAPI tells the package of a published INF from Vista on (looked up at run time: Wine 8
// has only a stub). Only where the spooler has named such packages is there anything to ask;
// an answer that cannot be had leaves the INF alone, with a record.
bool PublishesAnotherDriversPackage(const std::wstring& strInfPath, const OtherDrivers& others, bool& bUnplaced,
                                    std::wstring& strOtherInf)
{
    bUnplaced = false;
    if (others.infPaths.empty())
        return false;
    std::wstring strStoreInf;
    if (!GetStoreInfOf(strInfPath, strStoreInf)) {
        WriteLog(L"SetupGetInfDriverStoreLocation" + strInfPath, TRUE);
        bUnplaced = true;
        return true;
    }
    return AnotherDriverComesFromPackage(others, strStoreInf, &strOtherInf);
}

// What is done with an OEM INF that mentions the driver, or could not be read (`dwUnread`, its
// error: it may mention it). `bUnsettled`: kept without knowing its package, which then stays.
Decision DecideOemInf(const std::wstring& strPath, const std::wstring& driverName, const OtherDrivers& others,
                      DWORD dwUnread, bool& bUnsettled)
{
    bUnsettled = false;
    Decision keep;
    if (dwUnread != ERROR_SUCCESS) {
        SetLastError(dwUnread);
        WriteLog(L"ReadFile" + strPath, TRUE);
        bUnsettled = true;
        return {false, L"unreadable", L"error " + std::to_wstring(dwUnread)};
    }
    // Left alone while another installed driver still comes from it.
    if (FileNamesAnotherDriver(strPath, driverName, others.names, &keep.strBecause)) {
        keep.pRule = L"names-another-driver";
        return keep;
    }
    bool bUnplaced = false;
    if (PublishesAnotherDriversPackage(strPath, others, bUnplaced, keep.strBecause)) {
        bUnsettled = bUnplaced;
        keep.pRule = bUnplaced ? L"package-unknown" : L"package-of-another-driver";
        return keep;
    }
    return {true, L"mentions-driver", L""};
}

// Finds the OEM INFs that mention the driver (or cannot be read), decides each, and hands each
// with its decision to `onDecided`, which acts on it or records it.
void DecideOemInfs(
    std::wstring driverName, const OtherDrivers& others,
    const std::function<void(const std::wstring&, const std::wstring&, const Decision&, bool)>& onDecided)
{
    // An empty name would match, and so uninstall, every OEM INF of the computer.
    if (driverName.empty())
        return;
    for (wchar_t& c : driverName) {
        if (c >= L'a' && c <= L'z')
            c = static_cast<wchar_t>(c - (L'a' - L'A'));
    }
    // Without the Windows folder there is nothing to look at; this step never fails the removal.
    std::wstring strWindows;
    if (!GetSpecialFolder(CSIDL_WINDOWS, strWindows))
        return;

    CDirScanner scanner;
    scanner.ScanDirectory(strWindows + L"\\inf\\", ScanCollect, L"oem", TRUE);
    for (const std::wstring& strPath : scanner.m_matchedFiles) {
        // One gone since the listing (a .pnf that went with its INF) mentions nothing.
        DWORD dwUnread = ERROR_SUCCESS;
        if (!FileMentionsDriver(strPath, driverName, &dwUnread) &&
            (dwUnread == ERROR_SUCCESS || dwUnread == ERROR_FILE_NOT_FOUND || dwUnread == ERROR_PATH_NOT_FOUND))
            continue;
        bool bUnsettled = false;
        const Decision decision = DecideOemInf(strPath, driverName, others, dwUnread, bUnsettled);
        onDecided(strWindows, strPath, decision, bUnsettled);
    }
}

}  // namespace

BOOL UninstallOemInfs(const std::wstring& driverName, const OtherDrivers& others, std::vector<std::wstring>* pUnsettled,
                      bool* pbRestartNeeded)
{
    DecideOemInfs(
        driverName, others,
        [&](const std::wstring& strWindows, const std::wstring& strPath, const Decision& decision, bool bUnsettled) {
            bool bRestartNeeded = false;
            // An INF that stays does not end the removal; its package stays too when it
            // is left without knowing which package that is.
            if (decision.bRemove) {
                const std::wstring strName = strPath.substr(strPath.rfind(L'\\') + 1);
                bUnsettled = !UninstallOemInf(strWindows, strPath, strName, bRestartNeeded);
            }
            if (bUnsettled && pUnsettled)
                pUnsettled->push_back(strPath);
            if (bRestartNeeded && pbRestartNeeded)
                *pbRestartNeeded = true;
        });
    return TRUE;
}

BOOL PlanOemInfs(const std::wstring& driverName, const OtherDrivers& others, std::vector<std::wstring>& unsettled,
                 RemovalPlan& plan)
{
    DecideOemInfs(driverName, others,
                  [&](const std::wstring&, const std::wstring& strPath, const Decision& decision, bool bUnsettled) {
                      AddToPlan(plan, L"oem-inf", strPath, decision);
                      if (bUnsettled)
                          unsettled.push_back(strPath);
                  });
    return TRUE;
}
