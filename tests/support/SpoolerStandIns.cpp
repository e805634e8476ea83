#include "SpoolerStandIns.h"

#include <cstring>
#include <map>

namespace {

struct StandInJob {
    DWORD dwId;
    std::wstring strDocument;
    SYSTEMTIME submitted;
};

struct NoCaseLess {
    bool operator()(const std::wstring& a, const std::wstring& b) const { return lstrcmpiW(a.c_str(), b.c_str()) < 0; }
};

SRWLOCK g_lock = SRWLOCK_INIT;
std::map<std::wstring, std::vector<StandInJob>, NoCaseLess> g_queues;
DWORD g_nextJobId = 1;
DWORD g_nEnumCalls = 0;
DWORD g_nSetCalls = 0;
DWORD g_nSetFailures = 0;
DWORD g_dwSetError = 0;
DWORD g_nEnumSkip = 0;
DWORD g_nEnumFailures = 0;
DWORD g_dwEnumError = 0;
void (*g_pEnumHook)(DWORD) = nullptr;

class Lock {
public:
    Lock() { AcquireSRWLockExclusive(&g_lock); }
    ~Lock() { ReleaseSRWLockExclusive(&g_lock); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
};

// The name of the printer behind a handle, or empty.
std::wstring PrinterNameOf(HANDLE hPrinter)
{
    DWORD dwNeeded = 0;
    GetPrinterW(hPrinter, 2, nullptr, 0, &dwNeeded);
    if (dwNeeded == 0)
        return std::wstring();
    std::vector<BYTE> info(dwNeeded);
    if (!GetPrinterW(hPrinter, 2, info.data(), dwNeeded, &dwNeeded))
        return std::wstring();
    const wchar_t* pName = reinterpret_cast<const PRINTER_INFO_2W*>(info.data())->pPrinterName;
    return pName ? pName : L"";
}

// The strings of one JOB_INFO_2W record, in the order they are stored.
std::vector<std::wstring> JobStrings(const std::wstring& printer, const StandInJob& job)
{
    return {printer, L"user", job.strDocument, L"RAW", L"winprint"};
}

size_t RecordSize(const std::wstring& printer, const StandInJob& job)
{
    size_t n = sizeof(JOB_INFO_2W);
    for (const std::wstring& s : JobStrings(printer, job))
        n += (s.size() + 1) * sizeof(wchar_t);
    return n;
}

}  // namespace

BOOL WINAPI StandInEnumJobsW(HANDLE hPrinter, DWORD FirstJob, DWORD NoJobs, DWORD Level, LPBYTE pJob, DWORD cbBuf,
                             LPDWORD pcbNeeded, LPDWORD pcReturned)
{
    DWORD nCall = 0;
    void (*pHook)(DWORD) = nullptr;
    BOOL bResult = FALSE;
    DWORD dwError = ERROR_SUCCESS;
    const std::wstring strPrinter = PrinterNameOf(hPrinter);
    {
        Lock lock;
        nCall = ++g_nEnumCalls;
        pHook = g_pEnumHook;
        if (g_nEnumSkip > 0) {
            --g_nEnumSkip;
        } else if (g_nEnumFailures > 0) {
            --g_nEnumFailures;
            dwError = g_dwEnumError;
        }
        if (dwError == ERROR_SUCCESS) {
            if (!pcbNeeded || !pcReturned)
                dwError = RPC_X_NULL_REF_POINTER;
            else if (strPrinter.empty())
                dwError = ERROR_INVALID_HANDLE;
            else if (Level != 2)
                dwError = ERROR_INVALID_LEVEL;
            else if (!pJob && cbBuf != 0)
                dwError = ERROR_INVALID_USER_BUFFER;
        }
        if (dwError == ERROR_SUCCESS) {
            const std::vector<StandInJob>& queue = g_queues[strPrinter];
            const size_t nFirst = FirstJob < queue.size() ? FirstJob : queue.size();
            const size_t nLast = nFirst + (NoJobs < queue.size() - nFirst ? NoJobs : queue.size() - nFirst);
            size_t nNeeded = 0;
            for (size_t i = nFirst; i < nLast; ++i)
                nNeeded += RecordSize(strPrinter, queue[i]);
            *pcbNeeded = static_cast<DWORD>(nNeeded);
            *pcReturned = 0;
            if (nNeeded > cbBuf) {
                dwError = ERROR_INSUFFICIENT_BUFFER;
            } else {
                auto* pRecords = reinterpret_cast<JOB_INFO_2W*>(pJob);
                BYTE* pStrings = pJob + (nLast - nFirst) * sizeof(JOB_INFO_2W);
                for (size_t i = nFirst; i < nLast; ++i) {
                    JOB_INFO_2W& record = pRecords[i - nFirst];
                    std::memset(&record, 0, sizeof(record));
                    LPWSTR* ppFields[] = {&record.pPrinterName, &record.pUserName, &record.pDocument,
                                          &record.pDatatype, &record.pPrintProcessor};
                    std::vector<std::wstring> strings = JobStrings(strPrinter, queue[i]);
                    for (size_t k = 0; k < strings.size(); ++k) {
                        size_t nBytes = (strings[k].size() + 1) * sizeof(wchar_t);
                        std::memcpy(pStrings, strings[k].c_str(), nBytes);
                        *ppFields[k] = reinterpret_cast<LPWSTR>(pStrings);
                        pStrings += nBytes;
                    }
                    record.JobId = queue[i].dwId;
                    record.Priority = DEF_PRIORITY;
                    record.Position = static_cast<DWORD>(i + 1);
                    record.TotalPages = 1;
                    record.Size = 1024;
                    record.Submitted = queue[i].submitted;
                }
                *pcReturned = static_cast<DWORD>(nLast - nFirst);
                bResult = TRUE;
            }
        }
    }
    if (pHook)
        pHook(nCall);
    SetLastError(bResult ? ERROR_SUCCESS : dwError);
    return bResult;
}

BOOL WINAPI StandInSetJobW(HANDLE hPrinter, DWORD JobId, DWORD Level, LPBYTE pJob, DWORD Command)
{
    const std::wstring strPrinter = PrinterNameOf(hPrinter);
    DWORD dwError = ERROR_SUCCESS;
    {
        Lock lock;
        ++g_nSetCalls;
        if (g_nSetFailures > 0) {
            --g_nSetFailures;
            dwError = g_dwSetError;
        } else if (strPrinter.empty()) {
            dwError = ERROR_INVALID_HANDLE;
        } else if (Level != 0 || pJob) {
            dwError = ERROR_INVALID_LEVEL;  // only commands, no job records
        } else {
            std::vector<StandInJob>& queue = g_queues[strPrinter];
            auto it = queue.begin();
            while (it != queue.end() && it->dwId != JobId)
                ++it;
            if (it == queue.end())
                dwError = ERROR_INVALID_PARAMETER;
            else if (Command == JOB_CONTROL_DELETE || Command == JOB_CONTROL_CANCEL)
                queue.erase(it);
            else if (Command != JOB_CONTROL_PAUSE && Command != JOB_CONTROL_RESUME && Command != JOB_CONTROL_RESTART)
                dwError = ERROR_INVALID_PARAMETER;
        }
    }
    SetLastError(dwError);
    return dwError == ERROR_SUCCESS;
}

void StandInReset()
{
    Lock lock;
    g_queues.clear();
    g_nEnumCalls = g_nSetCalls = 0;
    g_nSetFailures = g_nEnumSkip = g_nEnumFailures = 0;
    g_dwSetError = g_dwEnumError = 0;
    g_pEnumHook = nullptr;
}

std::vector<DWORD> StandInQueueJobs(const std::wstring& printerName, int nJobs)
{
    Lock lock;
    std::vector<DWORD> ids;
    std::vector<StandInJob>& queue = g_queues[printerName];
    for (int i = 0; i < nJobs; ++i) {
        StandInJob job;
        job.dwId = g_nextJobId++;
        job.strDocument = L"Document " + std::to_wstring(job.dwId);
        GetSystemTime(&job.submitted);
        queue.push_back(job);
        ids.push_back(job.dwId);
    }
    return ids;
}

std::vector<DWORD> StandInJobIds(const std::wstring& printerName)
{
    Lock lock;
    std::vector<DWORD> ids;
    auto it = g_queues.find(printerName);
    if (it != g_queues.end()) {
        for (const StandInJob& job : it->second)
            ids.push_back(job.dwId);
    }
    return ids;
}

void StandInClearQueue(const std::wstring& printerName)
{
    Lock lock;
    g_queues.erase(printerName);
}

void StandInFailSetJob(DWORD nCalls, DWORD dwError)
{
    Lock lock;
    g_nSetFailures = nCalls;
    g_dwSetError = dwError;
}

void StandInFailEnumJobs(DWORD nSkip, DWORD nCalls, DWORD dwError)
{
    Lock lock;
    g_nEnumSkip = nSkip;
    g_nEnumFailures = nCalls;
    g_dwEnumError = dwError;
}

void StandInOnEnumJobs(void (*pHook)(DWORD nCall))
{
    Lock lock;
    g_pEnumHook = pHook;
}

DWORD StandInEnumJobsCalls()
{
    Lock lock;
    return g_nEnumCalls;
}

DWORD StandInSetJobCalls()
{
    Lock lock;
    return g_nSetCalls;
}
