#include "Inject.h"

bool InjectDll(HANDLE hProcess, const std::wstring& dllPath)
{
    SIZE_T bytes = (dllPath.size() + 1) * sizeof(wchar_t);
    void* pRemote = VirtualAllocEx(hProcess, nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (!pRemote)
        return false;
    bool bLoaded = false;
    if (WriteProcessMemory(hProcess, pRemote, dllPath.c_str(), bytes, nullptr)) {
        // kernel32 lies at the same address in every process of the session.
        auto pLoad = reinterpret_cast<LPTHREAD_START_ROUTINE>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "LoadLibraryW")));
        HANDLE hThread = CreateRemoteThread(hProcess, nullptr, 0, pLoad, pRemote, 0, nullptr);
        if (hThread) {
            DWORD exitCode = 0;
            bLoaded = WaitForSingleObject(hThread, 20000) == WAIT_OBJECT_0 && GetExitCodeThread(hThread, &exitCode) &&
                      exitCode != 0;
            CloseHandle(hThread);
        }
    }
    VirtualFreeEx(hProcess, pRemote, 0, MEM_RELEASE);
    return bLoaded;
}
