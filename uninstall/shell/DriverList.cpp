#include "shell/DriverList.h"

#include "engine/PrinterRemoval.h"
#include "log/Log.h"
#include "shell/Dialog.h"

std::vector<DriverListEntry> g_driverList;
std::map<std::wstring, int> g_driverUseCount;
const std::wstring g_strTitle = L"Printer Driver Uninstaller";
const wchar_t* g_pSpoolerEnvironment = nullptr;

namespace {

// The spooler's record buffers behind the current model. A fill releases those of the fill
// before it: by then nothing refers to them (the model is emptied first, and the worker's copy
// of a row is gone before the worker rebuilds the list), so repeated removals do not pile up
// every earlier enumeration for the rest of the run.
std::vector<HLOCAL> g_recordBuffers;

void ReleaseRecordBuffers()
{
    for (HLOCAL hBuffer : g_recordBuffers)
        LocalFree(hBuffer);
    g_recordBuffers.clear();
}

// Inserts the text at the given row; false when the list box refused it, so that the caller
// keeps row i and entry i together by not adding an entry either.
bool InsertRow(int nRow, const wchar_t* pText)
{
    if (!g_pListBox)
        return true;  // no dialog (a run from the command line): the model alone
    return SendMessageW(g_pListBox, LB_INSERTSTRING, static_cast<WPARAM>(nRow), reinterpret_cast<LPARAM>(pText)) ==
           nRow;
}

// The processor architecture of the running Windows, not of this process. Both calls are looked
// up at run time: IsWow64Process2 (Windows 10 1709 on) is the only one that tells an x86
// process on ARM64 Windows the truth, where GetNativeSystemInfo answers x86 (or x64 under x64
// emulation); GetNativeSystemInfo exists from XP on, and before it the process's view is the
// system's.
WORD NativeProcessorArchitecture()
{
    HMODULE hKernel = GetModuleHandleW(L"kernel32.dll");
    typedef BOOL(WINAPI * IsWow64Process2Proc)(HANDLE, USHORT*, USHORT*);
    auto pIsWow64Process2 =
        reinterpret_cast<IsWow64Process2Proc>(reinterpret_cast<void*>(GetProcAddress(hKernel, "IsWow64Process2")));
    USHORT nProcessMachine = 0, nNativeMachine = 0;
    if (pIsWow64Process2 && pIsWow64Process2(GetCurrentProcess(), &nProcessMachine, &nNativeMachine)) {
        switch (nNativeMachine) {
        case IMAGE_FILE_MACHINE_AMD64:
            return PROCESSOR_ARCHITECTURE_AMD64;
        case IMAGE_FILE_MACHINE_ARM64:
            return PROCESSOR_ARCHITECTURE_ARM64;
        case IMAGE_FILE_MACHINE_IA64:
            return PROCESSOR_ARCHITECTURE_IA64;
        case IMAGE_FILE_MACHINE_I386:
            return PROCESSOR_ARCHITECTURE_INTEL;
        default:
            break;  // a machine it has no name for: ask the older way
        }
    }
    typedef void(WINAPI * GetNativeSystemInfoProc)(LPSYSTEM_INFO);
    SYSTEM_INFO info = {};
    auto pGetNativeSystemInfo = reinterpret_cast<GetNativeSystemInfoProc>(
        reinterpret_cast<void*>(GetProcAddress(hKernel, "GetNativeSystemInfo")));
    if (pGetNativeSystemInfo)
        pGetNativeSystemInfo(&info);
    else
        GetSystemInfo(&info);
    return info.wProcessorArchitecture;
}

// The spooler calls take a non-const environment; they do not write to it.
LPWSTR SpoolerEnvironment()
{
    return const_cast<LPWSTR>(g_pSpoolerEnvironment);
}

const wchar_t* SpoolerEnvironmentFor(WORD wProcessorArchitecture)
{
    switch (wProcessorArchitecture) {
    case PROCESSOR_ARCHITECTURE_AMD64:
        return L"Windows x64";
    case PROCESSOR_ARCHITECTURE_ARM64:
        return L"Windows ARM64";
    case PROCESSOR_ARCHITECTURE_IA64:
        return L"Windows IA64";
    default:
        return nullptr;  // x86 (and anything unknown): the calls stay as they always were
    }
}

}  // namespace

