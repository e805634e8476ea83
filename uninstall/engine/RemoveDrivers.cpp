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
#include "engine/DeviceNodes.h"
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

bool SameDriverName(const std::wstring& a, const wchar_t* b)
{
    return CompareStringOrdinal(a.c_str(), -1, b ? b : L"", -1, TRUE) == CSTR_EQUAL;
}

// The list was filled a while ago, and a printer whose driver could not be learnt counted for
// no driver: from a fresh listing, a driver that a printer not removed with these rows still
// uses, or may use (its driver unknown), is not removed, with the record that says so. A
// printer row then removes only its printer, as when another row counts its driver; a driver
// row removes nothing and fails. The printer that keeps each driver goes to the outcomes.
// FALSE when the removal must not start.
bool RemovesPrinter(const std::vector<DriverListEntry>& rows, const std::wstring& strPrinterName)
{
    for (const DriverListEntry& row : rows)
        if (row.bIsPrinter && row.strPrinterName == strPrinterName)
            return true;
    return false;
}

// A plan (bLog false) writes no record for a kept driver: its plan line says it.
bool KeepDriversPrintersUse(std::vector<DriverListEntry>& rows, std::vector<RowOutcome>& outcomes, bool bLog = true)
{
    bool bAnyDriver = false;
    for (const DriverListEntry& row : rows)
        bAnyDriver = bAnyDriver || row.pDriverInfo;
    if (!bAnyDriver)
        return true;
    std::vector<PrinterAndDriver> printers;
    if (!ListPrinterDrivers(printers)) {
        WriteLog(L"EnumPrinters", TRUE);
        return false;
    }
    bool bStart = true;
    for (size_t i = 0; i < rows.size(); ++i) {
        DriverListEntry& row = rows[i];
        if (!row.pDriverInfo)
            continue;
        for (const PrinterAndDriver& printer : printers) {
            if (RemovesPrinter(rows, printer.strPrinterName))
                continue;
            if (printer.strDriverName.empty() || SameDriverName(printer.strDriverName, row.pDriverInfo->pName)) {
                outcomes[i].strDriverKeptFor = printer.strPrinterName;
                outcomes[i].bDriverUnknown = printer.strDriverName.empty();
                break;
            }
        }
        if (outcomes[i].strDriverKeptFor.empty())
            continue;
        if (bLog)
            WriteLog(L"驱动仍被打印机使用，未卸载：" + row.strDriverName, FALSE);
        row.pDriverInfo = nullptr;
        bStart = bStart && row.bIsPrinter;
    }
    return bStart;
}

// The plan of the spooler's own deletion of the driver (DPD_DELETE_UNUSED_FILES): each file
// the driver lists goes unless another driver lists it too.
void PlanUnusedDriverFiles(const DRIVER_INFO_6W* pDriverInfo, const OtherDrivers& others, RemovalPlan& plan)
{
    const std::wstring strDriver = pDriverInfo->pName ? pDriverInfo->pName : L"";
    std::vector<const wchar_t*> files = {pDriverInfo->pDriverPath, pDriverInfo->pDataFile, pDriverInfo->pConfigFile,
                                         pDriverInfo->pHelpFile};
    for (const wchar_t* pItem = pDriverInfo->pDependentFiles; pItem && *pItem; pItem += wcslen(pItem) + 1)
        files.push_back(pItem);
    for (const wchar_t* pPath : files) {
        if (!pPath || !*pPath)
            continue;
        const wchar_t* pSlash = wcsrchr(pPath, L'\\');
        auto it = others.fileOwners.find(pSlash ? pSlash + 1 : pPath);
        AddToPlan(plan, L"driver-file", pPath,
                  it == others.fileOwners.end() ? Decision{true, L"deleted-with-driver", strDriver}
                                                : Decision{false, L"file-of-another-driver", it->second});
    }
}

}  // namespace

