// Stands in for a driver setup program: appends its own path and its command line, one line
// of UTF-8 "path<TAB>command line", to started.txt in its folder, and ends, with the exit code
// that exitcode.txt in its folder holds (0 without one).
#include <windows.h>

#include <cstdio>
#include <string>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size())));
    std::wstring line = path + L"\t" + GetCommandLineW() + L"\n";
    std::wstring record = path.substr(0, path.rfind(L'\\') + 1) + L"started.txt";
    int n = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(n > 0 ? n : 0, '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), &bytes[0], n, nullptr, nullptr);
    HANDLE h = CreateFileW(record.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return 1;
    DWORD written = 0;
    WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(h);
    int nExitCode = 0;
    if (FILE* pFile = _wfopen((path.substr(0, path.rfind(L'\\') + 1) + L"exitcode.txt").c_str(), L"r")) {
        fscanf(pFile, "%d", &nExitCode);
        fclose(pFile);
    }
    return nExitCode;
}
