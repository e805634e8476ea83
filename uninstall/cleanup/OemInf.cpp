#include "cleanup/OemInf.h"

#include <setupapi.h>
#include <shlobj.h>

#include "cleanup/DirScanner.h"
#include "cleanup/DriverStore.h"
#include "cleanup/SpecialFolder.h"

BOOL UninstallOemInfs(std::wstring driverName)
{
    // An empty name would match, and so uninstall, every OEM INF of the computer.
    if (driverName.empty())
        return TRUE;
    for (wchar_t& c : driverName) {
        if (c >= L'a' && c <= L'z')
            c = static_cast<wchar_t>(c - (L'a' - L'A'));
    }

    // Without the Windows folder there is nothing to look at; this step never fails the removal.
    std::wstring strWindows;
    if (!GetSpecialFolder(CSIDL_WINDOWS, strWindows))
        return TRUE;

    CDirScanner scanner;
    scanner.ScanDirectory(strWindows + L"\\inf\\", ScanCollect, L"oem", TRUE);
    for (const std::wstring& strPath : scanner.m_matchedFiles) {
        if (!FileMentionsDriver(strPath, driverName))
            continue;
        size_t nSlash = strPath.rfind(L'\\');
        if (nSlash == std::wstring::npos)
            continue;
        // The result is not used: a file SetupAPI will not uninstall stays, and the removal goes on.
        SetupUninstallOEMInfW(strPath.substr(nSlash + 1).c_str(), SUOI_FORCEDELETE, nullptr);
    }
    return TRUE;
}
