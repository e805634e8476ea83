#include "WindowsStandIns.h"

#include <sddl.h>
#include <winspool.h>
#include <winternl.h>

#include <mutex>

#include "ImportPatch.h"

extern "C" NTSTATUS NTAPI NtCreateDirectoryObject(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES);
extern "C" NTSTATUS NTAPI NtOpenDirectoryObject(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES);

namespace {

std::mutex g_callsMutex;
std::vector<std::wstring> g_calls;
CONFIGRET g_locateResult = CR_SUCCESS;
CONFIGRET g_reenumerateResult = CR_SUCCESS;
const DEVINST kRootDevNode = 1;

std::wstring Str(LPCWSTR p) { return p ? p : L"(null)"; }

// The files of one driver record: main, data, configuration, help and dependent files.
std::vector<std::wstring> DriverFiles(const DRIVER_INFO_3W& info)
{
    std::vector<std::wstring> files;
    for (LPCWSTR p : {info.pDriverPath, info.pDataFile, info.pConfigFile, info.pHelpFile})
        if (p && *p)
            files.push_back(p);
    for (LPCWSTR p = info.pDependentFiles; p && *p; p += wcslen(p) + 1)
        files.push_back(p);
    return files;
}

std::vector<BYTE> EnumDrivers(LPWSTR pEnvironment, DWORD& count)
{
    DWORD needed = 0;
    count = 0;
    EnumPrinterDriversW(nullptr, pEnvironment, 3, nullptr, 0, &needed, &count);
    std::vector<BYTE> buffer(needed ? needed : 1);
    if (!EnumPrinterDriversW(nullptr, pEnvironment, 3, buffer.data(), needed, &needed, &count))
        count = 0;
    return buffer;
}

bool PrinterUsesDriver(LPCWSTR pDriverName)
{
    DWORD needed = 0, count = 0;
    EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, nullptr, 0, &needed, &count);
    std::vector<BYTE> buffer(needed ? needed : 1);
    if (!EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, buffer.data(), needed, &needed, &count))
        return false;
    auto* pInfo = reinterpret_cast<PRINTER_INFO_2W*>(buffer.data());
    for (DWORD i = 0; i < count; ++i)
        if (pInfo[i].pDriverName && lstrcmpiW(pInfo[i].pDriverName, pDriverName) == 0)
            return true;
    return false;
}

}  // namespace

void RecordStandInCall(const std::wstring& call)
{
    std::lock_guard<std::mutex> lock(g_callsMutex);
    g_calls.push_back(call);
    wchar_t szFile[MAX_PATH];
    DWORD n = GetEnvironmentVariableW(L"STANDIN_RECORD", szFile, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return;
    HANDLE h = CreateFileW(szFile, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return;
    std::wstring line = call + L"\r\n";
    int bytes = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), nullptr, 0, nullptr, nullptr);
    std::string utf8(bytes, '\0');
    WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), &utf8[0], bytes, nullptr, nullptr);
    DWORD written = 0;
    WriteFile(h, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
    CloseHandle(h);
}

std::vector<std::wstring> StandInCalls()
{
    std::lock_guard<std::mutex> lock(g_callsMutex);
    return g_calls;
}

void ClearStandInCalls()
{
    std::lock_guard<std::mutex> lock(g_callsMutex);
    g_calls.clear();
}

void SetStandInDevNodeResults(CONFIGRET locate, CONFIGRET reenumerate)
{
    g_locateResult = locate;
    g_reenumerateResult = reenumerate;
}

