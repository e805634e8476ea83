#include "log/Log.h"

#include <shlobj.h>
#include <cwchar>

volatile LONG g_nLogFileIndex = 1;

namespace {

const DWORD kLogFileLimit = 0x100000;  // 1 MiB: a file this size or larger is passed over

// A log file held by another writer (the other thread of this program) is tried again
// every kLogRetryPauseMs for at most kLogRetryLimitMs: a writer keeps it open only for the
// few microseconds of one append, so the record is delayed, not lost. Any other failure
// to open (folder missing or not writable, name too long) will not mend itself; the record
// is dropped at once so that a removal is never held up by its log.
const DWORD kLogRetryLimitMs = 5000;
const DWORD kLogRetryPauseMs = 10;

const size_t kLogFolderBufferChars = 256;

std::wstring FormatW(const wchar_t* format, ...)
{
    wchar_t buffer[64];
    va_list args;
    va_start(args, format);
    int n = _vsnwprintf(buffer, sizeof(buffer) / sizeof(buffer[0]), format, args);
    va_end(args);
    return n < 0 ? std::wstring() : std::wstring(buffer, n);
}

// The system's text for a code. Inserts are left as they stand ("%1"): none are supplied.
// A code without text gets an empty one; the code itself is in the record.
std::wstring SystemMessage(DWORD dwError)
{
    LPWSTR pText = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                 FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, dwError, 0x400, reinterpret_cast<LPWSTR>(&pText), 0, nullptr);
    std::wstring strText;
    if (n && pText)
        strText.assign(pText, n);
    if (pText)
        LocalFree(pText);
    return strText;
}

// "Documents\塔维打印机\", or empty when the documents folder is unknown or the folder path
// does not fit the 256-character buffer: a cut or relative path would put the log elsewhere.
std::wstring LogFolder()
{
    wchar_t szDocuments[MAX_PATH] = {};
    if (!SHGetSpecialFolderPathW(nullptr, szDocuments, CSIDL_PERSONAL, FALSE) || !szDocuments[0])
        return std::wstring();
    std::wstring strFolder = std::wstring(szDocuments) + L"\\塔维打印机\\";
    if (strFolder.size() >= kLogFolderBufferChars)
        return std::wstring();
    CreateDirectoryW(strFolder.c_str(), nullptr);
    return strFolder;
}

HANDLE OpenLogFile(const std::wstring& strFolder)
{
    LONG n = g_nLogFileIndex;
    // The bound is in time: a pause can last longer than asked (a busy machine, Windows'
    // 15.6 ms timer), so counting pauses would stretch it.
    const ULONGLONG nStart = GetTickCount64();
    for (;;) {
        std::wstring strFile = strFolder + L"Log" + FormatW(L"(%d)", static_cast<int>(n)) + L".txt";
        HANDLE hFile = CreateFileW(strFile.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
        if (hFile == INVALID_HANDLE_VALUE) {
            DWORD dwError = GetLastError();
            if ((dwError != ERROR_SHARING_VIOLATION && dwError != ERROR_LOCK_VIOLATION) ||
                GetTickCount64() - nStart >= kLogRetryLimitMs)
                return INVALID_HANDLE_VALUE;
            Sleep(kLogRetryPauseMs);
            continue;
        }
        LARGE_INTEGER size = {};
        if (GetFileSizeEx(hFile, &size) && size.QuadPart >= kLogFileLimit) {
            CloseHandle(hFile);
            ++n;
            continue;
        }
        // Only ever forward, also when the other thread has meanwhile moved further on.
        LONG nSeen = g_nLogFileIndex;
        while (nSeen < n) {
            LONG nBefore = InterlockedCompareExchange(&g_nLogFileIndex, n, nSeen);
            if (nBefore == nSeen)
                break;
            nSeen = nBefore;
        }
        return hFile;
    }
}

}  // namespace

void WriteLog(const std::wstring& text, BOOL bAppendLastError)
{
    // The caller's error code, before any call of ours can replace it.
    DWORD dwError = bAppendLastError ? GetLastError() : 0;

    SYSTEMTIME now;
    GetLocalTime(&now);
    std::wstring strStamp = FormatW(L"     %d-%d-%d,%d:%d:%d:%d \r\n", now.wDay, now.wMonth, now.wYear,
                                    now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);

    std::wstring strFolder = LogFolder();
    if (strFolder.empty())
        return;

    std::wstring strRecord;
    if (!bAppendLastError) {
        strRecord = text;
    } else {
        strRecord = text + (dwError ? L" failed with error " : L" succeed:  ") +
                    FormatW(L"%d", static_cast<int>(dwError)) + L": " + SystemMessage(dwError);
    }
    strRecord += strStamp;

    HANDLE hFile = OpenLogFile(strFolder);
    if (hFile == INVALID_HANDLE_VALUE)
        return;

    int nBytes = WideCharToMultiByte(CP_ACP, 0, strRecord.c_str(), static_cast<int>(strRecord.size()),
                                     nullptr, 0, nullptr, nullptr);
    std::string strAnsi(static_cast<size_t>(nBytes > 0 ? nBytes : 0) + 1, '\0');
    if (nBytes > 0)
        WideCharToMultiByte(CP_ACP, 0, strRecord.c_str(), static_cast<int>(strRecord.size()), &strAnsi[0],
                            nBytes, nullptr, nullptr);

    LARGE_INTEGER zero = {};
    SetFilePointerEx(hFile, zero, nullptr, FILE_END);
    DWORD dwWritten = 0;
    WriteFile(hFile, strAnsi.data(), static_cast<DWORD>(strAnsi.size()), &dwWritten, nullptr);
    CloseHandle(hFile);
}
