#pragma once
// Records calls of the test program's imports, in order, for tests that must see exactly how
// a system call was made (the cmd parameters, the pause, the bare INF name, the paths that
// reach the file system). Each recorded call is one line: the function name and its
// arguments as text, joined by '|', a null pointer written "(null)", e.g.
//   "Sleep|2000"
//   "ShellExecuteExW|(null)|open|C:\windows\system32\cmd.exe|/c takeown /f ...|C:\windows\system32|0"
//   "SetupUninstallOEMInfW|oem12.inf|1|(null)"
//   "CreateFileW|C:\windows\..."                      (the path as handed over)
//   "NtOpenFile|C:\tavrel-scan\tree\sub"             (the held folder's path + the name)
//   "GetFileInformationByHandleEx|C:\...\tree\"       (a listing call through a folder handle)
//   "SetFileInformationByHandle|C:\...\a.txt"          (a deletion; a folder ends with '\')
//   "FileDispositionInfoEx|C:\...\a.txt|3"             (a deletion asked for with the extended
//                                                      disposition, and its flags; recorded by
//                                                      the SetFileInformationByHandle recorder)
#include <windows.h>

#include <string>
#include <vector>

#include "ImportPatch.h"

enum RecordMode { RecordOnly, RecordAndForward };

// While alive, every call of `function` by the test program is recorded; with
// RecordAndForward it is then made for real, with RecordOnly it succeeds without effect
// (Sleep returns at once, ShellExecuteExW's program is the event RecordedProcessEnded() - set,
// an ended program, unless a test resets it - the others TRUE / an invalid handle).
// Supported: ShellExecuteExW, SetupUninstallOEMInfW, Sleep, NtOpenFile, GetFileInformationByHandleEx
// (listings only), SetFileInformationByHandle (deletions only), CreateFileW.
class ScopedCallRecorder {
public:
    ScopedCallRecorder(const char* function, RecordMode mode);
    ~ScopedCallRecorder();
    ScopedCallRecorder(const ScopedCallRecorder&) = delete;
    ScopedCallRecorder& operator=(const ScopedCallRecorder&) = delete;

private:
    int m_nSlot;
};

std::vector<std::wstring> RecordedCalls();
// Only the calls of one function, without the "name|" in front.
std::vector<std::wstring> RecordedCalls(const std::wstring& function);
void ClearRecordedCalls();
HANDLE RecordedProcessEnded();