// As Windows documents it: a driver that a printer uses is refused with
// ERROR_PRINTER_DRIVER_IN_USE; an unknown one with ERROR_UNKNOWN_PRINTER_DRIVER; with
// DPD_DELETE_UNUSED_FILES the driver's files that no remaining driver lists are deleted.
// (Wine refuses every nonzero flag with 87 and removes only the registration with 0.)
BOOL WINAPI StandInDeletePrinterDriverExW(LPWSTR pName, LPWSTR pEnvironment, LPWSTR pDriverName, DWORD dwDeleteFlag,
                                          DWORD dwVersionFlag)
{
    RecordStandInCall(L"DeletePrinterDriverExW|" + Str(pName) + L"|" + Str(pEnvironment) + L"|" + Str(pDriverName) +
                      L"|" + std::to_wstring(dwDeleteFlag) + L"|" + std::to_wstring(dwVersionFlag));
    if (!pDriverName || !*pDriverName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (PrinterUsesDriver(pDriverName)) {
        SetLastError(ERROR_PRINTER_DRIVER_IN_USE);
        return FALSE;
    }
    DWORD count = 0;
    std::vector<BYTE> before = EnumDrivers(pEnvironment, count);
    auto* pInfo = reinterpret_cast<DRIVER_INFO_3W*>(before.data());
    std::vector<std::wstring> files;
    bool found = false;
    for (DWORD i = 0; i < count; ++i) {
        if (pInfo[i].pName && lstrcmpiW(pInfo[i].pName, pDriverName) == 0) {
            files = DriverFiles(pInfo[i]);
            found = true;
        }
    }
    if (!found) {
        SetLastError(ERROR_UNKNOWN_PRINTER_DRIVER);
        return FALSE;
    }
    // The real call, not through this module's imports, which may point back here.
    using DeleteFn = BOOL(WINAPI*)(LPWSTR, LPWSTR, LPWSTR, DWORD, DWORD);
    auto pReal = reinterpret_cast<DeleteFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"winspool.drv"), "DeletePrinterDriverExW")));
    if (!pReal || !pReal(pName, pEnvironment, pDriverName, 0, 0))
        return FALSE;
    if (dwDeleteFlag & DPD_DELETE_UNUSED_FILES) {
        std::vector<BYTE> after = EnumDrivers(pEnvironment, count);
        auto* pLeft = reinterpret_cast<DRIVER_INFO_3W*>(after.data());
        for (const std::wstring& file : files) {
            bool used = false;
            for (DWORD i = 0; i < count && !used; ++i)
                for (const std::wstring& other : DriverFiles(pLeft[i]))
                    used = used || lstrcmpiW(other.c_str(), file.c_str()) == 0;
            if (!used)
                DeleteFileW(file.c_str());
        }
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

CONFIGRET WINAPI StandInCM_Locate_DevNodeW(PDEVINST pdnDevInst, DEVINSTID_W pDeviceID, ULONG ulFlags)
{
    RecordStandInCall(L"CM_Locate_DevNodeW|" + Str(pDeviceID) + L"|" + std::to_wstring(ulFlags));
    if (!pdnDevInst)
        return CR_INVALID_POINTER;
    if (g_locateResult != CR_SUCCESS)
        return g_locateResult;
    *pdnDevInst = kRootDevNode;
    return CR_SUCCESS;
}

CONFIGRET WINAPI StandInCM_Reenumerate_DevNode(DEVINST dnDevInst, ULONG ulFlags)
{
    RecordStandInCall(L"CM_Reenumerate_DevNode|" + std::to_wstring(dnDevInst) + L"|" + std::to_wstring(ulFlags));
    if (dnDevInst != kRootDevNode)
        return CR_INVALID_DEVNODE;
    return g_reenumerateResult;
}

// Windows removes the INF and its precompiled .pnf from the INF folder.
BOOL WINAPI StandInSetupUninstallOEMInfW(PCWSTR InfFileName, DWORD Flags, PVOID Reserved)
{
    RecordStandInCall(L"SetupUninstallOEMInfW|" + Str(InfFileName) + L"|" + std::to_wstring(Flags));
    if (!InfFileName || wcschr(InfFileName, L'\\') || Reserved) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    wchar_t szWindows[MAX_PATH];
    GetWindowsDirectoryW(szWindows, MAX_PATH);
    std::wstring inf = std::wstring(szWindows) + L"\\inf\\" + InfFileName;
    if (!DeleteFileW(inf.c_str()))
        return FALSE;
    size_t dot = inf.rfind(L'.');
    if (dot != std::wstring::npos && dot > inf.rfind(L'\\'))
        DeleteFileW((inf.substr(0, dot) + L".pnf").c_str());
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

// Never restarts anything: the request is only recorded. As Windows documents it, a caller
// without SE_SHUTDOWN_NAME enabled in its token is refused (ERROR_PRIVILEGE_NOT_HELD).
BOOL WINAPI StandInExitWindowsEx(UINT uFlags, DWORD dwReason)
{
    PRIVILEGE_SET shutdown = {1, PRIVILEGE_SET_ALL_NECESSARY, {}};
    BOOL bEnabled = FALSE;
    HANDLE hToken = nullptr;
    if (LookupPrivilegeValueW(nullptr, SE_SHUTDOWN_NAME, &shutdown.Privilege[0].Luid) &&
        OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &hToken)) {
        PrivilegeCheck(hToken, &shutdown, &bEnabled);
        CloseHandle(hToken);
    }
    RecordStandInCall(L"ExitWindowsEx|" + std::to_wstring(uFlags) + L"|" + std::to_wstring(dwReason) +
                      (bEnabled ? L"" : L"|refused: SeShutdownPrivilege not enabled"));
    SetLastError(bEnabled ? ERROR_SUCCESS : ERROR_PRIVILEGE_NOT_HELD);
    return bEnabled;
}

namespace {

struct StandInBoundary {
    std::wstring strName;
    std::wstring strSids;  // "|S-1-...", one per SID
};
bool g_bOutsideBoundary = false;

HANDLE NamespaceDirectory(LPVOID pBoundary, LPCWSTR pAlias, LPSECURITY_ATTRIBUTES pAttributes, bool bCreate)
{
    const auto* pB = static_cast<const StandInBoundary*>(pBoundary);
    std::wstring strSddl;
    LPWSTR pSddl = nullptr;
    if (pAttributes && ConvertSecurityDescriptorToStringSecurityDescriptorW(
                           pAttributes->lpSecurityDescriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &pSddl, nullptr)) {
        strSddl = L"|" + std::wstring(pSddl);
        LocalFree(pSddl);
    }
    RecordStandInCall((bCreate ? L"CreatePrivateNamespaceW|" : L"OpenPrivateNamespaceW|") + Str(pAlias) + L"|" +
                      pB->strName + pB->strSids + strSddl);
    if (pB->strSids.empty() || g_bOutsideBoundary) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    DWORD dwSession = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &dwSession);
    std::wstring strPath = L"\\Sessions\\" + std::to_wstring(dwSession) + L"\\BaseNamedObjects\\" + Str(pAlias);
    UNICODE_STRING name = {static_cast<USHORT>(strPath.size() * 2), static_cast<USHORT>(strPath.size() * 2), &strPath[0]};
    OBJECT_ATTRIBUTES object;
    InitializeObjectAttributes(&object, &name, 0, nullptr, nullptr);
    HANDLE hDirectory = nullptr;
    const ACCESS_MASK kDirectoryAllAccess = 0xF000F;
    NTSTATUS status = bCreate ? NtCreateDirectoryObject(&hDirectory, kDirectoryAllAccess, &object)
                              : NtOpenDirectoryObject(&hDirectory, kDirectoryAllAccess, &object);
    if (status == 0x40000000L) {  // STATUS_OBJECT_NAME_EXISTS: a handle to the existing one
        CloseHandle(hDirectory);
        status = static_cast<NTSTATUS>(0xC0000035L);  // STATUS_OBJECT_NAME_COLLISION
    }
    if (status < 0) {
        SetLastError(RtlNtStatusToDosError(status));
        return nullptr;
    }
    return hDirectory;
}

}  // namespace

