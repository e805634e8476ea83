#include "CallRecorder.h"

#include <setupapi.h>
#include <shellapi.h>
#include <winternl.h>

#include <cstring>
#include <map>
#include <stdexcept>

namespace {

SRWLOCK g_lock = SRWLOCK_INIT;
std::vector<std::wstring> g_calls;

struct Slot {
    const char* pFunction;
    const char* pDll;
    void* pStandIn;
};

std::wstring Text(const wchar_t* p)
{
    return p ? std::wstring(p) : std::wstring(L"(null)");
}

std::wstring Pointer(const void* p)
{
    return p ? L"(set)" : L"(null)";
}

void Record(const std::wstring& line)
{
    AcquireSRWLockExclusive(&g_lock);
    g_calls.push_back(line);
    ReleaseSRWLockExclusive(&g_lock);
}

enum SlotIndex { kShellExecute, kSetupUninstall, kSleep, kNtOpenFile, kGetFileInformationByHandleEx,
                 kSetFileInformationByHandle, kCreateFile, kSlotCount };
// Each patched slot: the real function, the recorder's mode, whether calls are recorded (a
// slot can be patched for naming handles only, see below), and how many users hold the patch.
void* g_pOriginal[kSlotCount] = {};
RecordMode g_mode[kSlotCount] = {};
bool g_bRecord[kSlotCount] = {};
int g_nUsers[kSlotCount] = {};
ScopedImportPatch* g_pPatch[kSlotCount] = {};

// The walks open folders and files (CreateFileW by path, NtOpenFile by a name inside a held
// folder) and then list and delete through the handles. While a listing or deletion is
// recorded, the opens name each handle as the walk names it, so that the records show the
// walk's paths (plain, a folder with its closing backslash), not the disk's spelling.
std::map<HANDLE, std::wstring> g_handleNames;

std::wstring PlainPath(const std::wstring& path)
{
    if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0)
        return L"\\\\" + path.substr(8);
    return path.compare(0, 4, L"\\\\?\\") == 0 ? path.substr(4) : path;
}

void NameHandle(HANDLE h, std::wstring name, bool bFolder)
{
    if (bFolder && (name.empty() || name.back() != L'\\'))
        name += L'\\';
    AcquireSRWLockExclusive(&g_lock);
    g_handleNames[h] = name;
    ReleaseSRWLockExclusive(&g_lock);
}

std::wstring HandleName(HANDLE h)
{
    AcquireSRWLockExclusive(&g_lock);
    auto it = g_handleNames.find(h);
    std::wstring name = it == g_handleNames.end() ? L"(unnamed)" : it->second;
    ReleaseSRWLockExclusive(&g_lock);
    return name;
}

