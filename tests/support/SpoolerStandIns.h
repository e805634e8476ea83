#pragma once
// Stand-ins for the job calls of the spooler that Wine 8.0 lacks (its EnumJobsW lists no job
// and keeps a stale error code; its SetJobW deletes nothing). They have the exact signatures
// of EnumJobsW and SetJobW and keep one job queue per printer name, behaving as Windows
// documents the two calls:
//   EnumJobsW  level 2 only (other levels: ERROR_INVALID_LEVEL). FirstJob is a position in the
//              queue, NoJobs the most records wanted. No job in range: TRUE, 0 needed, 0
//              returned. A buffer too small (a null one with size 0 included): FALSE,
//              ERROR_INSUFFICIENT_BUFFER, *pcbNeeded = the size needed, *pcReturned = 0.
//              Otherwise JOB_INFO_2W records at the start of pJob, their strings after them.
//   SetJobW    level 0 with no record; JOB_CONTROL_DELETE / JOB_CONTROL_CANCEL remove the
//              job, PAUSE / RESUME / RESTART leave it; an unknown job id gives
//              ERROR_INVALID_PARAMETER.
// The printer is found through GetPrinterW (level 2) on the handle, so a handle from the
// real OpenPrinterW works; one that names no printer gives ERROR_INVALID_HANDLE.
// They depend on nothing but Windows and the standard library, so the same file can be
// built into a DLL that is injected into the real program. All state is guarded by a lock.
#include <windows.h>
#include <winspool.h>

#include <string>
#include <vector>

BOOL WINAPI StandInEnumJobsW(HANDLE hPrinter, DWORD FirstJob, DWORD NoJobs, DWORD Level, LPBYTE pJob, DWORD cbBuf,
                             LPDWORD pcbNeeded, LPDWORD pcReturned);
BOOL WINAPI StandInSetJobW(HANDLE hPrinter, DWORD JobId, DWORD Level, LPBYTE pJob, DWORD Command);

// ---- controls ----
void StandInReset();  // empties every queue, clears failures, hook and counters
// Appends nJobs jobs to the queue of `printerName` and returns their ids (unique, rising).
std::vector<DWORD> StandInQueueJobs(const std::wstring& printerName, int nJobs);
std::vector<DWORD> StandInJobIds(const std::wstring& printerName);  // the queue, in order
void StandInClearQueue(const std::wstring& printerName);
// The next nCalls calls of SetJobW fail with dwError and change nothing.
void StandInFailSetJob(DWORD nCalls, DWORD dwError);
// After nSkip more calls, the following nCalls calls of EnumJobsW fail with dwError.
void StandInFailEnumJobs(DWORD nSkip, DWORD nCalls, DWORD dwError);
// Called after every EnumJobsW with its number since the last reset (1 for the first call),
// outside the lock (it may use the controls). Null removes it.
void StandInOnEnumJobs(void (*pHook)(DWORD nCall));
DWORD StandInEnumJobsCalls();
DWORD StandInSetJobCalls();