void FindSpoolerEnvironment()
{
    g_pSpoolerEnvironment = SpoolerEnvironmentFor(NativeProcessorArchitecture());
}

std::vector<std::wstring> GetPrinterNames()
{
    std::vector<PrinterAndDriver> printers;
    ListPrinterDrivers(printers);
    std::vector<std::wstring> names;
    for (const PrinterAndDriver& printer : printers)
        names.push_back(printer.strPrinterName);
    return names;
}

int EnumDriverInfos(DRIVER_INFO_6W** ppDriverInfos)
{
    // A spooler that does not answer (stopped, disabled, starting) is no spooler without
    // drivers: its refusal is logged, and the error is left for the caller.
    auto Refused = [](BYTE* pBuffer) {
        const DWORD dwError = GetLastError();
        WriteLog(L"EnumPrinterDrivers", TRUE);
        if (pBuffer)
            LocalFree(pBuffer);
        SetLastError(dwError);
        return -1;
    };
    DWORD cbNeeded = 0, nReturned = 0;
    if (EnumPrinterDriversW(nullptr, SpoolerEnvironment(), 6, nullptr, 0, &cbNeeded, &nReturned))
        return 0;  // none installed
    // A driver installed between the size query and the listing makes the listing ask for more
    // room: one more try with the size it asks for.
    for (int nTry = 0; nTry < 2 && GetLastError() == ERROR_INSUFFICIENT_BUFFER; ++nTry) {
        auto* pBuffer = static_cast<BYTE*>(LocalAlloc(LMEM_ZEROINIT, cbNeeded));
        if (!pBuffer)
            return Refused(nullptr);
        if (EnumPrinterDriversW(nullptr, SpoolerEnvironment(), 6, pBuffer, cbNeeded, &cbNeeded, &nReturned)) {
            *ppDriverInfos = reinterpret_cast<DRIVER_INFO_6W*>(pBuffer);
            return static_cast<int>(nReturned);
        }
        const DWORD dwError = GetLastError();
        LocalFree(pBuffer);
        SetLastError(dwError);
    }
    return Refused(nullptr);
}

int GetPrinterDriverInfo(const std::wstring& printerName, DRIVER_INFO_6W** ppDriverInfo)
{
    PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
    HANDLE hPrinter = nullptr;
    std::wstring strName = printerName;  // OpenPrinterW takes a non-const name
    if (!OpenPrinterW(&strName[0], &hPrinter, &defaults)) {
        WriteLog(L"OpenPrinter", TRUE);
        WriteLog(L"获取打印机驱动信息失败", FALSE);
        return 0;
    }
    DWORD cbNeeded = 0;
    // Only a size query refused for want of room tells the record's size; any other refusal is
    // the answer. Reading again with a buffer sized from it (none) hands the spooler an empty
    // buffer, and Wine's 32-bit spooler writes the record's first fields into it all the same.
    if (!GetPrinterDriverW(hPrinter, SpoolerEnvironment(), 6, nullptr, 0, &cbNeeded) &&
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        WriteLog(L"GetPrinterDriver", TRUE);
        ClosePrinter(hPrinter);
        return 0;
    }
    auto* pBuffer = static_cast<BYTE*>(LocalAlloc(LMEM_ZEROINIT, cbNeeded));
    if (!pBuffer || !GetPrinterDriverW(hPrinter, SpoolerEnvironment(), 6, pBuffer, cbNeeded, &cbNeeded)) {
        WriteLog(L"GetPrinterDriver", TRUE);
        if (pBuffer)
            LocalFree(pBuffer);
        ClosePrinter(hPrinter);
        return 0;
    }
    *ppDriverInfo = reinterpret_cast<DRIVER_INFO_6W*>(pBuffer);
    ClosePrinter(hPrinter);
    return 1;
}

