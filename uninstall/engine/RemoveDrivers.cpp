#include "engine/RemoveDrivers.h"

#include <cfgmgr32.h>
#include <cwchar>
#include <optional>
#include <utility>
#include <winspool.h>

#include "cleanup/DriverStore.h"
#include "cleanup/OemInf.h"
#include "cleanup/OtherDrivers.h"
#include "cleanup/SpoolDriverFiles.h"
#include "engine/PrintQueue.h"
#include "engine/PrinterRemoval.h"
#include "engine/ServiceControl.h"
#include "log/Log.h"

namespace {

// "CM_...   failed:   %x\n " with the configuration manager's result code.
std::wstring DevNodeFailure(const wchar_t* call, CONFIGRET cr)
{
    wchar_t szCode[16];
    swprintf(szCode, sizeof(szCode) / sizeof(szCode[0]), L"%x", static_cast<unsigned>(cr));
    return std::wstring(call) + L"   failed:   " + szCode + L"\n ";
}

// Best effort: asks Windows to look at its devices again once the driver is gone.
void ReenumerateDevices()
{
    DEVINST devRoot = 0;
    CONFIGRET cr = CM_Locate_DevNodeW(&devRoot, nullptr, CM_LOCATE_DEVNODE_NORMAL);
    if (cr != CR_SUCCESS) {
        WriteLog(DevNodeFailure(L"CM_Locate_DevNode", cr), TRUE);
        return;
    }
    cr = CM_Reenumerate_DevNode(devRoot, CM_REENUMERATE_ASYNCHRONOUS);
    if (cr != CR_SUCCESS)
        WriteLog(DevNodeFailure(L"CM_Reenumerate_DevNode", cr), TRUE);
}

}  // namespace

// The fixed order of a removal. The first failing step ends it; nothing done before is
// undone (a failure while the spooler is stopped leaves it stopped).
BOOL RemoveDrivers(const std::vector<DriverListEntry>& list)
{
    if (!RestartSpooler())
        return FALSE;
    Sleep(1000);

    // While the spooler runs, each row also learns what the other installed drivers still need
    // (their files, their names, the packages they came from): the file clean-ups must leave
    // those. Where that cannot be learnt, none of them can tell what is another driver's, and
    // they are passed over (the spooler's own deletion below still takes the driver's unused
    // files).
    std::vector<std::optional<OtherDrivers>> otherDrivers(list.size());
    for (size_t i = 0; i < list.size(); ++i) {
        const DriverListEntry& entry = list[i];
        if (!entry.pDriverInfo)
            continue;
        if (!DeletePrinterJobs(entry.pDriverInfo->pName ? entry.pDriverInfo->pName : L"")) {
            WriteLog(L"删除打印作业失败", FALSE);
            return FALSE;
        }
        OtherDrivers others;
        if (ReadOtherDrivers(entry.pDriverInfo, others))
            otherDrivers[i] = std::move(others);
    }

    if (!StopServiceByName(L"Spooler")) {
        WriteLog(L"关闭服务失败", FALSE);
        return FALSE;
    }
    Sleep(1000);

    if (!DeleteSpoolFiles())
        return FALSE;

    for (size_t i = 0; i < list.size(); ++i) {
        const DriverListEntry& entry = list[i];
        if (!entry.pDriverInfo || !otherDrivers[i])
            continue;
        const std::wstring strDriverName = entry.pDriverInfo->pName ? entry.pDriverInfo->pName : L"";
        if (!CleanSpoolDriverFiles(entry.pDriverInfo, otherDrivers[i]->fileNames))
            return FALSE;
        if (!UninstallOemInfs(strDriverName, *otherDrivers[i]))
            return FALSE;
        if (!CleanDriverStore(strDriverName, *otherDrivers[i]))
            return FALSE;
    }

    if (!StartServiceByName(L"Spooler")) {
        WriteLog(L"开启服务失败", FALSE);
        return FALSE;
    }
    Sleep(1000);

    for (const DriverListEntry& entry : list) {
        if (entry.bIsPrinter && !RemovePrinter(entry.strPrinterName))
            return FALSE;
    }

    for (const DriverListEntry& entry : list) {
        if (!entry.pDriverInfo)
            continue;
        if (!DeletePrinterDriverExW(nullptr, entry.pDriverInfo->pEnvironment, entry.pDriverInfo->pName,
                                    DPD_DELETE_UNUSED_FILES, entry.pDriverInfo->cVersion)) {
            WriteLog(L"DeletePrinterDriverEx", TRUE);
            return FALSE;
        }
    }

    ReenumerateDevices();
    return TRUE;
}
