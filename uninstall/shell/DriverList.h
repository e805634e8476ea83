#pragma once
#include <windows.h>
#include <map>
#include <string>
#include <vector>
#include "shell/DriverListEntry.h"

extern std::vector<DriverListEntry> g_driverList;
extern std::map<std::wstring, int> g_driverUseCount;
extern const std::wstring g_strTitle;

void FillDriverList();
std::vector<std::wstring> GetPrinterNames();
int EnumDriverInfos(DRIVER_INFO_6W** ppDriverInfos);
int GetPrinterDriverInfo(const std::wstring& printerName, DRIVER_INFO_6W** ppDriverInfo);
