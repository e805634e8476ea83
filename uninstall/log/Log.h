#pragma once
#include <windows.h>
#include <string>

// Number of the log file that received the last record; starts at 1 each run, only grows.
extern volatile LONG g_nLogFileIndex;

// Appends one dated record to the operation log "Documents\塔维打印机\Log(n).txt".
// With bAppendLastError the record carries the calling thread's last-error code and its
// system text; call it right after the failed operation. Never reports a failure.
void WriteLog(const std::wstring& text, BOOL bAppendLastError);
