#include "cleanup/SpoolDriverFiles.h"

#include <shlobj.h>

#include <cwchar>
#include <vector>

#include "cleanup/DirScanner.h"
#include "cleanup/SpecialFolder.h"

// Core files of the universal printer driver that other drivers share. The string is
// searched whole, never split: any name that occurs inside it counts as kept.
const wchar_t szKeepFiles[] =
    L"UNIDRV.DLL;UNIDRVUI.DLL;UNIDRV.HLP;UNIRES.DLL;STDNAMES.GPD;STDDTYPE.GDL;STDSCHEM.GDL;STDSCHMX.GDL;";

std::wstring GetFileNameFromPath(const std::wstring& path)
{
    size_t nSlash = path.rfind(L'\\');
    if (nSlash == std::wstring::npos)
        return std::wstring();
    return path.substr(nSlash + 1);
}

BOOL CleanSpoolDriverFiles(const DRIVER_INFO_6W* pDriverInfo, const FileNameSet& otherDriversFiles)
{
    std::wstring strWindows;
    if (!GetSpecialFolder(CSIDL_WINDOWS, strWindows))
        return FALSE;
    const std::wstring strRoot = strWindows + L"\\System32\\spool\\drivers\\";
    const std::wstring strMonitor = pDriverInfo->pMonitorName ? pDriverInfo->pMonitorName : L"";

    std::vector<std::wstring> deleteList;
    const wchar_t* pItem = pDriverInfo->pDependentFiles ? pDriverInfo->pDependentFiles : L"";
    for (;;) {
        const std::wstring strName = GetFileNameFromPath(pItem);
        if (!strName.empty() && !wcsstr(szKeepFiles, strName.c_str()))
            deleteList.push_back(strName);
        if (strName.empty() || strName == strMonitor)
            break;
        pItem += wcslen(pItem) + 1;
    }
    // The data file goes last and is never spared by the keep list.
    const std::wstring strDataName = GetFileNameFromPath(pDriverInfo->pDataFile ? pDriverInfo->pDataFile : L"");
    if (!strDataName.empty())
        deleteList.push_back(strDataName);

    if (deleteList.empty())
        return TRUE;

    CDirScanner scanner;
    scanner.m_keptNames = otherDriversFiles;
    // A file left behind by any walk fails the clean-up, whichever walk comes last.
    BOOL result = TRUE;
    for (const std::wstring& strName : deleteList) {
        if (!scanner.ScanDirectory(strRoot, ScanDelete, strName, FALSE))
            result = FALSE;
    }
    return result;
}
