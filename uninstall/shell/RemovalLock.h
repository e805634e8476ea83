#pragma once
#include <windows.h>

// One removal at a time on a PC, whoever starts it: the dialog's worker and an unattended run
// (SYSTEM, under a management tool) alike hold this machine-wide mutex for the whole removal
// sequence. It lives in a private namespace that only administrators and SYSTEM can create or
// open (see RemovalLock.cpp), which every session shares.
extern const wchar_t kRemovalLockName[];
// Where the system has no private namespaces (Wine), the mutex of this name in the namespace of
// all sessions stands in.
extern const wchar_t kRemovalLockFallbackName[];

struct RemovalLock {
    HANDLE hNamespace = nullptr;  // held with the mutex: the namespace lasts while a handle is open
    HANDLE hMutex = nullptr;
};

enum RemovalLockResult {
    kRemovalLockAcquired,  // the lock holds the mutex, owned by the calling thread
    kRemovalLockBusy,      // another removal held it for the whole wait
    kRemovalLockFailed     // it could not be created or waited for (logged)
};

// Waits up to dwTimeoutMs (INFINITE: for ever) for the lock. A lock left by a removal that
// ended without giving it back (the process was ended, say) counts as acquired.
RemovalLockResult AcquireRemovalLock(DWORD dwTimeoutMs, RemovalLock& lock);
// Gives the lock back and closes its handles; on the thread that acquired it.
void ReleaseRemovalLock(RemovalLock& lock);
