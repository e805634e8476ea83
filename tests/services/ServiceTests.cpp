// Service control against Wine's service manager: the test service in each behaviour it
// can be told to show, and Wine's own print spooler.
#include <gtest/gtest.h>

#include <atomic>
#include <cwchar>
#include <mutex>
#include <string>
#include <vector>

#include "ImportPatch.h"
#include "TestSupport.h"
#include "engine/ServiceControl.h"
#include "log/Log.h"

namespace {

std::wstring UniqueName(const wchar_t* base)
{
    static int n = 0;
    return std::wstring(base) + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(++n);
}

// Sends the stop control as another program would: 0 when it was accepted, else the error.
DWORD SendStop(const std::wstring& name)
{
    SC_HANDLE hm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE hs = OpenServiceW(hm, name.c_str(), SERVICE_STOP);
    SERVICE_STATUS st;
    SetLastError(0xdeadbeef);
    const DWORD dwError = ControlService(hs, SERVICE_CONTROL_STOP, &st) ? 0 : GetLastError();
    CloseServiceHandle(hs);
    CloseServiceHandle(hm);
    return dwError;
}

// Starts a service as another program would, without waiting: true when the start was accepted.
bool SendStart(const std::wstring& name)
{
    SC_HANDLE hm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE hs = OpenServiceW(hm, name.c_str(), SERVICE_START);
    const bool bStarted = StartServiceW(hs, 0, nullptr) != FALSE;
    CloseServiceHandle(hs);
    CloseServiceHandle(hm);
    return bStarted;
}

class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override { ClearLogs(); }
    void TearDown() override { ClearLogs(); }
};

TEST_F(ServiceTest, StopLeavesAStoppedServiceAlone)
{
    TestService svc(UniqueName(L"tsStopped"), L"normal");
    SetLastError(0xdeadbeef);
    EXPECT_TRUE(StopServiceByName(svc.Name()));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), ServiceState(svc.Name()));
    EXPECT_TRUE(LogTexts().empty()) << "nothing to log when there is nothing to stop";
}

TEST_F(ServiceTest, StopWaitsUntilTheServiceReportsStopped)
{
    // Stopped after 2.5 s with a hint of 20 s: polled every 2 s, the stop is seen at 4 s;
    // a wait that slept for the whole hint would take 20 s.
    TestService svc(UniqueName(L"tsSlowStop"), L"stoppending 2500 20000");
    ASSERT_TRUE(StartServiceAndWait(svc.Name()));
    ULONGLONG start = GetTickCount64();
    EXPECT_TRUE(StopServiceByName(svc.Name()));
    ULONGLONG waited = GetTickCount64() - start;
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), ServiceState(svc.Name())) << "the stop waits for the stopped state";
    EXPECT_GE(waited, 2400u);
    EXPECT_LT(waited, 12000u) << "polled at a tenth of the hint";
    EXPECT_TRUE(LogTexts().empty());
}

TEST_F(ServiceTest, StopWaitsForAServiceThatShowsTheStopLate)
{
    // A service reports stop-pending only once it handles the control: until then it still
    // shows running, which is no answer yet.
    TestService svc(UniqueName(L"tsLateStop"), L"stoplate 1500");
    ASSERT_TRUE(StartServiceAndWait(svc.Name()));
    EXPECT_TRUE(StopServiceByName(svc.Name()));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), ServiceState(svc.Name()));
    EXPECT_TRUE(LogTexts().empty());
}

TEST_F(ServiceTest, StartWaitsForAStopStillUnderWayThenStarts)
{
    // A spooler slow to stop: the restart must not find it stop-pending, start nothing and
    // report success.
    TestService svc(UniqueName(L"tsStopThenStart"), L"stoppending 5000 3000");
    ASSERT_TRUE(StartServiceAndWait(svc.Name()));
    ASSERT_EQ(0u, SendStop(svc.Name()));
    // The service reports the pending stop once its main thread sees the control.
    ASSERT_TRUE(WaitServiceState(svc.Name(), SERVICE_STOP_PENDING, 4000));

    EXPECT_TRUE(StartServiceByName(svc.Name()));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), ServiceState(svc.Name())) << "started once the stop was done";
    EXPECT_TRUE(LogTexts().empty());
}

