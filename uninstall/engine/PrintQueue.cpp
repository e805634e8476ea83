#include "engine/PrintQueue.h"

#include <shlobj.h>
#include <winspool.h>

#include <vector>

#include "cleanup/DirScanner.h"
#include "cleanup/SpecialFolder.h"
#include "log/Log.h"

namespace {

const DWORD kMaxJobs = 10;
const int kSetJobAttempts = 10;

}  // namespace

BOOL DeletePrinterJobs(const std::wstring& printerName)
{
    PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
    HANDLE hPrinter = nullptr;
    if (!OpenPrinterW(const_cast<LPWSTR>(printerName.c_str()), &hPrinter, &defaults))
        return TRUE;  // no such printer (or none that can be opened): nothing to delete

    DWORD dwNeeded = 0;
    DWORD dwReturned = 0;
    // A failing call that leaves the code alone must not pass for "buffer too small" because
    // of an older code.
    SetLastError(ERROR_SUCCESS);
    if (EnumJobsW(hPrinter, 0, kMaxJobs, 2, nullptr, 0, &dwNeeded, &dwReturned)) {
        ClosePrinter(hPrinter);
        return TRUE;  // the queue is empty
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        WriteLog(L"分配打印任务信息缓存函数失败！", FALSE);
        ClosePrinter(hPrinter);
        return FALSE;
    }

    std::vector<BYTE> jobs(dwNeeded, 0);
    dwReturned = 0;
    if (!EnumJobsW(hPrinter, 0, kMaxJobs, 2, jobs.empty() ? nullptr : jobs.data(), dwNeeded, &dwNeeded, &dwReturned)) {
        WriteLog(L"枚举打印任务失败！", FALSE);
        ClosePrinter(hPrinter);
        return FALSE;
    }

    // The queue may have emptied between the two calls: then there is nothing left to delete.
    BOOL result = TRUE;
    if (dwReturned > 0 && jobs.size() >= sizeof(JOB_INFO_2W)) {
        const DWORD dwJobId = reinterpret_cast<const JOB_INFO_2W*>(jobs.data())->JobId;
        BOOL bDeleted = FALSE;
        for (int i = 0; i < kSetJobAttempts && !bDeleted; ++i)
            bDeleted = SetJobW(hPrinter, dwJobId, 0, nullptr, JOB_CONTROL_DELETE);
        if (!bDeleted) {
            WriteLog(L"SetJob", TRUE);
            result = FALSE;
        }
    }
    ClosePrinter(hPrinter);
    return result;
}

BOOL DeleteSpoolFiles(RemovalPlan* pPlan)
{
    std::wstring strSystem;
    if (!GetSpecialFolder(CSIDL_SYSTEM, strSystem))
        return FALSE;
    const std::wstring strSpool = strSystem + L"\\spool\\PRINTERS\\";

    // Both passes count: a shadow file left behind is a queued job left behind. The files of
    // every queue go, not only the removed printer's: the spooler is stopped, and no job can
    // be told from another by its file.
    CDirScanner scanner;
    const int nMode = pPlan ? ScanPlan : ScanDelete;
    const BOOL bShadows = scanner.ScanDirectory(strSpool, nMode, L".SHD", FALSE);
    const BOOL bSpools = scanner.ScanDirectory(strSpool, nMode, L".SPL", FALSE);
    if (pPlan) {
        for (const std::wstring& strPath : scanner.m_matchedFiles)
            AddToPlan(*pPlan, L"spool-file", strPath, {true, L"every-queue", L""});
    }
    return bShadows && bSpools ? TRUE : FALSE;
}
