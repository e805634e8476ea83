#pragma once
#include <windows.h>
#include <string>

BOOL DeletePrinterJobs(const std::wstring& printerName);
BOOL DeleteSpoolFiles();