TEST_F(ServiceTest, StopOfAServiceStuckStoppingEndsAtTheBound)
{
    TestService svc(UniqueName(L"tsStuckStop"), L"stoppending 600000 1000");
    ASSERT_TRUE(StartServiceAndWait(svc.Name()));
    ULONGLONG start = GetTickCount64();
    EXPECT_FALSE(StopServiceByName(svc.Name()));
    ULONGLONG waited = GetTickCount64() - start;
    EXPECT_GE(waited, 29900u) << "the documented bound: 30 s";
    EXPECT_LT(waited, 40000u);
    std::string expected = ErrorRecordText(L"ControlService", ERROR_SERVICE_REQUEST_TIMEOUT);
    EXPECT_EQ(std::vector<std::string>{expected}, LogTexts());
}

// A wait whose time runs out asks the service once more before it gives up. A stand-in clock
// jumps past the bound after the first poll; the status stand-in reports stopped from then on,
// so only a last question can hear it.
bool g_bPastBound = false;
void* g_pRealTickCount = nullptr;
void* g_pRealQueryStatus = nullptr;
ULONGLONG WINAPI JumpingTickCount()
{
    static ULONGLONG ullFirst = 0;
    const ULONGLONG ullNow = reinterpret_cast<decltype(&GetTickCount64)>(g_pRealTickCount)();
    if (!ullFirst) {
        ullFirst = ullNow;
        return ullNow;
    }
    g_bPastBound = true;
    return ullNow + kServiceWaitLimitMs + 10000;
}
BOOL WINAPI StoppedPastTheBound(SC_HANDLE hService, LPSERVICE_STATUS pStatus)
{
    const BOOL bRead = reinterpret_cast<decltype(&QueryServiceStatus)>(g_pRealQueryStatus)(hService, pStatus);
    if (bRead && g_bPastBound)
        pStatus->dwCurrentState = SERVICE_STOPPED;
    return bRead;
}

TEST_F(ServiceTest, WaitAtItsBoundAsksOnceMore)
{
    TestService svc(UniqueName(L"tsLastAsk"), L"stoplate 1500");
    ASSERT_TRUE(StartServiceAndWait(svc.Name()));
    g_bPastBound = false;
    {
        ScopedImportPatch clock("kernel32.dll", "GetTickCount64", reinterpret_cast<void*>(&JumpingTickCount));
        g_pRealTickCount = clock.Original();
        ScopedImportPatch query("advapi32.dll", "QueryServiceStatus", reinterpret_cast<void*>(&StoppedPastTheBound));
        g_pRealQueryStatus = query.Original();
        EXPECT_TRUE(StopServiceByName(svc.Name()));
    }
    EXPECT_TRUE(g_bPastBound);
    EXPECT_TRUE(LogTexts().empty());
    EXPECT_TRUE(WaitServiceState(svc.Name(), SERVICE_STOPPED, 60000));
}

TEST_F(ServiceTest, RefusedStopIsLoggedWithItsError)
{
    TestService svc(UniqueName(L"tsRefuse"), L"refusestop");
    ASSERT_TRUE(StartServiceAndWait(svc.Name()));
    const DWORD expected = SendStop(svc.Name());
    ASSERT_NE(0u, expected) << "the service refuses the stop";

    EXPECT_FALSE(StopServiceByName(svc.Name()));
    EXPECT_EQ(std::vector<std::string>{ErrorRecordText(L"ControlService", expected)}, LogTexts());
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), ServiceState(svc.Name()));
}

TEST_F(ServiceTest, StopOfAStartPendingServiceWaitsForTheStartThenStops)
{
    // A service still starting refuses the stop control at once: its start is waited for first.
    // (10 s pending: the checks below must come while it is, also on a slow machine.)
    TestService svc(UniqueName(L"tsPendingStop"), L"startpending 10000 1000");
    ASSERT_TRUE(SendStart(svc.Name()));
    ASSERT_EQ(static_cast<DWORD>(SERVICE_START_PENDING), ServiceState(svc.Name()));
    ASSERT_NE(0u, SendStop(svc.Name())) << "control: a pending service accepts no stop control";

    EXPECT_TRUE(StopServiceByName(svc.Name()));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), ServiceState(svc.Name()));
    EXPECT_TRUE(LogTexts().empty());
}

