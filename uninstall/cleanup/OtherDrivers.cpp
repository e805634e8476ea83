#include "cleanup/OtherDrivers.h"

#include <setupapi.h>
#include <winspool.h>

#include <cwchar>

#include "log/Log.h"

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
void AddBareName(const wchar_t* pPath, const wchar_t* pDriver, OtherDrivers& others)
{
    if (!pPath || !*pPath)
        return;
    const wchar_t* pSlash = wcsrchr(pPath, L'\\');
    const wchar_t* pName = pSlash ? pSlash + 1 : pPath;
    if (*pName && others.fileNames.insert(pName).second)
        others.fileOwners[pName] = pDriver ? pDriver : L"";
}

// The level-8 records (level 6 and the driver-store INF) of one environment, or of all of
// them ("all"). FALSE, with the error left for the caller, when they cannot be read. A driver
// installed between the size query and the listing makes the listing ask for more room: one
// more try with the size it asks for.
BOOL EnumDriverRecords(const wchar_t* pEnvironment, std::vector<BYTE>& buffer, DWORD& nCount)
{
    LPWSTR pEnv = const_cast<LPWSTR>(pEnvironment);
    DWORD cbNeeded = 0;
    nCount = 0;
    if (EnumPrinterDriversW(nullptr, pEnv, 8, nullptr, 0, &cbNeeded, &nCount))
        return TRUE;  // none installed
    for (int nTry = 0; nTry < 2 && GetLastError() == ERROR_INSUFFICIENT_BUFFER; ++nTry) {
        buffer.assign(cbNeeded, 0);
        if (EnumPrinterDriversW(nullptr, pEnv, 8, buffer.data(), cbNeeded, &cbNeeded, &nCount))
            return TRUE;
    }
    return FALSE;
}

void AddOthers(const std::vector<BYTE>& buffer, DWORD nCount, const DRIVER_INFO_6W* pDriverInfo, OtherDrivers& others)
{
    const auto* pRecords = reinterpret_cast<const DRIVER_INFO_8W*>(buffer.data());
    for (DWORD i = 0; i < nCount; ++i) {
        const DRIVER_INFO_8W& other = pRecords[i];
        if (SameText(other.pName, pDriverInfo->pName) && SameText(other.pEnvironment, pDriverInfo->pEnvironment))
            continue;
        for (const wchar_t* pPath : {other.pDriverPath, other.pDataFile, other.pConfigFile, other.pHelpFile})
            AddBareName(pPath, other.pName, others);
        for (const wchar_t* pItem = other.pDependentFiles; pItem && *pItem; pItem += wcslen(pItem) + 1)
            AddBareName(pItem, other.pName, others);
        if (other.pName && *other.pName)
            others.names.push_back(other.pName);
        if (other.pszInfPath && *other.pszInfPath)
            others.infPaths.push_back(other.pszInfPath);
    }
}

// The package folder's name of a path below the driver store's FileRepository; empty when the
// path lies elsewhere.
std::wstring PackageName(const std::wstring& path)
{
    static const wchar_t kRepository[] = L"\\DriverStore\\FileRepository\\";
    const int nRepository = static_cast<int>(wcslen(kRepository));
    for (size_t n = 0; n + nRepository <= path.size(); ++n) {
        if (CompareStringOrdinal(path.c_str() + n, nRepository, kRepository, nRepository, TRUE) == CSTR_EQUAL) {
            const size_t nStart = n + nRepository;
            return path.substr(nStart, path.find(L'\\', nStart) - nStart);
        }
    }
    return std::wstring();
}

}  // namespace

BOOL ReadOtherDrivers(const DRIVER_INFO_6W* pDriverInfo, OtherDrivers& others)
{
    others = OtherDrivers();
    std::vector<BYTE> buffer;
    DWORD nCount = 0;
    if (EnumDriverRecords(L"all", buffer, nCount)) {
        AddOthers(buffer, nCount, pDriverInfo, others);
        return TRUE;
    }
    if (GetLastError() != ERROR_INVALID_ENVIRONMENT) {
        WriteLog(L"EnumPrinterDrivers", TRUE);
        return FALSE;
    }
    for (const wchar_t* pEnvironment : kEnvironments) {
        if (EnumDriverRecords(pEnvironment, buffer, nCount)) {
            AddOthers(buffer, nCount, pDriverInfo, others);
        } else if (GetLastError() != ERROR_INVALID_ENVIRONMENT) {
            WriteLog(L"EnumPrinterDrivers", TRUE);
            others = OtherDrivers();
            return FALSE;
        }
    }
    return TRUE;
}

BOOL GetStoreInfOf(const std::wstring& strPublishedInf, std::wstring& strStoreInf)
{
    typedef BOOL(WINAPI * GetInfDriverStoreLocationProc)(PCWSTR, PSP_ALTPLATFORM_INFO, PCWSTR, PWSTR, DWORD, PDWORD);
    auto pGetInfDriverStoreLocation = reinterpret_cast<GetInfDriverStoreLocationProc>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"setupapi.dll"), "SetupGetInfDriverStoreLocationW")));
    wchar_t szStoreInf[MAX_PATH] = {};
    if (!pGetInfDriverStoreLocation ||
        !pGetInfDriverStoreLocation(strPublishedInf.c_str(), nullptr, nullptr, szStoreInf, MAX_PATH, nullptr))
        return FALSE;
    strStoreInf = szStoreInf;
    return TRUE;
}

bool InSamePackage(const std::wstring& storePath, const std::wstring& otherStorePath)
{
    const std::wstring strPackage = PackageName(storePath);
    return !strPackage.empty() && SameText(PackageName(otherStorePath).c_str(), strPackage.c_str());
}

bool AnotherDriverComesFromPackage(const OtherDrivers& others, const std::wstring& storePath, std::wstring* pStrInf)
{
    for (const std::wstring& strInf : others.infPaths) {
        if (InSamePackage(storePath, strInf)) {
            if (pStrInf)
                *pStrInf = strInf;
            return true;
        }
    }
    return false;
}
