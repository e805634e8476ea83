#include "CallRecorder.h"

#include <setupapi.h>
#include <shellapi.h>

#include <cstring>
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

enum SlotIndex { kShellExecute, kSetupUninstall, kSleep, kDeleteFile, kRemoveDirectory, kFindFirstFile, kCreateFile,
                 kSlotCount };
// The real function and the mode of each recorder while it is alive.
void* g_pOriginal[kSlotCount] = {};
RecordMode g_mode[kSlotCount] = {};

template <typename F>
F Original(SlotIndex n)
{
    return g_mode[n] == RecordAndForward ? reinterpret_cast<F>(g_pOriginal[n]) : nullptr;
}

HINSTANCE WINAPI RecShellExecuteW(HWND hwnd, LPCWSTR op, LPCWSTR file, LPCWSTR params, LPCWSTR dir, INT show)
{
    DWORD dwError = GetLastError();
    Record(L"ShellExecuteW|" + Pointer(hwnd) + L"|" + Text(op) + L"|" + Text(file) + L"|" + Text(params) + L"|" +
           Text(dir) + L"|" + std::to_wstring(show));
    SetLastError(dwError);
    if (auto pReal = Original<decltype(&ShellExecuteW)>(kShellExecute))
        return pReal(hwnd, op, file, params, dir, show);
    return reinterpret_cast<HINSTANCE>(42);
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

BOOL WINAPI RecDeleteFileW(LPCWSTR path)
{
    Record(L"DeleteFileW|" + Text(path));
    if (auto pReal = Original<decltype(&DeleteFileW)>(kDeleteFile))
        return pReal(path);
    return TRUE;
}

BOOL WINAPI RecRemoveDirectoryW(LPCWSTR path)
{
    Record(L"RemoveDirectoryW|" + Text(path));
    if (auto pReal = Original<decltype(&RemoveDirectoryW)>(kRemoveDirectory))
        return pReal(path);
    return TRUE;
}

HANDLE WINAPI RecFindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW pData)
{
    Record(L"FindFirstFileW|" + Text(pattern));
    if (auto pReal = Original<decltype(&FindFirstFileW)>(kFindFirstFile))
        return pReal(pattern, pData);
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
}

HANDLE WINAPI RecCreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES pSa, DWORD disposition,
                             DWORD flags, HANDLE hTemplate)
{
    Record(L"CreateFileW|" + Text(path));
    if (auto pReal = Original<decltype(&CreateFileW)>(kCreateFile))
        return pReal(path, access, share, pSa, disposition, flags, hTemplate);
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
}

// In the order of SlotIndex.
const Slot g_slots[kSlotCount] = {
    {"ShellExecuteW", "shell32.dll", reinterpret_cast<void*>(&RecShellExecuteW)},
    {"SetupUninstallOEMInfW", "setupapi.dll", reinterpret_cast<void*>(&RecSetupUninstallOEMInfW)},
    {"Sleep", "kernel32.dll", reinterpret_cast<void*>(&RecSleep)},
    {"DeleteFileW", "kernel32.dll", reinterpret_cast<void*>(&RecDeleteFileW)},
    {"RemoveDirectoryW", "kernel32.dll", reinterpret_cast<void*>(&RecRemoveDirectoryW)},
    {"FindFirstFileW", "kernel32.dll", reinterpret_cast<void*>(&RecFindFirstFileW)},
    {"CreateFileW", "kernel32.dll", reinterpret_cast<void*>(&RecCreateFileW)},
};

}  // namespace

ScopedCallRecorder::ScopedCallRecorder(const char* function, RecordMode mode) : m_nSlot(-1), m_pPatch(nullptr)
{
    for (int i = 0; i < kSlotCount; ++i) {
        if (std::strcmp(g_slots[i].pFunction, function) == 0)
            m_nSlot = i;
    }
    if (m_nSlot < 0)
        throw std::runtime_error(std::string("no recorder for ") + function);
    const Slot& slot = g_slots[m_nSlot];
    if (g_pOriginal[m_nSlot])
        throw std::runtime_error(std::string("already recording ") + function);
    g_mode[m_nSlot] = mode;
    m_pPatch = new ScopedImportPatch(slot.pDll, slot.pFunction, slot.pStandIn);
    g_pOriginal[m_nSlot] = m_pPatch->Original();
}

ScopedCallRecorder::~ScopedCallRecorder()
{
    delete m_pPatch;
    g_pOriginal[m_nSlot] = nullptr;
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

void ClearRecordedCalls()
{
    AcquireSRWLockExclusive(&g_lock);
    g_calls.clear();
    ReleaseSRWLockExclusive(&g_lock);
}
