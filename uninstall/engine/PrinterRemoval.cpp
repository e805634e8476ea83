#include "engine/PrinterRemoval.h"

#include <winspool.h>

#include <vector>

#include "log/Log.h"

namespace {

// A printer connection points this PC at a queue of a print server. Its name has the form
// "\\server\queue", and the spooler marks it network and not local. Opening it and calling
// DeletePrinter would ask the server to delete its shared queue, for everyone; the
// connection itself is removed from this PC with DeletePrinterConnectionW. The attributes
// come from the level-4 listing, which the spooler answers from this PC's own records
// without asking any server.
bool IsPrinterConnection(const std::wstring& printerName)
{
    if (printerName.compare(0, 2, L"\\\\") == 0)
        return true;
    const DWORD dwFlags = PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS;
    DWORD cbNeeded = 0, nReturned = 0;
    EnumPrintersW(dwFlags, nullptr, 4, nullptr, 0, &cbNeeded, &nReturned);
    std::vector<BYTE> buffer(cbNeeded);
    if (cbNeeded == 0 || !EnumPrintersW(dwFlags, nullptr, 4, buffer.data(), cbNeeded, &cbNeeded, &nReturned))
        return false;
    const auto* pInfos = reinterpret_cast<const PRINTER_INFO_4W*>(buffer.data());
    for (DWORD i = 0; i < nReturned; ++i) {
        if (pInfos[i].pPrinterName && printerName == pInfos[i].pPrinterName) {
            const DWORD dwAttributes = pInfos[i].Attributes;
            return (dwAttributes & PRINTER_ATTRIBUTE_NETWORK) && !(dwAttributes & PRINTER_ATTRIBUTE_LOCAL);
        }
    }
    return false;
}

}  // namespace

BOOL RemovePrinter(const std::wstring& printerName)
{
    if (IsPrinterConnection(printerName)) {
        if (DeletePrinterConnectionW(const_cast<LPWSTR>(printerName.c_str())))
            return TRUE;
        if (GetLastError() == ERROR_INVALID_PRINTER_NAME)
            return TRUE;  // already gone
        WriteLog(L"DeletePrinterConnection", TRUE);
        return FALSE;
    }

    PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
    HANDLE hPrinter = nullptr;
    if (!OpenPrinterW(const_cast<LPWSTR>(printerName.c_str()), &hPrinter, &defaults)) {
        if (GetLastError() == ERROR_INVALID_PRINTER_NAME)
            return TRUE;  // already gone
        WriteLog(L"OpenPrinter", TRUE);
        return FALSE;
    }
    if (!DeletePrinter(hPrinter)) {
        WriteLog(L"DeletePrinter", TRUE);
        ClosePrinter(hPrinter);
        return FALSE;
    }
    ClosePrinter(hPrinter);
    return TRUE;
}

BOOL ListPrinterDrivers(std::vector<PrinterAndDriver>& printers)
{
    printers.clear();
    const DWORD dwFlags = PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS;
    wchar_t szEmpty[] = L"";
    DWORD cbNeeded = 0, nReturned = 0;
    if (EnumPrintersW(dwFlags, szEmpty, 2, nullptr, 0, &cbNeeded, &nReturned))
        return TRUE;  // none
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return FALSE;
    std::vector<BYTE> buffer(cbNeeded);
    if (!EnumPrintersW(dwFlags, szEmpty, 2, buffer.data(), cbNeeded, &cbNeeded, &nReturned))
        return FALSE;
    const auto* pInfos = reinterpret_cast<const PRINTER_INFO_2W*>(buffer.data());
    for (DWORD i = 0; i < nReturned; ++i) {
        PrinterAndDriver printer;
        printer.strPrinterName = pInfos[i].pPrinterName ? pInfos[i].pPrinterName : L"";
        printer.strDriverName = pInfos[i].pDriverName ? pInfos[i].pDriverName : L"";
        printers.push_back(printer);
    }
    return TRUE;
}
