#include "Inject.h"

#include <memory>

namespace {

// One load, shared by InjectDll and the thread that performs it; whichever is done last frees
// it, so InjectDll can give up on a thread that never returns.
struct Injection {
    ~Injection()
    {
        if (hProcess)
            CloseHandle(hProcess);
    }
    HANDLE hProcess = nullptr;  // a duplicate of the caller's, owned here
    std::wstring dllPath;
    bool bLoaded = false;
};

bool LoadInto(HANDLE hProcess, const std::wstring& dllPath)
{
    SIZE_T bytes = (dllPath.size() + 1) * sizeof(wchar_t);
    void* pRemote = VirtualAllocEx(hProcess, nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (!pRemote)
        return false;
    bool bLoaded = false;
    bool bDone = true;  // false while a thread that may still read the path runs
    if (WriteProcessMemory(hProcess, pRemote, dllPath.c_str(), bytes, nullptr)) {
        // kernel32 lies at the same address in every process of the session.
        auto pLoad = reinterpret_cast<LPTHREAD_START_ROUTINE>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "LoadLibraryW")));
        HANDLE hThread = CreateRemoteThread(hProcess, nullptr, 0, pLoad, pRemote, 0, nullptr);
        if (hThread) {
            DWORD exitCode = 0;
            bDone = WaitForSingleObject(hThread, 60000) == WAIT_OBJECT_0;
            bLoaded = bDone && GetExitCodeThread(hThread, &exitCode) && exitCode != 0;
            CloseHandle(hThread);
        }
    }
    if (bDone)
        VirtualFreeEx(hProcess, pRemote, 0, MEM_RELEASE);
    return bLoaded;
}

DWORD WINAPI InjectionThread(void* pContext)
{
    std::unique_ptr<std::shared_ptr<Injection>> pShare(static_cast<std::shared_ptr<Injection>*>(pContext));
    Injection& injection = **pShare;
    injection.bLoaded = LoadInto(injection.hProcess, injection.dllPath);
    return 0;
}

}  // namespace

bool InjectDll(HANDLE hProcess, const std::wstring& dllPath)
{
    auto pInjection = std::make_shared<Injection>();
    pInjection->dllPath = dllPath;
    if (!DuplicateHandle(GetCurrentProcess(), hProcess, GetCurrentProcess(), &pInjection->hProcess, 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
        return false;
    // Wine 8.0 now and then never carries out a request made of the target process (allocate,
    // create a thread), and the call then waits for ever. The load runs on a thread of its own
    // so that the caller gets false instead, ends the target (which ends the wait) and goes on.
    auto pShare = new std::shared_ptr<Injection>(pInjection);
    HANDLE hThread = CreateThread(nullptr, 0, InjectionThread, pShare, 0, nullptr);
    if (!hThread) {
        delete pShare;
        return false;
    }
    // Long enough for a slow machine (a load takes a second or two in the emulated guest).
    const bool bDone = WaitForSingleObject(hThread, 90000) == WAIT_OBJECT_0;
    CloseHandle(hThread);
    return bDone && pInjection->bLoaded;
}
