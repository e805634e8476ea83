#include "engine/ServiceControl.h"

#include <algorithm>
#include <map>
#include <vector>

#include "log/Log.h"

namespace {

const DWORD kPcaSvcAccess = SERVICE_QUERY_STATUS | SERVICE_START | SERVICE_STOP;  // 0x34

enum WaitResult {
    WaitReached,      // the awaited state was reported
    WaitQueryFailed,  // the status could no longer be read
    WaitSettled,      // a start came to rest in another state (it fell back to stopped)
    WaitTimedOut      // not there after kServiceWaitLimitMs
};

bool IsPending(DWORD dwState)
{
    return dwState == SERVICE_START_PENDING || dwState == SERVICE_STOP_PENDING || dwState == SERVICE_CONTINUE_PENDING ||
           dwState == SERVICE_PAUSE_PENDING;
}

// How long a wait sleeps between two polls of a pending service.
enum WaitPace {
    PaceWaitHint,    // the service's whole wait hint (the starts)
    PaceTenthOfHint  // a tenth of it, 1 to 10 s: Microsoft's pace for a stop, which needs no more
};

// Polls the status and sleeps between polls, until the awaited state. Bounded: a start that
// settles in another state (falls back to stopped) ends the wait at once, and any wait ends
// after kServiceWaitLimitMs. A stop never settles elsewhere: right after the stop control a
// service may still report running (it reports stop-pending once it handles the control). A
// service not yet there with a hint of 0 is polled every 100 ms rather than in a busy loop.
WaitResult WaitForServiceState(SC_HANDLE hService, DWORD dwAwaited, SERVICE_STATUS& status, WaitPace pace)
{
    const ULONGLONG ullStart = GetTickCount64();
    for (;;) {
        if (!QueryServiceStatus(hService, &status))
            return WaitQueryFailed;
        ULONGLONG ullElapsed = GetTickCount64() - ullStart;
        ULONGLONG ullLeft = ullElapsed < kServiceWaitLimitMs ? kServiceWaitLimitMs - ullElapsed : 0;
        const bool bReached = status.dwCurrentState == dwAwaited;
        const bool bSettled = !bReached && dwAwaited != SERVICE_STOPPED && !IsPending(status.dwCurrentState);
        const bool bWaiting = !bReached && !bSettled;
        DWORD dwPause = status.dwWaitHint;
        if (pace == PaceTenthOfHint)
            dwPause = bWaiting ? std::min<DWORD>(std::max<DWORD>(dwPause / 10, 1000), 10000) : 0;
        else if (dwPause == 0 && bWaiting)
            dwPause = 100;
        Sleep(static_cast<DWORD>(dwPause < ullLeft ? dwPause : ullLeft));
        if (bReached)
            return WaitReached;
        if (bSettled)
            return WaitSettled;
        if (GetTickCount64() - ullStart >= kServiceWaitLimitMs) {
            // The last pause may have been the one the service needed: it is asked once more
            // before the wait gives up.
            if (!QueryServiceStatus(hService, &status))
                return WaitQueryFailed;
            if (status.dwCurrentState == dwAwaited)
                return WaitReached;
            if (dwAwaited != SERVICE_STOPPED && !IsPending(status.dwCurrentState))
                return WaitSettled;
            return WaitTimedOut;
        }
    }
}

void CloseBoth(SC_HANDLE hService, SC_HANDLE hManager)
{
    if (hService)
        CloseServiceHandle(hService);
    CloseServiceHandle(hManager);
}

// Opens the manager and the service with full access and reads the service's status, logging
// the failed call. A status that cannot be read leaves the state unknown: that is a failure
// rather than a guess (the removal must not delete the spooler's files while it may still be
// running, nor count on a spooler that may not run).
bool OpenServiceAndQuery(const std::wstring& name, SC_HANDLE& hManager, SC_HANDLE& hService, SERVICE_STATUS& status)
{
    hManager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!hManager) {
        WriteLog(L"OpenSCManager", TRUE);
        return false;
    }
    hService = OpenServiceW(hManager, name.c_str(), SERVICE_ALL_ACCESS);
    if (!hService) {
        WriteLog(L"OpenService", TRUE);
        CloseServiceHandle(hManager);
        return false;
    }
    if (!QueryServiceStatus(hService, &status)) {
        WriteLog(L"QueryServiceStatus", TRUE);
        CloseBoth(hService, hManager);
        return false;
    }
    return true;
}

