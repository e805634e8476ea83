// standins.dll: loaded into the real Uninstall.exe by the end-to-end tests (and the demo), it
// points the program's imports of the calls that Wine 8.0 lacks at stand-ins that behave as
// Windows documents them. The program itself is not changed.
//   STANDIN_JOBS=<printer>=<count>;...   jobs queued before the removal starts
//   STANDIN_RECORD=<file>                 every stand-in call is appended to this file
#include <windows.h>

#include <string>
#include <vector>

#include "ImportPatch.h"
#include "SpoolerStandIns.h"
#include "WindowsStandIns.h"

namespace {

void QueueJobsFromEnvironment()
{
    wchar_t szJobs[1024];
    DWORD n = GetEnvironmentVariableW(L"STANDIN_JOBS", szJobs, 1024);
    if (n == 0 || n >= 1024)
        return;
    std::wstring jobs(szJobs, n);
    size_t start = 0;
    while (start < jobs.size()) {
        size_t end = jobs.find(L';', start);
        std::wstring item = jobs.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
        size_t eq = item.rfind(L'=');
        if (eq != std::wstring::npos)
            StandInQueueJobs(item.substr(0, eq), _wtoi(item.c_str() + eq + 1));
        if (end == std::wstring::npos)
            break;
        start = end + 1;
    }
}

// The job deletions are recorded ("SetJobW|printer|job id|command"), so that a test sees which
// queued job the removal deleted through the spooler.
BOOL WINAPI RecordedSetJob(HANDLE hPrinter, DWORD dwJobId, DWORD dwLevel, LPBYTE pJob, DWORD dwCommand)
{
    const BOOL bDone = StandInSetJobW(hPrinter, dwJobId, dwLevel, pJob, dwCommand);
    const DWORD dwError = GetLastError();
    wchar_t szPrinter[256] = {};
    DWORD cbNeeded = 0;
    std::vector<BYTE> info(4096);
    if (GetPrinterW(hPrinter, 2, info.data(), static_cast<DWORD>(info.size()), &cbNeeded))
        lstrcpynW(szPrinter, reinterpret_cast<PRINTER_INFO_2W*>(info.data())->pPrinterName, 256);
    RecordStandInCall(L"SetJobW|" + std::wstring(szPrinter) + L"|" + std::to_wstring(dwJobId) + L"|" +
                      std::to_wstring(dwCommand));
    SetLastError(dwError);
    return bDone;
}

}  // namespace

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        HMODULE hProgram = GetModuleHandleW(nullptr);
        QueueJobsFromEnvironment();
        PatchImport(hProgram, "winspool.drv", "EnumJobsW", reinterpret_cast<void*>(&StandInEnumJobsW));
        PatchImport(hProgram, "winspool.drv", "SetJobW", reinterpret_cast<void*>(&RecordedSetJob));
        InstallWindowsStandIns(hProgram);
        RecordStandInCall(L"StandIns|loaded");
    }
    return TRUE;
}