// Wine 8's EnumDependentServicesW lists nothing (its service manager does not implement it, and
// it stops a service whose dependents run): the stand-in lists the test's dependents in the
// state asked for, as Windows' does.
std::vector<std::wstring> g_dependents;
BOOL WINAPI StandInEnumDependentServices(SC_HANDLE, DWORD dwState, LPENUM_SERVICE_STATUSW pServices, DWORD cbBuffer,
                                         LPDWORD pcbNeeded, LPDWORD pnReturned)
{
    std::vector<std::pair<std::wstring, DWORD>> listed;
    for (const std::wstring& name : g_dependents) {
        const DWORD dwCurrent = ServiceState(name);
        if (dwState == SERVICE_STATE_ALL || (dwState == SERVICE_ACTIVE) == (dwCurrent != SERVICE_STOPPED))
            listed.emplace_back(name, dwCurrent);
    }
    DWORD cbNeeded = static_cast<DWORD>(listed.size() * sizeof(ENUM_SERVICE_STATUSW));
    for (const auto& service : listed)
        cbNeeded += static_cast<DWORD>((service.first.size() + 1) * sizeof(wchar_t));
    *pcbNeeded = cbNeeded;
    *pnReturned = 0;
    if (listed.empty())
        return TRUE;
    if (!pServices || cbBuffer < cbNeeded) {
        SetLastError(ERROR_MORE_DATA);
        return FALSE;
    }
    auto* pNames = reinterpret_cast<wchar_t*>(pServices + listed.size());
    for (size_t i = 0; i < listed.size(); ++i) {
        wcscpy(pNames, listed[i].first.c_str());
        pServices[i] = {};
        pServices[i].lpServiceName = pServices[i].lpDisplayName = pNames;
        pServices[i].ServiceStatus.dwCurrentState = listed[i].second;
        pNames += listed[i].first.size() + 1;
    }
    *pnReturned = static_cast<DWORD>(listed.size());
    return TRUE;
}

// A service that depends on the stopped one (a fax service, a maker's status monitor on the
// spooler) is stopped before it and started again after it; one that was not running stays
// stopped.
TEST_F(ServiceTest, DependentServicesThatRanAreStoppedFirstAndStartedAgain)
{
    TestService base(UniqueName(L"tsBase"), L"normal");
    TestService running(UniqueName(L"tsDependent"), L"normal", base.Name());
    TestService idle(UniqueName(L"tsIdleDependent"), L"normal", base.Name());
    // One still starting refuses the stop control at once: its start is waited for first.
    TestService starting(UniqueName(L"tsStartingDependent"), L"startpending 8000 1000", base.Name());
    g_dependents = {running.Name(), idle.Name(), starting.Name()};
    ScopedImportPatch patch("advapi32.dll", "EnumDependentServicesW",
                            reinterpret_cast<void*>(&StandInEnumDependentServices));
    ASSERT_TRUE(StartServiceAndWait(base.Name()));
    ASSERT_TRUE(StartServiceAndWait(running.Name()));
    ASSERT_EQ(static_cast<DWORD>(SERVICE_STOPPED), ServiceState(idle.Name()));
    ASSERT_TRUE(SendStart(starting.Name()));
    ASSERT_EQ(static_cast<DWORD>(SERVICE_START_PENDING), ServiceState(starting.Name()));

    EXPECT_TRUE(StopServiceByName(base.Name()));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), ServiceState(base.Name()));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), ServiceState(running.Name()));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), ServiceState(starting.Name()));

    EXPECT_TRUE(StartServiceByName(base.Name()));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), ServiceState(base.Name()));
    EXPECT_TRUE(WaitServiceState(running.Name(), SERVICE_RUNNING, 60000)) << "the dependent that ran runs again";
    EXPECT_TRUE(WaitServiceState(starting.Name(), SERVICE_RUNNING, 60000)) << "and the one that was starting";
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), ServiceState(idle.Name())) << "only those that ran";
    EXPECT_TRUE(LogTexts().empty());
}