// Waits for a stop to complete. Stopped is success. A status that can no longer be read is a
// failure here (the removal deletes the spooler's files next, which must not happen while it
// may still run); so is a service not stopped at the bound, logged under `failedCall` with
// ERROR_SERVICE_REQUEST_TIMEOUT.
bool WaitUntilStopped(SC_HANDLE hService, SERVICE_STATUS& status, const wchar_t* failedCall)
{
    const WaitResult wait = WaitForServiceState(hService, SERVICE_STOPPED, status, PaceTenthOfHint);
    if (wait == WaitReached)
        return true;
    if (wait == WaitQueryFailed) {
        WriteLog(L"QueryServiceStatus", TRUE);
        return false;
    }
    SetLastError(ERROR_SERVICE_REQUEST_TIMEOUT);
    WriteLog(failedCall, TRUE);
    return false;
}

// The services that depend on a service and that its last stop stopped, by the service's name,
// in the order they were stopped: its next start starts these again, and only these.
std::map<std::wstring, std::vector<std::wstring>> g_stoppedDependents;

// The control manager refuses to stop a service while a service that depends on it runs
// (ERROR_DEPENDENT_SERVICES_RUNNING): a fax service or a maker's status monitor on the spooler
// would make every removal fail at its first step. Those that are active are stopped first, as
// "net stop" does, in the order the manager lists them (dependents of dependents first), each
// waited for with the same bound; their names are kept for the start. FALSE, logged, when one
// cannot be stopped.
bool StopActiveDependents(SC_HANDLE hManager, SC_HANDLE hService, const std::wstring& name)
{
    std::vector<std::wstring>& stopped = g_stoppedDependents[name];
    stopped.clear();
    DWORD cbNeeded = 0, nCount = 0;
    if (EnumDependentServicesW(hService, SERVICE_ACTIVE, nullptr, 0, &cbNeeded, &nCount))
        return true;  // none active
    if (GetLastError() != ERROR_MORE_DATA) {
        WriteLog(L"EnumDependentServices", TRUE);
        return false;
    }
    std::vector<BYTE> buffer(cbNeeded);
    auto* pServices = reinterpret_cast<ENUM_SERVICE_STATUSW*>(buffer.data());
    if (!EnumDependentServicesW(hService, SERVICE_ACTIVE, pServices, cbNeeded, &cbNeeded, &nCount)) {
        WriteLog(L"EnumDependentServices", TRUE);
        return false;
    }
    for (DWORD i = 0; i < nCount; ++i) {
        const std::wstring strDependent = pServices[i].lpServiceName ? pServices[i].lpServiceName : L"";
        SC_HANDLE hDependent = OpenServiceW(hManager, strDependent.c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS);
        if (!hDependent) {
            WriteLog(L"OpenService", TRUE);
            return false;
        }
        SERVICE_STATUS status = {};
        bool bStopped = QueryServiceStatus(hDependent, &status) != FALSE;
        // One still starting refuses the stop control at once, as the spooler does: its start
        // is waited for first (a start that falls back to stopped leaves nothing to stop).
        if (bStopped && status.dwCurrentState == SERVICE_START_PENDING)
            bStopped = WaitForServiceState(hDependent, SERVICE_RUNNING, status, PaceWaitHint) != WaitQueryFailed;
        if (!bStopped)
            WriteLog(L"QueryServiceStatus", TRUE);
        if (bStopped && status.dwCurrentState != SERVICE_STOPPED) {
            if (status.dwCurrentState != SERVICE_STOP_PENDING &&
                !ControlService(hDependent, SERVICE_CONTROL_STOP, &status)) {
                WriteLog(L"ControlService", TRUE);
                bStopped = false;
            } else {
                bStopped = WaitUntilStopped(hDependent, status, L"ControlService");
            }
            if (bStopped)
                stopped.push_back(strDependent);
        }
        CloseServiceHandle(hDependent);
        if (!bStopped)
            return false;
    }
    return true;
}

// Starts again the dependents that the service's last stop stopped, the last stopped first
// (those that others depend on). Each is only asked to start: the removal needs the spooler,
// not them, so a dependent that will not start is logged and the start still succeeds.
void StartStoppedDependents(SC_HANDLE hManager, const std::wstring& name)
{
    std::vector<std::wstring> stopped;
    stopped.swap(g_stoppedDependents[name]);
    for (auto it = stopped.rbegin(); it != stopped.rend(); ++it) {
        SC_HANDLE hDependent = OpenServiceW(hManager, it->c_str(), SERVICE_START);
        if (!hDependent) {
            WriteLog(L"OpenService", TRUE);
            continue;
        }
        if (!StartServiceW(hDependent, 0, nullptr) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING)
            WriteLog(L"StartService", TRUE);
        CloseServiceHandle(hDependent);
    }
}

}  // namespace

