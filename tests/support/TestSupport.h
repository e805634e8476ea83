#pragma once
#include <windows.h>
#include <string>
#include <vector>

// ---- text ----
std::string Ansi(const std::wstring& text);  // CP_ACP bytes, as the log stores them
std::string Utf8(const std::wstring& text);  // for the tests' own messages, read on the host
std::wstring Wide(const std::string& bytes, UINT nCodePage = CP_UTF8);

// ---- the operation log ----
std::wstring LogFolderPath();                       // Documents\塔维打印机\ (as the product builds it)
std::wstring LogFilePath(int n);                    // ...\Log(n).txt
std::string ReadFileBytes(const std::wstring& path);  // empty when missing
bool FileExists(const std::wstring& path);
void ClearLogs();                                   // removes every log file, g_nLogFileIndex = 1
// The records of Log(n).txt, each without its terminating NUL.
std::vector<std::string> LogRecords(int n = 1);
// A record split into its text and time stamp; false when the stamp is malformed.
bool SplitRecord(const std::string& record, std::string& text, SYSTEMTIME& stamp);
// The texts of all records of Log(n).txt, stamps checked and removed.
std::vector<std::string> LogTexts(int n = 1);
// The text a record with bAppendLastError TRUE carries for `name` and `code`.
std::string ErrorRecordText(const std::wstring& name, DWORD code);

// ---- files ----
void WriteFileBytes(const std::wstring& path, const std::string& bytes);
void MakeDirs(const std::wstring& path);  // every missing folder of a path ending in '\'
void RemoveTree(const std::wstring& path);  // best effort, clears read-only first
std::wstring WindowsFolder();               // C:\windows
std::wstring SystemFolder();                // C:\windows\system32
bool IsWow64();                             // a 32-bit process on 64-bit Windows
// The native system folder as the program names it: C:\windows\System32, or in a 32-bit
// process on 64-bit Windows C:\windows\Sysnative (System32\DriverStore, for one, may be
// redirected to SysWOW64 there: on Vista, and under Wine's WOW64).
std::wstring NativeSystemFolder();

// ---- services ----
DWORD ServiceState(const std::wstring& name);  // 0 when it cannot be queried
bool WaitServiceState(const std::wstring& name, DWORD state, DWORD timeoutMs);
bool StartServiceAndWait(const std::wstring& name);
bool StopServiceAndWait(const std::wstring& name);

// Registers testservice.exe under `name` with the given behaviour ("normal", "refusestop",
// "startpending 3000 1000", ...); stops and deletes the service again on destruction. A
// non-empty `dependsOn` registers it as depending on that service.
class TestService {
public:
    TestService(const std::wstring& name, const std::wstring& behaviour, const std::wstring& dependsOn = L"");
    ~TestService();
    TestService(const TestService&) = delete;
    TestService& operator=(const TestService&) = delete;
    const std::wstring& Name() const { return m_name; }

private:
    std::wstring m_name;
};

// Runs `command` in the sandbox prefix's drive_c with the host's sh, which the scanner_links
// fixture places at C:\tavrel-links\sh (only a Unix program can make a link under Wine), and
// waits until it has finished (a Unix process has no handle to wait on: it leaves a marker).
bool RunHostShell(const std::wstring& command);

std::wstring TestBinFolder();  // folder of the running test program, with '\'
