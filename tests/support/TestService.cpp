// A service program whose behaviour the test chooses in the command line it registers:
//   testservice.exe <name> normal                 runs; stops when told
//   testservice.exe <name> refusestop             runs; accepts no stop control
//   testservice.exe <name> startpending <ms> <hint>  start pending for <ms> with wait hint <hint>, then runs
//   testservice.exe <name> stoppending <ms> <hint>   on stop: stop pending for <ms>, then stops
//   testservice.exe <name> stoplate <ms>          on stop: still reports running for <ms>, then stops
//   testservice.exe <name> failstart <code>       start pending, then falls back to stopped with exit code <code>
#include <windows.h>
#include <cwchar>
#include <string>

namespace {

std::wstring g_name;
std::wstring g_mode;
DWORD g_ms = 0;
DWORD g_hint = 0;
SERVICE_STATUS_HANDLE g_hStatus = nullptr;
HANDLE g_hStop = nullptr;

void Report(DWORD state, DWORD accepted, DWORD hint, DWORD exitCode = NO_ERROR)
{
    static DWORD checkPoint = 0;
    SERVICE_STATUS s = {};
    s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    s.dwCurrentState = state;
    s.dwControlsAccepted = accepted;
    s.dwWin32ExitCode = exitCode;
    s.dwWaitHint = hint;
    s.dwCheckPoint = (state == SERVICE_RUNNING || state == SERVICE_STOPPED) ? 0 : ++checkPoint;
    SetServiceStatus(g_hStatus, &s);
}

DWORD WINAPI Handler(DWORD control, DWORD, LPVOID, LPVOID)
{
    if (control == SERVICE_CONTROL_STOP) {
        SetEvent(g_hStop);
        return NO_ERROR;
    }
    return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI ServiceMain(DWORD, LPWSTR*)
{
    g_hStatus = RegisterServiceCtrlHandlerExW(g_name.c_str(), Handler, nullptr);
    if (!g_hStatus)
        return;
    if (g_mode == L"failstart") {
        Report(SERVICE_START_PENDING, 0, 0);
        Sleep(200);
        Report(SERVICE_STOPPED, 0, 0, g_ms);
        return;
    }
    if (g_mode == L"startpending") {
        Report(SERVICE_START_PENDING, 0, g_hint);
        Sleep(g_ms);
    }
    Report(SERVICE_RUNNING, g_mode == L"refusestop" ? 0 : SERVICE_ACCEPT_STOP, 0);
    WaitForSingleObject(g_hStop, INFINITE);
    if (g_mode == L"stoppending")
        Report(SERVICE_STOP_PENDING, 0, g_hint);
    if (g_mode == L"stoppending" || g_mode == L"stoplate")
        Sleep(g_ms);
    Report(SERVICE_STOPPED, 0, 0);
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3)
        return 2;
    g_name = argv[1];
    g_mode = argv[2];
    if (argc > 3)
        g_ms = wcstoul(argv[3], nullptr, 10);
    if (argc > 4)
        g_hint = wcstoul(argv[4], nullptr, 10);
    g_hStop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SERVICE_TABLE_ENTRYW table[] = {{&g_name[0], ServiceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
