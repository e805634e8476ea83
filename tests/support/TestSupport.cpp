#include "TestSupport.h"

#include <shlobj.h>
#include <cstdio>
#include <stdexcept>

#include "log/Log.h"

namespace {

std::string Narrow(const std::wstring& text, UINT nCodePage)
{
    int n = WideCharToMultiByte(nCodePage, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n : 0, '\0');
    if (n > 0)
        WideCharToMultiByte(nCodePage, 0, text.c_str(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
    return out;
}

}  // namespace

std::string Ansi(const std::wstring& text)
{
    return Narrow(text, CP_ACP);
}

std::string Utf8(const std::wstring& text)
{
    return Narrow(text, CP_UTF8);
}

std::wstring Wide(const std::string& bytes, UINT nCodePage)
{
    int n = MultiByteToWideChar(nCodePage, 0, bytes.c_str(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring out(n > 0 ? n : 0, L'\0');
    if (n > 0)
        MultiByteToWideChar(nCodePage, 0, bytes.c_str(), static_cast<int>(bytes.size()), &out[0], n);
    return out;
}

std::wstring LogFolderPath()
{
    wchar_t szDocs[MAX_PATH] = {};
    SHGetSpecialFolderPathW(nullptr, szDocs, CSIDL_PERSONAL, FALSE);
    return std::wstring(szDocs) + L"\\塔维打印机\\";
}

std::wstring LogFilePath(int n)
{
    return LogFolderPath() + L"Log(" + std::to_wstring(n) + L").txt";
}

std::string ReadFileBytes(const std::wstring& path)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return std::string();
    std::string out;
    char buf[65536];
    DWORD got = 0;
    while (ReadFile(h, buf, sizeof(buf), &got, nullptr) && got)
        out.append(buf, got);
    CloseHandle(h);
    return out;
}

bool FileExists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void ClearLogs()
{
    WIN32_FIND_DATAW fd;
    std::wstring folder = LogFolderPath();
    HANDLE h = FindFirstFileW((folder + L"Log(*).txt").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            DeleteFileW((folder + fd.cFileName).c_str());
        } while (FindNextFileW(h, &fd));
        FindClose(h);
    }
    g_nLogFileIndex = 1;
}

std::vector<std::string> LogRecords(int n)
{
    std::string bytes = ReadFileBytes(LogFilePath(n));
    std::vector<std::string> records;
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find('\0', start);
        if (end == std::string::npos) {
            records.push_back(bytes.substr(start) + "<missing NUL>");
            break;
        }
        records.push_back(bytes.substr(start, end - start));
        start = end + 1;
    }
    return records;
}

bool SplitRecord(const std::string& record, std::string& text, SYSTEMTIME& stamp)
{
    size_t pos = record.rfind("     ");
    if (pos == std::string::npos)
        return false;
    int d, mo, y, h, mi, s, ms, used = 0;
    std::string tail = record.substr(pos);
    if (sscanf(tail.c_str(), "     %d-%d-%d,%d:%d:%d:%d \r\n%n", &d, &mo, &y, &h, &mi, &s, &ms, &used) != 7 ||
        static_cast<size_t>(used) != tail.size())
        return false;
    char rebuilt[64];
    snprintf(rebuilt, sizeof(rebuilt), "     %d-%d-%d,%d:%d:%d:%d \r\n", d, mo, y, h, mi, s, ms);
    if (tail != rebuilt)  // no leading zeros, nothing else
        return false;
    text = record.substr(0, pos);
    stamp = SYSTEMTIME{static_cast<WORD>(y), static_cast<WORD>(mo), 0, static_cast<WORD>(d),
                       static_cast<WORD>(h), static_cast<WORD>(mi), static_cast<WORD>(s), static_cast<WORD>(ms)};
    return true;
}

std::vector<std::string> LogTexts(int n)
{
    std::vector<std::string> texts;
    for (const std::string& record : LogRecords(n)) {
        std::string text;
        SYSTEMTIME stamp;
        texts.push_back(SplitRecord(record, text, stamp) ? text : "<bad stamp>" + record);
    }
    return texts;
}

std::string ErrorRecordText(const std::wstring& name, DWORD code)
{
    LPWSTR pText = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, code, 0x400, reinterpret_cast<LPWSTR>(&pText), 0, nullptr);
    std::wstring message = n ? std::wstring(pText, n) : std::wstring();
    if (pText)
        LocalFree(pText);
    std::wstring text = name + (code ? L" failed with error " : L" succeed:  ") + std::to_wstring(static_cast<int>(code)) +
                        L": " + message;
    return Ansi(text);
}

