#include "engine/DeviceNodes.h"

#include <cfgmgr32.h>
#include <setupapi.h>
#include <shlobj.h>

#include <cwchar>

#include "cleanup/OtherDrivers.h"
#include "cleanup/SpecialFolder.h"
#include "log/Log.h"

namespace {

// The INF a device's driver was installed from, as its driver key names it ("oem12.inf"):
// empty where no driver is installed.
std::wstring InstalledInf(HDEVINFO hDevices, SP_DEVINFO_DATA& device)
{
    HKEY hKey = SetupDiOpenDevRegKey(hDevices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
    if (hKey == INVALID_HANDLE_VALUE)
        return std::wstring();
    wchar_t szInf[MAX_PATH + 1] = {};
    DWORD cbInf = MAX_PATH * sizeof(wchar_t);  // room left for the terminator the value may lack
    DWORD dwType = 0;
    const LONG nResult = RegQueryValueExW(hKey, L"InfPath", nullptr, &dwType, reinterpret_cast<BYTE*>(szInf), &cbInf);
    RegCloseKey(hKey);
    return nResult == ERROR_SUCCESS && dwType == REG_SZ ? std::wstring(szInf) : std::wstring();
}

// The plan's removed OEM INF or package that a device installed from `strInf` depends on;
// empty when none. A published INF's package is SetupAPI's answer, as for the OEM INF clean-up.
std::wstring RemovedSource(const RemovalPlan& plan, const std::wstring& strInfFolder, const std::wstring& strInf)
{
    std::wstring strStoreInf;
    const bool bPlaced = GetStoreInfOf(strInfFolder + strInf, strStoreInf) != FALSE;
    for (const PlanItem& line : plan) {
        if (!line.decision.bRemove)
            continue;
        if (!wcscmp(line.pItem, L"oem-inf") &&
            CompareStringOrdinal(line.strTarget.c_str() + line.strTarget.rfind(L'\\') + 1, -1, strInf.c_str(), -1,
                                 TRUE) == CSTR_EQUAL)
            return line.strTarget;
        if (!wcscmp(line.pItem, L"package") && bPlaced && InSamePackage(line.strTarget, strStoreInf))
            return line.strTarget;
    }
    return std::wstring();
}

}  // namespace

void PlanDevicesLeft(RemovalPlan& plan)
{
    bool bAnySource = false;
    for (const PlanItem& line : plan)
        bAnySource = bAnySource ||
                     (line.decision.bRemove && (!wcscmp(line.pItem, L"oem-inf") || !wcscmp(line.pItem, L"package")));
    std::wstring strWindows;
    if (!bAnySource || !GetSpecialFolder(CSIDL_WINDOWS, strWindows))
        return;
    const std::wstring strInfFolder = strWindows + L"\\inf\\";
    HDEVINFO hDevices = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    if (hDevices == INVALID_HANDLE_VALUE) {
        WriteLog(L"SetupDiGetClassDevs", TRUE);
        return;
    }
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    for (DWORD i = 0; SetupDiEnumDeviceInfo(hDevices, i, &device); ++i) {
        const std::wstring strInf = InstalledInf(hDevices, device);
        if (strInf.empty())
            continue;
        const std::wstring strSource = RemovedSource(plan, strInfFolder, strInf);
        wchar_t szId[MAX_DEVICE_ID_LEN] = {};
        if (strSource.empty() || !SetupDiGetDeviceInstanceIdW(hDevices, &device, szId, MAX_DEVICE_ID_LEN, nullptr))
            continue;
        AddToPlan(plan, L"device", szId, {false, L"device-left", strSource});
    }
    SetupDiDestroyDeviceInfoList(hDevices);
}