TEST_F(ServiceTest, StartLeavesARunningOrPendingServiceAlone)
{
    TestService running(UniqueName(L"tsRunning"), L"normal");
    ASSERT_TRUE(StartServiceAndWait(running.Name()));
    EXPECT_TRUE(StartServiceByName(running.Name()));

    TestService pending(UniqueName(L"tsPending"), L"startpending 15000 1000");
    ASSERT_TRUE(SendStart(pending.Name()));
    ULONGLONG start = GetTickCount64();
    EXPECT_TRUE(StartServiceByName(pending.Name()));
    EXPECT_LT(GetTickCount64() - start, 5000u) << "a pending service (15 s to go) is not waited for";
    EXPECT_TRUE(LogTexts().empty());
}

TEST_F(ServiceTest, StartWaitsUntilRunning)
{
    TestService svc(UniqueName(L"tsStart"), L"startpending 1500 300");
    ULONGLONG start = GetTickCount64();
    EXPECT_TRUE(StartServiceByName(svc.Name()));
    EXPECT_GE(GetTickCount64() - start, 1400u);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), ServiceState(svc.Name()));
    EXPECT_TRUE(LogTexts().empty());
}

TEST_F(ServiceTest, StartThatFallsBackToStoppedFailsAtOnce)
{
    TestService svc(UniqueName(L"tsFail"), L"failstart 1064");
    ULONGLONG start = GetTickCount64();
    EXPECT_FALSE(StartServiceByName(svc.Name()));
    EXPECT_LT(GetTickCount64() - start, 15000u) << "ended at once, not at the bound";
    EXPECT_EQ(std::vector<std::string>{ErrorRecordText(L"StartService", 1064)}, LogTexts());
}

TEST_F(ServiceTest, StartOfAServiceStuckPendingEndsAtTheBound)
{
    TestService svc(UniqueName(L"tsStuck"), L"startpending 600000 1000");
    ULONGLONG start = GetTickCount64();
    EXPECT_FALSE(StartServiceByName(svc.Name()));
    ULONGLONG waited = GetTickCount64() - start;
    EXPECT_GE(waited, 29900u) << "the documented bound: 30 s";
    EXPECT_LT(waited, 40000u);
    EXPECT_EQ(std::vector<std::string>{ErrorRecordText(L"StartService", ERROR_SERVICE_REQUEST_TIMEOUT)}, LogTexts());
}

TEST_F(ServiceTest, MissingServiceIsAnOpenServiceFailure)
{
    std::wstring name = UniqueName(L"tsMissing");
    EXPECT_FALSE(StopServiceByName(name));
    EXPECT_FALSE(StartServiceByName(name));
    std::string expected = ErrorRecordText(L"OpenService", ERROR_SERVICE_DOES_NOT_EXIST);
    EXPECT_EQ((std::vector<std::string>{expected, expected}), LogTexts());
}

BOOL WINAPI FailingQuery(SC_HANDLE, LPSERVICE_STATUS)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

TEST_F(ServiceTest, UnreadableStatusIsAFailureNotAGuess)
{
    TestService svc(UniqueName(L"tsNoQuery"), L"normal");
    {
        ScopedImportPatch patch("advapi32.dll", "QueryServiceStatus", reinterpret_cast<void*>(&FailingQuery));
        EXPECT_FALSE(StartServiceByName(svc.Name()));
        EXPECT_FALSE(StopServiceByName(svc.Name()));
    }
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), ServiceState(svc.Name())) << "nothing may be started";
    std::string expected = ErrorRecordText(L"QueryServiceStatus", ERROR_ACCESS_DENIED);
    EXPECT_EQ((std::vector<std::string>{expected, expected}), LogTexts());
}

TEST_F(ServiceTest, RestartSpoolerFromStoppedAndFromRunning)
{
    ASSERT_TRUE(StopServiceAndWait(L"Spooler"));
    ULONGLONG start = GetTickCount64();
    EXPECT_TRUE(RestartSpooler());
    EXPECT_GE(GetTickCount64() - start, 2000u) << "the pause between stop and start";
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), ServiceState(L"Spooler"));

    EXPECT_TRUE(RestartSpooler());
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), ServiceState(L"Spooler"));
    EXPECT_TRUE(LogTexts().empty());
}

SC_HANDLE WINAPI NoManager(LPCWSTR, LPCWSTR, DWORD)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
}