void WriteFileBytes(const std::wstring& path, const std::string& bytes)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot create test file (error " + std::to_string(GetLastError()) + ")");
    DWORD written = 0;
    if (!bytes.empty())
        WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(h);
}

void MakeDirs(const std::wstring& path)
{
    for (size_t pos = path.find(L'\\', 3); pos != std::wstring::npos; pos = path.find(L'\\', pos + 1))
        CreateDirectoryW(path.substr(0, pos).c_str(), nullptr);
}

void RemoveTree(const std::wstring& path)
{
    std::wstring dir = path;
    if (!dir.empty() && dir.back() != L'\\')
        dir += L'\\';
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((dir + L"*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = fd.cFileName;
            if (name == L"." || name == L"..")
                continue;
            std::wstring full = dir + name;
            SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
            if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !(fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                RemoveTree(full);
            else if (!DeleteFileW(full.c_str()))
                RemoveDirectoryW(full.c_str());
        } while (FindNextFileW(h, &fd));
        FindClose(h);
    }
    RemoveDirectoryW(dir.c_str());
}

std::wstring WindowsFolder()
{
    wchar_t sz[MAX_PATH] = {};
    SHGetSpecialFolderPathW(nullptr, sz, CSIDL_WINDOWS, FALSE);
    return sz;
}

std::wstring SystemFolder()
{
    wchar_t sz[MAX_PATH] = {};
    SHGetSpecialFolderPathW(nullptr, sz, CSIDL_SYSTEM, FALSE);
    return sz;
}

bool IsWow64()
{
    BOOL bWow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &bWow64) && bWow64;
}

std::wstring NativeSystemFolder()
{
    return WindowsFolder() + (IsWow64() ? L"\\Sysnative" : L"\\System32");
}

DWORD ServiceState(const std::wstring& name)
{
    DWORD state = 0;
    SC_HANDLE hm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!hm)
        return 0;
    SC_HANDLE hs = OpenServiceW(hm, name.c_str(), SERVICE_QUERY_STATUS);
    SERVICE_STATUS st = {};
    if (hs && QueryServiceStatus(hs, &st))
        state = st.dwCurrentState;
    if (hs)
        CloseServiceHandle(hs);
    CloseServiceHandle(hm);
    return state;
}

bool WaitServiceState(const std::wstring& name, DWORD state, DWORD timeoutMs)
{
    ULONGLONG end = GetTickCount64() + timeoutMs;
    do {
        if (ServiceState(name) == state)
            return true;
        Sleep(50);
    } while (GetTickCount64() < end);
    return ServiceState(name) == state;
}

