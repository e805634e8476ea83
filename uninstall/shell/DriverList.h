#pragma once
#include <windows.h>
#include <map>
#include <string>
#include <vector>
#include "shell/DriverListEntry.h"

extern std::vector<DriverListEntry> g_driverList;
extern std::map<std::wstring, int> g_driverUseCount;
extern const std::wstring g_strTitle;

// The spooler environment of the native processor ("Windows x64", "Windows ARM64", "Windows
// IA64"), or null on 32-bit Windows. The program is 32-bit: with no environment the spooler
// answers for the caller's own ("Windows NT x86"), which on 64-bit Windows lists none of the
// installed drivers. Set once at start-up by FindSpoolerEnvironment.
extern const wchar_t* g_pSpoolerEnvironment;
void FindSpoolerEnvironment();

// A listing the spooler refused: the call and its error.
struct ListingFailure {
    std::wstring strCall;
    DWORD dwError = ERROR_SUCCESS;
};

// Rebuilds the list and its model. FALSE when the spooler did not answer a listing (the call is
// logged, and named in `pFailure`): the rows are then what it did answer, and "none" is not
// known. The dialog shows them all the same.
BOOL FillDriverList(ListingFailure* pFailure = nullptr);
std::vector<std::wstring> GetPrinterNames();
int EnumDriverInfos(DRIVER_INFO_6W** ppDriverInfos);
int GetPrinterDriverInfo(const std::wstring& printerName, DRIVER_INFO_6W** ppDriverInfo);
