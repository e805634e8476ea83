#pragma once
#include <windows.h>

// One removal at a time on a PC, whoever starts it: the dialog's worker and an unattended run
// (SYSTEM, under a management tool) alike hold this machine-wide mutex for the whole removal
// sequence. The "Global\" prefix puts it in the namespace every session shares (the services'
// session 0 and each user's).
extern const wchar_t kRemovalLockName[];

enum RemovalLockResult {
    kRemovalLockAcquired,  // *phLock holds the mutex, owned by the calling thread
    kRemovalLockBusy,      // another removal held it for the whole wait
    kRemovalLockFailed     // it could not be created or waited for (logged)
};

// Waits up to dwTimeoutMs (INFINITE: for ever) for the lock. A lock left by a removal that
// ended without giving it back (the process was ended, say) counts as acquired.
RemovalLockResult AcquireRemovalLock(DWORD dwTimeoutMs, HANDLE* phLock);
// Gives the lock back and closes the handle; on the thread that acquired it.
void ReleaseRemovalLock(HANDLE hLock);
