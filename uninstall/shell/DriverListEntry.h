#pragma once
#include <windows.h>
#include <string>

// One row of the driver list. pDriverInfo is not owned: the records live for the run.
struct DriverListEntry {
    HWND hWndOwner = nullptr;
    DRIVER_INFO_6W* pDriverInfo = nullptr;
    std::wstring strPrinterName;
    BYTE bIsPrinter = 0;
    std::wstring strDriverName;
};
