#include "shell/RemovalLock.h"

#include <sddl.h>

#include "log/Log.h"

const wchar_t kRemovalLockName[] = L"Tavrel\\PrinterDriverRemoval";
const wchar_t kRemovalLockFallbackName[] = L"Global\\TavrelPrinterDriverRemoval";

namespace {

// Any user may create a named mutex in the namespace all sessions share ("Global\"): Windows
// asks SeCreateGlobalPrivilege for file mappings and symbolic links only (MS: Kernel object
// namespaces). A standard user could take the name first and hold every removal off for ever.
// A private namespace cannot be squatted: its boundary holds the Administrators SID, and only
// a process whose token holds that SID, enabled (an elevated administrator, SYSTEM), can create
// or open it (MS: Object Namespaces, CreatePrivateNamespace). Namespaces are told apart by
// alias and boundary, so one a user makes under the same alias is another namespace.
const wchar_t kLockBoundary[] = L"TavrelPrinterDriverRemoval";
const wchar_t kLockNamespace[] = L"Tavrel";

// Full access for SYSTEM and for Administrators, nothing for anyone else, and nothing
// inherited (P), for the namespace and the mutex. Without it the mutex would get its creator's
// default DACL: one created by a SYSTEM run (a management tool) grants Administrators no more
// than read and execute, so an administrator's dialog could not open it for releasing
// (MUTEX_MODIFY_STATE), and a removal from the dialog could not take its turn.
const wchar_t kLockSecurity[] = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)";

// Whether the program runs under Wine, whose ntdll exports wine_get_version; Windows' does not.
bool RunsUnderWine()
{
    HMODULE hNtdll = GetModuleHandleW(L"ntdll.dll");
    return hNtdll && GetProcAddress(hNtdll, "wine_get_version");
}

// Creates the namespace, or opens it where another removal made it (tried again where that one
// closed it in between). Null when it cannot be had; bNone when the system has no private
// namespaces at all: Wine 8's CreateBoundaryDescriptorW returns null and sets no error, where
// Windows (Vista on) fails it only for want of memory, with an error. Only under Wine is a
// boundary that cannot be made taken for that: on Windows it is a failure, whatever the error,
// so that the name anyone may take never stands in for the namespace.
HANDLE OpenLockNamespace(SECURITY_ATTRIBUTES& attributes, bool& bNone)
{
    bNone = false;
    SetLastError(ERROR_SUCCESS);
    HANDLE hBoundary = CreateBoundaryDescriptorW(kLockBoundary, 0);
    if (!hBoundary) {
        const DWORD dwError = GetLastError();
        bNone = (dwError == ERROR_SUCCESS || dwError == ERROR_CALL_NOT_IMPLEMENTED) && RunsUnderWine();
        if (!bNone) {
            SetLastError(dwError);
            WriteLog(L"CreateBoundaryDescriptor", TRUE);
        }
        return nullptr;
    }
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD cbSid = sizeof(administrators);
    HANDLE hNamespace = nullptr;
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &cbSid) ||
        !AddSIDToBoundaryDescriptor(&hBoundary, administrators)) {
        WriteLog(L"AddSIDToBoundaryDescriptor", TRUE);
    } else {
        for (int nTry = 0; nTry < 3 && !hNamespace; ++nTry) {
            hNamespace = CreatePrivateNamespaceW(&attributes, hBoundary, kLockNamespace);
            if (!hNamespace && GetLastError() != ERROR_ALREADY_EXISTS)
                break;
            if (!hNamespace)
                hNamespace = OpenPrivateNamespaceW(hBoundary, kLockNamespace);
        }
        if (!hNamespace)
            WriteLog(L"CreatePrivateNamespace", TRUE);
    }
    DeleteBoundaryDescriptor(hBoundary);
    return hNamespace;
}

bool CreateOrOpenLock(RemovalLock& lock)
{
    PSECURITY_DESCRIPTOR pSecurity = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kLockSecurity, SDDL_REVISION_1, &pSecurity, nullptr)) {
        WriteLog(L"ConvertStringSecurityDescriptorToSecurityDescriptor", TRUE);
        return false;
    }
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), pSecurity, FALSE};
    bool bNoNamespaces = false;
    lock.hNamespace = OpenLockNamespace(attributes, bNoNamespaces);
    // Without private namespaces (Wine) the shared namespace serves: Wine has no accounts to
    // keep apart, every program of a prefix runs as the one Unix user and Wine checks no
    // object's security, so no program there lacks a right that the namespace could withhold.
    const wchar_t* pName = lock.hNamespace ? kRemovalLockName : bNoNamespaces ? kRemovalLockFallbackName : nullptr;
    if (pName) {
        lock.hMutex = CreateMutexW(&attributes, FALSE, pName);
        const DWORD dwError = lock.hMutex ? ERROR_SUCCESS : GetLastError();
        // An existing mutex that asks for more than it grants this account (made by an older
        // build, say) may still be opened for what a wait and a release need.
        if (!lock.hMutex && dwError == ERROR_ACCESS_DENIED)
            lock.hMutex = OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, pName);
        if (!lock.hMutex) {
            if (dwError != ERROR_ACCESS_DENIED)
                SetLastError(dwError);
            WriteLog(L"CreateMutex", TRUE);
        }
    }
    LocalFree(pSecurity);
    return lock.hMutex != nullptr;
}

// Closes the lock's handles without giving the mutex back.
void CloseLock(RemovalLock& lock)
{
    if (lock.hMutex)
        CloseHandle(lock.hMutex);
    if (lock.hNamespace)
        ClosePrivateNamespace(lock.hNamespace, 0);
    lock = RemovalLock();
}

}  // namespace

RemovalLockResult AcquireRemovalLock(DWORD dwTimeoutMs, RemovalLock& lock)
{
    lock = RemovalLock();
    if (!CreateOrOpenLock(lock)) {
        CloseLock(lock);
        return kRemovalLockFailed;
    }
    switch (WaitForSingleObject(lock.hMutex, dwTimeoutMs)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:  // its holder ended mid-removal; the system is as it left it, and ours may go on
        return kRemovalLockAcquired;
    case WAIT_TIMEOUT:
        CloseLock(lock);
        return kRemovalLockBusy;
    default:
        WriteLog(L"WaitForSingleObject", TRUE);
        CloseLock(lock);
        return kRemovalLockFailed;
    }
}

void ReleaseRemovalLock(RemovalLock& lock)
{
    if (lock.hMutex)
        ReleaseMutex(lock.hMutex);
    CloseLock(lock);
}