// Sends the stop control (a stop already under way needs none) and waits, bounded, until the
// service reports stopped: the callers go on to delete the files a running spooler holds.
BOOL StopServiceByName(const std::wstring& name)
{
    SC_HANDLE hManager = nullptr, hService = nullptr;
    SERVICE_STATUS status = {};
    if (!OpenServiceAndQuery(name, hManager, hService, status))
        return FALSE;

    BOOL bResult = TRUE;
    // A service still starting refuses the stop control at once (ERROR_SERVICE_CANNOT_ACCEPT_CTRL):
    // its start is waited for first, with the same bound; where it ends is what is stopped.
    if (status.dwCurrentState == SERVICE_START_PENDING &&
        WaitForServiceState(hService, SERVICE_RUNNING, status, PaceWaitHint) == WaitQueryFailed) {
        WriteLog(L"QueryServiceStatus", TRUE);
        bResult = FALSE;
    } else if (status.dwCurrentState != SERVICE_STOPPED) {
        if (status.dwCurrentState != SERVICE_STOP_PENDING && !StopActiveDependents(hManager, hService, name)) {
            bResult = FALSE;
        } else if (status.dwCurrentState != SERVICE_STOP_PENDING &&
                   !ControlService(hService, SERVICE_CONTROL_STOP, &status)) {
            WriteLog(L"ControlService", TRUE);
            bResult = FALSE;
        } else {
            bResult = WaitUntilStopped(hService, status, L"ControlService") ? TRUE : FALSE;
        }
    }
    CloseBoth(hService, hManager);
    return bResult;
}

// A stop still under way is waited for (bounded, as in the stop) before the start: a spooler
// slow to stop would otherwise be found not stopped, left alone, and the removal would go on
// without it. After the start request the wait ends in one of four ways. Running, or a status
// that can no longer be read, is success. A service that falls back to stopped, or is still
// pending when the bound is reached, did not start: that is logged under "StartService" with
// the service's exit code (or ERROR_SERVICE_REQUEST_TIMEOUT) and reported as failure, since
// the removal relies on a running spooler for the steps that follow.
BOOL StartServiceByName(const std::wstring& name)
{
    SC_HANDLE hManager = nullptr, hService = nullptr;
    SERVICE_STATUS status = {};
    if (!OpenServiceAndQuery(name, hManager, hService, status))
        return FALSE;

    BOOL bResult = TRUE;
    if (status.dwCurrentState == SERVICE_STOP_PENDING && !WaitUntilStopped(hService, status, L"StartService")) {
        bResult = FALSE;
    } else if (status.dwCurrentState == SERVICE_STOPPED) {
        if (!StartServiceW(hService, 0, nullptr)) {
            WriteLog(L"StartService", TRUE);
            bResult = FALSE;
        } else {
            const WaitResult wait = WaitForServiceState(hService, SERVICE_RUNNING, status, PaceWaitHint);
            if (wait == WaitSettled || wait == WaitTimedOut) {
                SetLastError(wait == WaitTimedOut     ? ERROR_SERVICE_REQUEST_TIMEOUT
                             : status.dwWin32ExitCode ? status.dwWin32ExitCode
                                                      : ERROR_SERVICE_NOT_ACTIVE);
                WriteLog(L"StartService", TRUE);
                bResult = FALSE;
            }
        }
    }
    if (bResult)
        StartStoppedDependents(hManager, name);
    CloseBoth(hService, hManager);
    return bResult;
}

BOOL RestartSpooler()
{
    if (!StopServiceByName(L"Spooler")) {
        WriteLog(L"关闭服务失败", FALSE);
        return FALSE;
    }
    Sleep(2000);
    if (!StartServiceByName(L"Spooler")) {
        WriteLog(L"开启服务失败", FALSE);
        return FALSE;
    }
    return TRUE;
}

void StartPcaSvc(SC_HANDLE hScManager)
{
    SC_HANDLE hService = OpenServiceW(hScManager, L"PcaSvc", kPcaSvcAccess);
    SERVICE_STATUS status = {};
    if (hService && QueryServiceStatus(hService, &status) && status.dwCurrentState == SERVICE_STOPPED &&
        StartServiceW(hService, 0, nullptr)) {
        WaitResult result = WaitForServiceState(hService, SERVICE_RUNNING, status, PaceWaitHint);
        if (result == WaitReached)
            OutputDebugStringW(L"start success。");
    }
    CloseBoth(hService, hScManager);
}

void StopPcaSvc(SC_HANDLE hScManager)
{
    SC_HANDLE hService = OpenServiceW(hScManager, L"PcaSvc", kPcaSvcAccess);
    SERVICE_STATUS status = {};
    if (hService && QueryServiceStatus(hService, &status) && status.dwCurrentState == SERVICE_RUNNING &&
        ControlService(hService, SERVICE_CONTROL_STOP, &status)) {
        WaitResult result = WaitForServiceState(hService, SERVICE_STOPPED, status, PaceWaitHint);
        if (result == WaitReached)
            OutputDebugStringW(L"stop success。");
    }
    CloseBoth(hService, hScManager);
}
