#include "shell/RemovalLock.h"

#include <sddl.h>

#include "log/Log.h"

const wchar_t kRemovalLockName[] = L"Global\\TavrelPrinterDriverRemoval";

namespace {

// Full access for SYSTEM and for Administrators, nothing for anyone else, and nothing
// inherited (P). Without it the mutex would get its creator's default DACL: one created by a
// SYSTEM run (a management tool) grants Administrators no more than read and execute, so an
// administrator's dialog could not open it for releasing (MUTEX_MODIFY_STATE), and a removal
// from the dialog could not take its turn. Creating a "Global\" name from a user's session takes
// SeCreateGlobalPrivilege, which a standard user lacks: no one without administrator
// rights can take the name first and hold every removal off.
const wchar_t kLockSecurity[] = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)";

HANDLE CreateOrOpenLock()
{
    PSECURITY_DESCRIPTOR pSecurity = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kLockSecurity, SDDL_REVISION_1, &pSecurity, nullptr)) {
        WriteLog(L"ConvertStringSecurityDescriptorToSecurityDescriptor", TRUE);
        return nullptr;
    }
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), pSecurity, FALSE};
    HANDLE hLock = CreateMutexW(&attributes, FALSE, kRemovalLockName);
    DWORD dwError = hLock ? ERROR_SUCCESS : GetLastError();
    LocalFree(pSecurity);
    // An existing mutex that asks for more than it grants this account (made by an older
    // build, say) may still be opened for what a wait and a release need.
    if (!hLock && dwError == ERROR_ACCESS_DENIED)
        hLock = OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, kRemovalLockName);
    if (!hLock) {
        if (dwError != ERROR_ACCESS_DENIED)
            SetLastError(dwError);
        WriteLog(L"CreateMutex", TRUE);
    }
    return hLock;
}

}  // namespace

RemovalLockResult AcquireRemovalLock(DWORD dwTimeoutMs, HANDLE* phLock)
{
    *phLock = nullptr;
    HANDLE hLock = CreateOrOpenLock();
    if (!hLock)
        return kRemovalLockFailed;
    switch (WaitForSingleObject(hLock, dwTimeoutMs)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:  // its holder ended mid-removal; the system is as it left it, and ours may go on
        *phLock = hLock;
        return kRemovalLockAcquired;
    case WAIT_TIMEOUT:
        CloseHandle(hLock);
        return kRemovalLockBusy;
    default:
        WriteLog(L"WaitForSingleObject", TRUE);
        CloseHandle(hLock);
        return kRemovalLockFailed;
    }
}

void ReleaseRemovalLock(HANDLE hLock)
{
    if (!hLock)
        return;
    ReleaseMutex(hLock);
    CloseHandle(hLock);
}
