#pragma once
#include <windows.h>
#include <string>

BOOL DeletePrinterJobs(const std::wstring& printerName);
#include "cleanup/RemovalPlan.h"

// Deletes the spool files of every queue; with a plan, only records the files it would delete.
BOOL DeleteSpoolFiles(RemovalPlan* pPlan = nullptr);
