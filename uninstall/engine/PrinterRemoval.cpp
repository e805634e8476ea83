#include "engine/PrinterRemoval.h"

#include <winspool.h>

#include "log/Log.h"

BOOL RemovePrinter(const std::wstring& printerName)
{
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
