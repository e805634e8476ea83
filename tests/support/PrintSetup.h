#pragma once
#include <windows.h>
#include <winspool.h>
#include <string>
#include <vector>

#include "TestPrinter.h"  // PrinterExists

// Printers and drivers set up through the real spooler, as a driver's setup program would.

// The spooler's driver folder of this machine's environment, e.g. C:\windows\system32\spool\drivers\x64\3\.
std::wstring DriverFolder();
std::wstring NativeEnvironment();  // "Windows x64" (or "Windows NT x86")

// Places the files in the driver folder and registers the driver (level 3): driver file,
// data file, configuration file, dependent files (bare names, placed too), monitor name.
bool AddTestDriver(const std::wstring& name, const std::wstring& driverFile, const std::wstring& dataFile,
                   const std::vector<std::wstring>& dependentFiles = {}, const std::wstring& monitor = L"");
bool AddTestPrinter(const std::wstring& name, const std::wstring& driver);
bool DeleteTestPrinter(const std::wstring& name);  // true when it is gone
bool DeleteTestDriver(const std::wstring& name);   // registration only; true when it is gone
bool DriverExists(const std::wstring& name);
// The printer's level-6 driver record, in a buffer that the caller keeps.
std::vector<BYTE> PrinterDriverRecord(const std::wstring& printer);
