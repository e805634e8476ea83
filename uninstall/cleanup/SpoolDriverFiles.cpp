#include "cleanup/SpoolDriverFiles.h"

#include <shlobj.h>

#include <cwchar>
#include <vector>

#include "cleanup/DirScanner.h"
#include "cleanup/OtherDrivers.h"
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

namespace {

// The walks of the clean-up, in ScanDelete or ScanPlan: one per file name the driver lists up
// to its monitor, the core files of the universal driver left out (their listed paths go to
// `pCoreFiles`), then its data file, which the core list never spares. A file of a name in
// `keptNames` is never deleted. FALSE when any walk failed.
BOOL WalkDriverFiles(const DRIVER_INFO_6W* pDriverInfo, const FileNameSet& keptNames, int nMode, CDirScanner& scanner,
                     std::vector<std::wstring>* pCoreFiles)
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
        else if (!strName.empty() && pCoreFiles)
            pCoreFiles->push_back(pItem);
        if (strName.empty() || strName == strMonitor)
            break;
        pItem += wcslen(pItem) + 1;
    }
    const std::wstring strDataName = GetFileNameFromPath(pDriverInfo->pDataFile ? pDriverInfo->pDataFile : L"");
    if (!strDataName.empty())
        deleteList.push_back(strDataName);

    scanner.m_keptNames = keptNames;
    // A file left behind by any walk fails the clean-up, whichever walk comes last.
    BOOL result = TRUE;
    for (const std::wstring& strName : deleteList) {
        if (!scanner.ScanDirectory(strRoot, nMode, strName, FALSE))
            result = FALSE;
    }
    return result;
}

}  // namespace

BOOL CleanSpoolDriverFiles(const DRIVER_INFO_6W* pDriverInfo, const FileNameSet& otherDriversFiles)
{
    CDirScanner scanner;
    return WalkDriverFiles(pDriverInfo, otherDriversFiles, ScanDelete, scanner, nullptr);
}

BOOL PlanSpoolDriverFiles(const DRIVER_INFO_6W* pDriverInfo, const OtherDrivers& others, RemovalPlan& plan)
{
    CDirScanner scanner;
    std::vector<std::wstring> coreFiles;
    const BOOL bWalked = WalkDriverFiles(pDriverInfo, others.fileNames, ScanPlan, scanner, &coreFiles);
    const std::wstring strDriver = pDriverInfo->pName ? pDriverInfo->pName : L"";
    for (const std::wstring& strPath : scanner.m_matchedFiles)
        AddToPlan(plan, L"driver-file", strPath, {true, L"file-of-driver", strDriver});
    for (const std::wstring& strPath : scanner.m_passedOverFiles) {
        auto it = others.fileOwners.find(GetFileNameFromPath(strPath));
        AddToPlan(plan, L"driver-file", strPath,
                  {false, L"file-of-another-driver", it != others.fileOwners.end() ? it->second : L""});
    }
    for (const std::wstring& strPath : coreFiles)
        AddToPlan(plan, L"driver-file", strPath, {false, L"core-file", L""});
    return bWalked;
}
