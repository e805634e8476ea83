#include "log/Log.h"

#include <shlobj.h>
#include <winternl.h>

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
    DWORD n =
        FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
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

// The log folder lies in the user's own Documents, and this program runs elevated: a junction or
// symbolic link put there in its place (or in place of a log file) would make it create or
// append a file anywhere. The folder is opened as itself, without following a reparse point,
// and checked to be a plain folder, by its name too (Wine shows a Unix link only by name); it
// is held, without delete sharing, while the file is opened inside it through the handle,
// again without following a link and checked to be a plain file with no other name. A linked
// folder or file makes the record go nowhere; the removal is not failed for it.
HANDLE OpenLogFolder(const std::wstring& strFolder)
{
    // Named without its closing backslash, which could make the name resolve through a link.
    const std::wstring strName = strFolder.substr(0, strFolder.size() - 1);
    const DWORD dwByName = GetFileAttributesW(strName.c_str());
    if (dwByName == INVALID_FILE_ATTRIBUTES || (dwByName & FILE_ATTRIBUTE_REPARSE_POINT)) {
        SetLastError(ERROR_CANT_ACCESS_FILE);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE hFolder = CreateFileW(strName.c_str(), FILE_LIST_DIRECTORY | FILE_ADD_FILE | FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (hFolder == INVALID_HANDLE_VALUE)
        return INVALID_HANDLE_VALUE;
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    if (!GetFileInformationByHandleEx(hFolder, FileAttributeTagInfo, &tag, sizeof(tag)) ||
        (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || !(tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        CloseHandle(hFolder);
        SetLastError(ERROR_CANT_ACCESS_FILE);
        return INVALID_HANDLE_VALUE;
    }
    return hFolder;
}

// Another writer holds the name for a moment: the record waits for it.
bool HeldByAnotherWriter(DWORD dwError)
{
    return dwError == ERROR_SHARING_VIOLATION || dwError == ERROR_LOCK_VIOLATION;
}

// Opens (or creates) the file `strName` of the held folder for writing, without sharing and
// without following a reparse point. The error of a failed open is left for the caller.
HANDLE OpenLogFileIn(HANDLE hFolder, const std::wstring& strName)
{
    UNICODE_STRING name;
    name.Buffer = const_cast<PWSTR>(strName.c_str());
    name.Length = static_cast<USHORT>(strName.size() * sizeof(wchar_t));
    name.MaximumLength = name.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, hFolder, nullptr);
    IO_STATUS_BLOCK status = {};
    HANDLE hFile = nullptr;
    NTSTATUS nStatus =
        NtCreateFile(&hFile, GENERIC_WRITE | FILE_READ_ATTRIBUTES | SYNCHRONIZE, &attributes, &status, nullptr,
                     FILE_ATTRIBUTE_NORMAL, 0, FILE_OPEN_IF,
                     FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT, nullptr, 0);
    if (nStatus < 0) {
        SetLastError(RtlNtStatusToDosError(nStatus));
        return INVALID_HANDLE_VALUE;
    }
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    FILE_STANDARD_INFO standard = {};
    if (!GetFileInformationByHandleEx(hFile, FileAttributeTagInfo, &tag, sizeof(tag)) ||
        (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
        !GetFileInformationByHandleEx(hFile, FileStandardInfo, &standard, sizeof(standard)) ||
        standard.NumberOfLinks > 1) {
        CloseHandle(hFile);
        SetLastError(ERROR_CANT_ACCESS_FILE);
        return INVALID_HANDLE_VALUE;
    }
    return hFile;
}

HANDLE OpenLogFile(const std::wstring& strFolder)
{
    // The bound is measured, not counted in pauses: a pause can take longer than asked (a busy
    // or emulated machine), and the record must still give up after kLogRetryLimitMs.
    const ULONGLONG ullStart = GetTickCount64();
    // The folder can be held a moment too, by the other thread's CreateDirectoryW, which opens
    // the folder it makes, or by a scanner that opens it without write sharing: the open of the
    // folder waits as the open of the file does (two threads writing lost a record under Wine).
    HANDLE hFolder;
    while ((hFolder = OpenLogFolder(strFolder)) == INVALID_HANDLE_VALUE) {
        if (!HeldByAnotherWriter(GetLastError()) || GetTickCount64() - ullStart >= kLogRetryLimitMs)
            return INVALID_HANDLE_VALUE;
        Sleep(kLogRetryPauseMs);
    }
    LONG n = g_nLogFileIndex;
    for (;;) {
        std::wstring strFile = L"Log" + FormatW(L"(%d)", static_cast<int>(n)) + L".txt";
        HANDLE hFile = OpenLogFileIn(hFolder, strFile);
        if (hFile == INVALID_HANDLE_VALUE) {
            if (!HeldByAnotherWriter(GetLastError()) || GetTickCount64() - ullStart >= kLogRetryLimitMs) {
                CloseHandle(hFolder);
                return INVALID_HANDLE_VALUE;
            }
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
        CloseHandle(hFolder);
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
    std::wstring strStamp = FormatW(L"     %d-%d-%d,%d:%d:%d:%d \r\n", now.wDay, now.wMonth, now.wYear, now.wHour,
                                    now.wMinute, now.wSecond, now.wMilliseconds);

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

    int nBytes = WideCharToMultiByte(CP_ACP, 0, strRecord.c_str(), static_cast<int>(strRecord.size()), nullptr, 0,
                                     nullptr, nullptr);
    std::string strAnsi(static_cast<size_t>(nBytes > 0 ? nBytes : 0) + 1, '\0');
    if (nBytes > 0)
        WideCharToMultiByte(CP_ACP, 0, strRecord.c_str(), static_cast<int>(strRecord.size()), &strAnsi[0], nBytes,
                            nullptr, nullptr);

    LARGE_INTEGER zero = {};
    SetFilePointerEx(hFile, zero, nullptr, FILE_END);
    DWORD dwWritten = 0;
    WriteFile(hFile, strAnsi.data(), static_cast<DWORD>(strAnsi.size()), &dwWritten, nullptr);
    CloseHandle(hFile);
}