BOOL FillDriverList(ListingFailure* pFailure)
{
    ListingFailure failure;
    SendMessageW(g_pListBox, LB_RESETCONTENT, 0, 0);
    g_driverList.clear();
    g_driverUseCount.clear();
    ReleaseRecordBuffers();

    // The drivers first: a printer's record is looked up among them.
    DRIVER_INFO_6W* pRecords = nullptr;
    const int nCount = EnumDriverInfos(&pRecords);
    if (nCount >= 0 && pRecords)
        g_recordBuffers.push_back(pRecords);
    if (nCount < 0) {
        const DWORD dwError = GetLastError();
        failure = {L"EnumPrinterDrivers", dwError};
    }

    // Each local printer's driver comes from the spooler's listing, which gives it without opening
    // the printer; each connection's from its server, which the listing asks for a moment only.
    std::vector<PrinterAndDriver> printers;
    if (!ListPrinterDrivers(printers)) {
        const DWORD dwError = GetLastError();
        WriteLog(L"EnumPrinters", TRUE);
        if (failure.strCall.empty())
            failure = {L"EnumPrinters", dwError};
    }
    std::vector<std::wstring> names;
    int nRow = 0;
    for (const PrinterAndDriver& printer : printers) {
        const std::wstring& strPrinter = printer.strPrinterName;
        names.push_back(strPrinter);
        std::wstring strDriverName = printer.strDriverName;
        DRIVER_INFO_6W* pInfo = nullptr;
        for (int j = 0; j < nCount && !strDriverName.empty() && !pInfo; ++j) {
            if (pRecords[j].pName && strDriverName == pRecords[j].pName)
                pInfo = &pRecords[j];
        }
        // Only a local printer the listing names no driver for is opened to read it: a
        // connection's open goes to its server, and would wait on one that is gone for as long
        // as the listing does not. A printer whose driver cannot be read either way stays in the
        // list with an empty driver name and no record: users come to this program when a
        // printer is broken, and such a printer can still be removed (the removal then deletes
        // the printer and leaves every driver alone). A driver named but not among this
        // environment's drivers has no record: only the printer can go.
        if (strDriverName.empty() && !printer.bConnection && GetPrinterDriverInfo(strPrinter, &pInfo)) {
            g_recordBuffers.push_back(pInfo);
            strDriverName = pInfo->pName ? pInfo->pName : L"";
        }
        if (!InsertRow(nRow, strPrinter.c_str()))
            continue;
        ++nRow;
        DriverListEntry entry;
        entry.hWndOwner = g_hDlg;
        entry.pDriverInfo = pInfo;
        entry.strPrinterName = strPrinter;
        entry.bIsPrinter = 1;
        entry.strDriverName = strDriverName;
        g_driverUseCount[entry.strDriverName] += 1;
        g_driverList.push_back(entry);
    }

    for (int j = 0; j < nCount; ++j) {
        DRIVER_INFO_6W* pDriver = &pRecords[j];
        const std::wstring strDriver = pDriver->pName ? pDriver->pName : L"";
        bool bNamedLikePrinter = false;
        for (const std::wstring& strPrinter : names)
            bNamedLikePrinter = bNamedLikePrinter || strPrinter == strDriver;
        if (bNamedLikePrinter)
            continue;
        if (!InsertRow(nRow, strDriver.c_str()))
            continue;
        ++nRow;
        DriverListEntry entry;
        entry.hWndOwner = g_hDlg;
        entry.pDriverInfo = pDriver;
        entry.bIsPrinter = 0;
        entry.strDriverName = strDriver;
        g_driverUseCount[strDriver] += 1;
        g_driverList.push_back(entry);
    }

    SetWindowTextW(g_hDlg, g_strTitle.c_str());
    if (pFailure)
        *pFailure = failure;
    return failure.strCall.empty() ? TRUE : FALSE;
}