HANDLE WINAPI StandInCreateBoundaryDescriptorW(LPCWSTR Name, ULONG)
{
    return new StandInBoundary{Str(Name), L""};
}

BOOL WINAPI StandInAddSIDToBoundaryDescriptor(HANDLE* BoundaryDescriptor, PSID RequiredSid)
{
    LPWSTR pSid = nullptr;
    if (!BoundaryDescriptor || !*BoundaryDescriptor || !ConvertSidToStringSidW(RequiredSid, &pSid)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    static_cast<StandInBoundary*>(*BoundaryDescriptor)->strSids += L"|" + std::wstring(pSid);
    LocalFree(pSid);
    return TRUE;
}

VOID WINAPI StandInDeleteBoundaryDescriptor(HANDLE BoundaryDescriptor)
{
    delete static_cast<StandInBoundary*>(BoundaryDescriptor);
}

HANDLE WINAPI StandInCreatePrivateNamespaceW(LPSECURITY_ATTRIBUTES pAttributes, LPVOID pBoundary, LPCWSTR pAlias)
{
    return NamespaceDirectory(pBoundary, pAlias, pAttributes, true);
}

HANDLE WINAPI StandInOpenPrivateNamespaceW(LPVOID pBoundary, LPCWSTR pAlias)
{
    return NamespaceDirectory(pBoundary, pAlias, nullptr, false);
}

BOOLEAN WINAPI StandInClosePrivateNamespace(HANDLE Handle, ULONG)
{
    return CloseHandle(Handle) ? TRUE : FALSE;
}

void SetStandInOutsideBoundary(bool bOutside)
{
    g_bOutsideBoundary = bOutside;
}

void InstallWindowsStandIns(HMODULE module)
{
    PatchImport(module, "winspool.drv", "DeletePrinterDriverExW", reinterpret_cast<void*>(&StandInDeletePrinterDriverExW));
    PatchImport(module, "setupapi.dll", "CM_Locate_DevNodeW", reinterpret_cast<void*>(&StandInCM_Locate_DevNodeW));
    PatchImport(module, "setupapi.dll", "CM_Reenumerate_DevNode", reinterpret_cast<void*>(&StandInCM_Reenumerate_DevNode));
    PatchImport(module, "setupapi.dll", "SetupUninstallOEMInfW", reinterpret_cast<void*>(&StandInSetupUninstallOEMInfW));
    PatchImport(module, "user32.dll", "ExitWindowsEx", reinterpret_cast<void*>(&StandInExitWindowsEx));
}
