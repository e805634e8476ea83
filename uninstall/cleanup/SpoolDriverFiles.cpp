#include "cleanup/SpoolDriverFiles.h"

#include <shlobj.h>
#include <winspool.h>

#include <cwchar>
#include <vector>

#include "cleanup/DirScanner.h"
#include "cleanup/SpecialFolder.h"
#include "log/Log.h"

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

// Spoolers that do not serve "all" are asked for each environment in turn; one they do not
// know (ERROR_INVALID_ENVIRONMENT) holds no driver.
const wchar_t* const kEnvironments[] = {L"Windows NT x86", L"Windows x64", L"Windows IA64", L"Windows ARM64",
                                        L"Windows 4.0"};

bool SameText(const wchar_t* a, const wchar_t* b)
{
    return CompareStringOrdinal(a ? a : L"", -1, b ? b : L"", -1, TRUE) == CSTR_EQUAL;
}

// The file part of a listed path; a name listed without a folder is a file name all the same.
void AddBareName(const wchar_t* pPath, FileNameSet& names)
{
    if (!pPath || !*pPath)
        return;
    const wchar_t* pSlash = wcsrchr(pPath, L'\\');
    const wchar_t* pName = pSlash ? pSlash + 1 : pPath;
    if (*pName)
        names.insert(pName);
}

// The level-6 records of one environment, or of all of them ("all"). FALSE, with the error
// left for the caller, when they cannot be read.
BOOL EnumDriverRecords(const wchar_t* pEnvironment, std::vector<BYTE>& buffer, DWORD& nCount)
{
    LPWSTR pEnv = const_cast<LPWSTR>(pEnvironment);
    DWORD cbNeeded = 0;
    nCount = 0;
    if (EnumPrinterDriversW(nullptr, pEnv, 6, nullptr, 0, &cbNeeded, &nCount))
        return TRUE;  // none installed
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return FALSE;
    buffer.assign(cbNeeded, 0);
    return EnumPrinterDriversW(nullptr, pEnv, 6, buffer.data(), cbNeeded, &cbNeeded, &nCount);
}

void AddFilesOfOthers(const std::vector<BYTE>& buffer, DWORD nCount, const DRIVER_INFO_6W* pDriverInfo,
                      FileNameSet& names)
{
    const auto* pRecords = reinterpret_cast<const DRIVER_INFO_6W*>(buffer.data());
    for (DWORD i = 0; i < nCount; ++i) {
        const DRIVER_INFO_6W& other = pRecords[i];
        if (SameText(other.pName, pDriverInfo->pName) && SameText(other.pEnvironment, pDriverInfo->pEnvironment))
            continue;
        for (const wchar_t* pPath : {other.pDriverPath, other.pDataFile, other.pConfigFile, other.pHelpFile})
            AddBareName(pPath, names);
        for (const wchar_t* pItem = other.pDependentFiles; pItem && *pItem; pItem += wcslen(pItem) + 1)
            AddBareName(pItem, names);
    }
}

}  // namespace

BOOL ReadOtherDriversFiles(const DRIVER_INFO_6W* pDriverInfo, FileNameSet& otherDriversFiles)
{
    otherDriversFiles.clear();
    std::vector<BYTE> buffer;
    DWORD nCount = 0;
    if (EnumDriverRecords(L"all", buffer, nCount)) {
        AddFilesOfOthers(buffer, nCount, pDriverInfo, otherDriversFiles);
        return TRUE;
    }
    if (GetLastError() != ERROR_INVALID_ENVIRONMENT) {
        WriteLog(L"EnumPrinterDrivers", TRUE);
        return FALSE;
    }
    for (const wchar_t* pEnvironment : kEnvironments) {
        if (EnumDriverRecords(pEnvironment, buffer, nCount)) {
            AddFilesOfOthers(buffer, nCount, pDriverInfo, otherDriversFiles);
        } else if (GetLastError() != ERROR_INVALID_ENVIRONMENT) {
            WriteLog(L"EnumPrinterDrivers", TRUE);
            otherDriversFiles.clear();
            return FALSE;
        }
    }
    return TRUE;
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
    BOOL result = TRUE;
    for (const std::wstring& strName : deleteList)
        result = scanner.ScanDirectory(strRoot, ScanDelete, strName, FALSE);
    return result;
}