namespace {
// One request to the service manager; on failure, the call that failed and its error.
bool AskTestService(const std::wstring& name, bool start, const char** ppszFailed, DWORD* pdwError)
{
    *ppszFailed = nullptr;
    SC_HANDLE hm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE hs = hm ? OpenServiceW(hm, name.c_str(), SERVICE_ALL_ACCESS) : nullptr;
    if (!hs) {
        *pdwError = GetLastError();
        *ppszFailed = hm ? "OpenServiceW" : "OpenSCManagerW";
    } else {
        SERVICE_STATUS st = {};
        BOOL bDone = start ? StartServiceW(hs, 0, nullptr) : ControlService(hs, SERVICE_CONTROL_STOP, &st);
        *pdwError = GetLastError();
        if (!bDone && *pdwError != (start ? ERROR_SERVICE_ALREADY_RUNNING : ERROR_SERVICE_NOT_ACTIVE))
            *ppszFailed = start ? "StartServiceW" : "ControlService";
    }
    if (hs)
        CloseServiceHandle(hs);
    if (hm)
        CloseServiceHandle(hm);
    return !*ppszFailed;
}

// The tests' own set-up, not the code under test: on a loaded machine Wine's service manager once
// refused a start at once, so a refused request is asked again for up to 10 s. Each refusal says
// which call failed and with what error, so that a run that still fails can be read.
bool ControlTestService(const std::wstring& name, bool start)
{
    const char* what = start ? "start" : "stop";
    const char* pszFailed = nullptr;
    DWORD dwError = 0;
    for (ULONGLONG ullBegin = GetTickCount64(); !AskTestService(name, start, &pszFailed, &dwError); Sleep(500)) {
        fprintf(stderr, "%s of %ls: %s failed, error %lu\n", what, name.c_str(), pszFailed, dwError);
        if (GetTickCount64() - ullBegin >= 10000)
            return false;
    }
    const DWORD dwWanted = start ? SERVICE_RUNNING : SERVICE_STOPPED;
    if (WaitServiceState(name, dwWanted, 60000))
        return true;
    fprintf(stderr, "%s of %ls: state %lu after 60 s, not %lu\n", what, name.c_str(), ServiceState(name), dwWanted);
    return false;
}
}  // namespace

bool StartServiceAndWait(const std::wstring& name) { return ControlTestService(name, true); }
bool StopServiceAndWait(const std::wstring& name) { return ControlTestService(name, false); }

std::wstring TestBinFolder()
{
    wchar_t sz[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, sz, MAX_PATH);
    std::wstring path = sz;
    return path.substr(0, path.rfind(L'\\') + 1);
}

TestService::TestService(const std::wstring& name, const std::wstring& behaviour, const std::wstring& dependsOn)
    : m_name(name)
{
    const std::wstring dependencies = dependsOn + L'\0';  // a list of names, ended by an empty one
    SC_HANDLE hm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!hm)
        throw std::runtime_error("OpenSCManagerW failed");
    std::wstring cmd = L"\"" + TestBinFolder() + L"testservice.exe\" " + name + L" " + behaviour;
    SC_HANDLE hs = CreateServiceW(hm, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                  SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE, cmd.c_str(), nullptr, nullptr,
                                  dependsOn.empty() ? nullptr : dependencies.c_str(), nullptr, nullptr);
    DWORD err = GetLastError();
    if (hs)
        CloseServiceHandle(hs);
    CloseServiceHandle(hm);
    if (!hs)
        throw std::runtime_error("CreateServiceW failed with " + std::to_string(err));
}

TestService::~TestService()
{
    SC_HANDLE hm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!hm)
        return;
    SC_HANDLE hs = OpenServiceW(hm, m_name.c_str(), SERVICE_ALL_ACCESS);
    if (hs) {
        SERVICE_STATUS st = {};
        if (QueryServiceStatus(hs, &st) && st.dwCurrentState != SERVICE_STOPPED) {
            if (ControlService(hs, SERVICE_CONTROL_STOP, &st))
                WaitServiceState(m_name, SERVICE_STOPPED, 60000);
        }
        DeleteService(hs);
        CloseServiceHandle(hs);
    }
    CloseServiceHandle(hm);
}

bool RunHostShell(const std::wstring& command)
{
    static int nRun = 0;
    const std::wstring marker = L"swap-done-" + std::to_wstring(++nRun);
    std::wstring line = L"C:\\tavrel-links\\sh -c \"[ -e \\\"$WINEPREFIX/.tavrel-sandbox\\\" ] && cd \\\"$WINEPREFIX/drive_c\\\" && { " +
                        command + L"; } >>tavrel-links/swap-log 2>&1 && touch tavrel-links/" + marker + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    const std::wstring markerPath = L"C:\\tavrel-links\\" + marker;
    bool bDone = false;
    // Seconds at most; minutes are allowed for the emulated guest with its host busy.
    for (ULONGLONG start = GetTickCount64(); !bDone && GetTickCount64() - start < 120000; Sleep(20))
        bDone = GetFileAttributesW(markerPath.c_str()) != INVALID_FILE_ATTRIBUTES;
    DeleteFileW(markerPath.c_str());
    return bDone;
}