bool IsFolder(HANDLE h)
{
    BY_HANDLE_FILE_INFORMATION info;
    return GetFileInformationByHandle(h, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

template <typename F>
F Original(SlotIndex n)
{
    return g_mode[n] == RecordAndForward ? reinterpret_cast<F>(g_pOriginal[n]) : nullptr;
}

HANDLE g_hRecordedProcess = CreateEventW(nullptr, TRUE, TRUE, nullptr);

BOOL WINAPI RecShellExecuteExW(SHELLEXECUTEINFOW* pInfo)
{
    DWORD dwError = GetLastError();
    Record(L"ShellExecuteExW|" + Pointer(pInfo->hwnd) + L"|" + Text(pInfo->lpVerb) + L"|" + Text(pInfo->lpFile) + L"|" +
           Text(pInfo->lpParameters) + L"|" + Text(pInfo->lpDirectory) + L"|" + std::to_wstring(pInfo->nShow));
    SetLastError(dwError);
    if (auto pReal = Original<decltype(&ShellExecuteExW)>(kShellExecute))
        return pReal(pInfo);
    pInfo->hInstApp = reinterpret_cast<HINSTANCE>(42);
    pInfo->hProcess = nullptr;
    if (pInfo->fMask & SEE_MASK_NOCLOSEPROCESS)
        DuplicateHandle(GetCurrentProcess(), g_hRecordedProcess, GetCurrentProcess(), &pInfo->hProcess, 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
    return TRUE;
}

BOOL WINAPI RecSetupUninstallOEMInfW(PCWSTR name, DWORD flags, PVOID reserved)
{
    DWORD dwError = GetLastError();
    Record(L"SetupUninstallOEMInfW|" + Text(name) + L"|" + std::to_wstring(flags) + L"|" + Pointer(reserved));
    SetLastError(dwError);
    if (auto pReal = Original<decltype(&SetupUninstallOEMInfW)>(kSetupUninstall))
        return pReal(name, flags, reserved);
    return TRUE;
}

void WINAPI RecSleep(DWORD ms)
{
    DWORD dwError = GetLastError();
    Record(L"Sleep|" + std::to_wstring(ms));
    SetLastError(dwError);
    if (auto pReal = Original<decltype(&Sleep)>(kSleep))
        pReal(ms);
}

NTSTATUS NTAPI RecNtOpenFile(PHANDLE ph, ACCESS_MASK access, POBJECT_ATTRIBUTES pAttributes, PIO_STATUS_BLOCK pStatus,
                             ULONG share, ULONG options)
{
    std::wstring name(pAttributes->ObjectName->Buffer, pAttributes->ObjectName->Length / sizeof(wchar_t));
    if (pAttributes->RootDirectory)
        name = HandleName(pAttributes->RootDirectory) + name;
    if (g_bRecord[kNtOpenFile])
        Record(L"NtOpenFile|" + name);
    auto pReal = Original<decltype(&NtOpenFile)>(kNtOpenFile);
    if (!pReal)
        return static_cast<NTSTATUS>(0xC0000034L);  // STATUS_OBJECT_NAME_NOT_FOUND
    NTSTATUS status = pReal(ph, access, pAttributes, pStatus, share, options);
    if (status >= 0)
        NameHandle(*ph, name, (options & FILE_DIRECTORY_FILE) != 0);
    return status;
}

// Directory listings only.
BOOL WINAPI RecGetFileInformationByHandleEx(HANDLE h, FILE_INFO_BY_HANDLE_CLASS infoClass, LPVOID pInfo, DWORD cb)
{
    if (infoClass == FileIdBothDirectoryInfo || infoClass == FileIdBothDirectoryRestartInfo)
        Record(L"GetFileInformationByHandleEx|" + HandleName(h));
    if (auto pReal = Original<decltype(&GetFileInformationByHandleEx)>(kGetFileInformationByHandleEx))
        return pReal(h, infoClass, pInfo, cb);
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
}

// Deletions only (the disposition of a file or folder): the classic one, and the extended
// one (FileDispositionInfoEx, 21) with its flags.
BOOL WINAPI RecSetFileInformationByHandle(HANDLE h, FILE_INFO_BY_HANDLE_CLASS infoClass, LPVOID pInfo, DWORD cb)
{
    if (infoClass == FileDispositionInfo)
        Record(L"SetFileInformationByHandle|" + HandleName(h));
    else if (infoClass == static_cast<FILE_INFO_BY_HANDLE_CLASS>(21) && pInfo && cb >= sizeof(DWORD))
        Record(L"FileDispositionInfoEx|" + HandleName(h) + L"|" + std::to_wstring(*static_cast<DWORD*>(pInfo)));
    if (auto pReal = Original<decltype(&SetFileInformationByHandle)>(kSetFileInformationByHandle))
        return pReal(h, infoClass, pInfo, cb);
    return TRUE;
}

HANDLE WINAPI RecCreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES pSa, DWORD disposition,
                             DWORD flags, HANDLE hTemplate)
{
    if (g_bRecord[kCreateFile])
        Record(L"CreateFileW|" + Text(path));
    auto pReal = Original<decltype(&CreateFileW)>(kCreateFile);
    if (!pReal) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE h = pReal(path, access, share, pSa, disposition, flags, hTemplate);
    if (h != INVALID_HANDLE_VALUE && path) {
        DWORD dwError = GetLastError();  // CreateFileW may leave ERROR_ALREADY_EXISTS
        NameHandle(h, PlainPath(path), (flags & FILE_FLAG_BACKUP_SEMANTICS) && IsFolder(h));
        SetLastError(dwError);
    }
    return h;
}

// In the order of SlotIndex.
const Slot g_slots[kSlotCount] = {
    {"ShellExecuteExW", "shell32.dll", reinterpret_cast<void*>(&RecShellExecuteExW)},
    {"SetupUninstallOEMInfW", "setupapi.dll", reinterpret_cast<void*>(&RecSetupUninstallOEMInfW)},
    {"Sleep", "kernel32.dll", reinterpret_cast<void*>(&RecSleep)},
    {"NtOpenFile", "ntdll.dll", reinterpret_cast<void*>(&RecNtOpenFile)},
    {"GetFileInformationByHandleEx", "kernel32.dll", reinterpret_cast<void*>(&RecGetFileInformationByHandleEx)},
    {"SetFileInformationByHandle", "kernel32.dll", reinterpret_cast<void*>(&RecSetFileInformationByHandle)},
    {"CreateFileW", "kernel32.dll", reinterpret_cast<void*>(&RecCreateFileW)},
};

}  // namespace

namespace {

void Acquire(int nSlot, bool bRecord, RecordMode mode)
{
    if (bRecord && g_bRecord[nSlot])
        throw std::runtime_error(std::string("already recording ") + g_slots[nSlot].pFunction);
    if (bRecord) {
        g_bRecord[nSlot] = true;
        g_mode[nSlot] = mode;
    } else if (!g_nUsers[nSlot]) {
        g_mode[nSlot] = RecordAndForward;  // naming only: the calls are made for real
    }
    if (g_nUsers[nSlot]++ == 0) {
        g_pPatch[nSlot] = new ScopedImportPatch(g_slots[nSlot].pDll, g_slots[nSlot].pFunction, g_slots[nSlot].pStandIn);
        g_pOriginal[nSlot] = g_pPatch[nSlot]->Original();
    }
}

void Release(int nSlot, bool bRecord)
{
    if (bRecord) {
        g_bRecord[nSlot] = false;
        g_mode[nSlot] = RecordAndForward;
    }
    if (--g_nUsers[nSlot] == 0) {
        delete g_pPatch[nSlot];
        g_pPatch[nSlot] = nullptr;
        g_pOriginal[nSlot] = nullptr;
    }
}

// Listing and deletion records name their handles through the opens.
bool NeedsHandleNames(int nSlot)
{
    return nSlot == kGetFileInformationByHandleEx || nSlot == kSetFileInformationByHandle || nSlot == kNtOpenFile;
}

}  // namespace

ScopedCallRecorder::ScopedCallRecorder(const char* function, RecordMode mode) : m_nSlot(-1)
{
    for (int i = 0; i < kSlotCount; ++i) {
        if (std::strcmp(g_slots[i].pFunction, function) == 0)
            m_nSlot = i;
    }
    if (m_nSlot < 0)
        throw std::runtime_error(std::string("no recorder for ") + function);
    Acquire(m_nSlot, true, mode);
    if (NeedsHandleNames(m_nSlot)) {
        Acquire(kCreateFile, false, RecordAndForward);
        Acquire(kNtOpenFile, false, RecordAndForward);
    }
}

ScopedCallRecorder::~ScopedCallRecorder()
{
    if (NeedsHandleNames(m_nSlot)) {
        Release(kNtOpenFile, false);
        Release(kCreateFile, false);
    }
    Release(m_nSlot, true);
}

std::vector<std::wstring> RecordedCalls()
{
    AcquireSRWLockExclusive(&g_lock);
    std::vector<std::wstring> calls = g_calls;
    ReleaseSRWLockExclusive(&g_lock);
    return calls;
}

std::vector<std::wstring> RecordedCalls(const std::wstring& function)
{
    std::vector<std::wstring> calls;
    const std::wstring prefix = function + L"|";
    for (const std::wstring& call : RecordedCalls()) {
        if (call.compare(0, prefix.size(), prefix) == 0)
            calls.push_back(call.substr(prefix.size()));
    }
    return calls;
}

HANDLE RecordedProcessEnded()
{
    return g_hRecordedProcess;
}

void ClearRecordedCalls()
{
    AcquireSRWLockExclusive(&g_lock);
    g_calls.clear();
    ReleaseSRWLockExclusive(&g_lock);
}