TEST_F(ServiceTest, RestartSpoolerLogsItsOwnLineAfterTheFailedCall)
{
    {
        ScopedImportPatch patch("advapi32.dll", "OpenSCManagerW", reinterpret_cast<void*>(&NoManager));
        EXPECT_FALSE(RestartSpooler());
    }
    EXPECT_EQ((std::vector<std::string>{ErrorRecordText(L"OpenSCManager", ERROR_ACCESS_DENIED), Ansi(L"关闭服务失败")}),
              LogTexts());
}

// ---- the compatibility service, played by the test service under the name "PcaSvc" ----

std::mutex g_debugMutex;
std::vector<std::wstring> g_debugOutput;
void WINAPI RecordDebugString(LPCWSTR text)
{
    std::lock_guard<std::mutex> lock(g_debugMutex);
    g_debugOutput.push_back(text);
}

std::atomic<SC_HANDLE> g_watchedHandle{nullptr};
std::atomic<int> g_watchedCloses{0};
BOOL(WINAPI* g_realClose)(SC_HANDLE) = nullptr;
BOOL WINAPI CountingClose(SC_HANDLE h)
{
    if (h == g_watchedHandle)
        ++g_watchedCloses;
    return g_realClose(h);
}

class PcaSvcTest : public ServiceTest {
protected:
    void SetUp() override
    {
        ServiceTest::SetUp();
        g_debugOutput.clear();
        g_watchedCloses = 0;
    }
    // Runs op with a fresh manager handle as the start-up threads open it; checks it is closed once.
    void RunWithManager(void (*op)(SC_HANDLE))
    {
        SC_HANDLE hm = OpenSCManagerW(nullptr, nullptr, GENERIC_EXECUTE);
        ASSERT_NE(nullptr, hm);
        g_watchedCloses = 0;
        g_watchedHandle = hm;
        op(hm);
        EXPECT_EQ(1, g_watchedCloses.load()) << "the manager handle must be closed exactly once";
        g_watchedHandle = nullptr;
    }
    ScopedImportPatch m_debug{"kernel32.dll", "OutputDebugStringW", reinterpret_cast<void*>(&RecordDebugString)};
    ScopedImportPatch m_close{"advapi32.dll", "CloseServiceHandle", reinterpret_cast<void*>(&CountingClose)};
};

TEST_F(PcaSvcTest, StopWaitsForStoppedThenStartWaitsForRunning)
{
    g_realClose = reinterpret_cast<BOOL(WINAPI*)(SC_HANDLE)>(m_close.Original());
    TestService svc(L"PcaSvc", L"stoppending 800 200");
    ASSERT_TRUE(StartServiceAndWait(L"PcaSvc"));

    RunWithManager(&StopPcaSvc);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), ServiceState(L"PcaSvc")) << "the stop waits for the stopped state";
    EXPECT_EQ(std::vector<std::wstring>{L"stop success。"}, g_debugOutput);

    RunWithManager(&StartPcaSvc);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), ServiceState(L"PcaSvc"));
    EXPECT_EQ((std::vector<std::wstring>{L"stop success。", L"start success。"}), g_debugOutput);

    // Running: start does nothing. Stopped: stop does nothing.
    RunWithManager(&StartPcaSvc);
    ASSERT_TRUE(StopServiceAndWait(L"PcaSvc"));
    RunWithManager(&StopPcaSvc);
    EXPECT_EQ(2u, g_debugOutput.size());
    EXPECT_TRUE(LogTexts().empty()) << "the compatibility service is never logged";
}

TEST_F(PcaSvcTest, FailuresAreSilentAndBounded)
{
    g_realClose = reinterpret_cast<BOOL(WINAPI*)(SC_HANDLE)>(m_close.Original());
    // No such service: both give up and still close the manager.
    RunWithManager(&StopPcaSvc);
    RunWithManager(&StartPcaSvc);

    TestService svc(L"PcaSvc", L"failstart 1064");
    ULONGLONG start = GetTickCount64();
    RunWithManager(&StartPcaSvc);
    EXPECT_LT(GetTickCount64() - start, 15000u) << "a start that falls back to stopped ends the wait";
    EXPECT_TRUE(g_debugOutput.empty());
    EXPECT_TRUE(LogTexts().empty());
}

}  // namespace