// The fixed order of a removal. The first failing step ends it; nothing done before is
// undone (a failure while the spooler is stopped leaves it stopped: the caller decides).
BOOL RemoveDrivers(const std::vector<DriverListEntry>& rows, RemovalReport* pReport)
{
    RemovalReport report;
    RemovalReport& done = pReport ? *pReport : report;
    done = RemovalReport();
    done.rows.resize(rows.size());
    std::vector<DriverListEntry> list = rows;
    if (!KeepDriversPrintersUse(list, done.rows))
        return FALSE;
    done.bSpoolerTouched = true;
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

    // Clean-ups passed over for want of the other drivers leave the driver's files behind: the
    // rest of the removal still runs (the spooler must come back), and it ends as a failure.
    bool bCleanUpsSkipped = false;
    for (size_t i = 0; i < list.size(); ++i) {
        const DriverListEntry& entry = list[i];
        if (!entry.pDriverInfo)
            continue;
        if (!otherDrivers[i]) {
            bCleanUpsSkipped = true;
            continue;
        }
        const std::wstring strDriverName = entry.pDriverInfo->pName ? entry.pDriverInfo->pName : L"";
        if (!CleanSpoolDriverFiles(entry.pDriverInfo, otherDrivers[i]->fileNames))
            return FALSE;
        // The OEM INFs left without knowing their package keep that package in the store.
        std::vector<std::wstring> unsettledOemInfs;
        if (!UninstallOemInfs(strDriverName, *otherDrivers[i], &unsettledOemInfs, &done.bRestartNeeded))
            return FALSE;
        if (!CleanDriverStore(strDriverName, *otherDrivers[i], unsettledOemInfs))
            return FALSE;
    }

    if (!StartServiceByName(L"Spooler")) {
        WriteLog(L"开启服务失败", FALSE);
        return FALSE;
    }
    Sleep(1000);

    for (size_t i = 0; i < list.size(); ++i) {
        if (!list[i].bIsPrinter)
            continue;
        if (!RemovePrinter(list[i].strPrinterName))
            return FALSE;
        done.rows[i].bPrinterRemoved = true;
    }

    for (size_t i = 0; i < list.size(); ++i) {
        const DriverListEntry& entry = list[i];
        if (!entry.pDriverInfo)
            continue;
        if (!DeletePrinterDriverExW(nullptr, entry.pDriverInfo->pEnvironment, entry.pDriverInfo->pName,
                                    DPD_DELETE_UNUSED_FILES, entry.pDriverInfo->cVersion)) {
            WriteLog(L"DeletePrinterDriverEx", TRUE);
            return FALSE;
        }
        done.rows[i].bDriverRemoved = true;
    }

    ReenumerateDevices();
    return bCleanUpsSkipped ? FALSE : TRUE;
}

BOOL PlanRemoval(const std::vector<DriverListEntry>& rows, RemovalPlan& plan, RemovalReport& report)
{
    plan.clear();
    report = RemovalReport();
    report.rows.resize(rows.size());
    std::vector<DriverListEntry> list = rows;
    if (!KeepDriversPrintersUse(list, report.rows, false))
        return FALSE;
    for (size_t i = 0; i < list.size(); ++i) {
        report.rows[i].bPrinterRemoved = list[i].bIsPrinter != 0;
        report.rows[i].bDriverRemoved = list[i].pDriverInfo != nullptr;
    }

    // The steps in the removal's order, each through the function the removal calls. The queued
    // job the removal deletes through the spooler is one of the spool files listed here.
    BOOL result = DeleteSpoolFiles(&plan);
    for (const DriverListEntry& entry : list) {
        if (!entry.pDriverInfo)
            continue;
        OtherDrivers others;
        if (!ReadOtherDrivers(entry.pDriverInfo, others)) {
            result = FALSE;  // the removal would pass its clean-ups over and fail
            continue;
        }
        const std::wstring strDriverName = entry.pDriverInfo->pName ? entry.pDriverInfo->pName : L"";
        std::vector<std::wstring> unsettledOemInfs;
        if (!PlanSpoolDriverFiles(entry.pDriverInfo, others, plan) ||
            !PlanOemInfs(strDriverName, others, unsettledOemInfs, plan) ||
            !PlanDriverStore(strDriverName, others, unsettledOemInfs, plan))
            result = FALSE;
        PlanUnusedDriverFiles(entry.pDriverInfo, others, plan);
    }
    PlanDevicesLeft(plan);
    return result;
}
