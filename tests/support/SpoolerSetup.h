#pragma once
// Printers and drivers set up through the real spooler for a test, and what it enumerates.
#include <windows.h>
#include <string>
#include <vector>

#include "TestPrinter.h"  // PrinterExists

// What the spooler lists, in its own order.
std::vector<std::wstring> SpoolerPrinterNames();  // EnumPrintersW, local and connections, level 2
std::vector<std::wstring> SpoolerDriverNames();   // EnumPrinterDriversW, level 6, the system's environment
// The driver a printer uses as the spooler reports it (GetPrinterDriverW level 6, the system's
// environment); empty when unreadable.
std::wstring PrinterDriverName(const std::wstring& printerName);

// Adds drivers and printers, and removes what it added when it is destroyed (printers first).
// Drivers are registered at level 3 for the system's environment (NativeEnvironment), with small files of their own
// placed in the spooler's driver folder (...\spool\drivers\<env>\3\) beforehand.
class SpoolerSetup {
public:
    SpoolerSetup() = default;
    ~SpoolerSetup();
    SpoolerSetup(const SpoolerSetup&) = delete;
    SpoolerSetup& operator=(const SpoolerSetup&) = delete;

    // Both return the failing call's error code, 0 on success.
    DWORD InstallDriver(const std::wstring& driverName);
    DWORD InstallPrinter(const std::wstring& printerName, const std::wstring& driverName);
    void RemoveAll();

    // Files of the drivers added here (full paths).
    const std::vector<std::wstring>& DriverFiles() const { return m_files; }

private:
    std::vector<std::wstring> m_printers;
    std::vector<std::wstring> m_drivers;
    std::vector<std::wstring> m_files;
};

// Deletes a printer by name; true when it is gone (also when it did not exist).
bool DeletePrinterByName(const std::wstring& printerName);

// The environment of the system's own drivers: "Windows x64" on 64-bit Windows, also for a
// 32-bit process (or "Windows NT x86").
std::wstring NativeEnvironment();
// The spooler's driver folder of an environment (this machine's by default), e.g. C:\windows\system32\spool\drivers\x64\3\.
std::wstring DriverFolder(const std::wstring& environment = NativeEnvironment());

// Places the files in the driver folder and registers the driver (level 3): driver file,
// data file, configuration file (the driver file), dependent files (bare names, placed too),
// monitor name; for this machine's environment unless another is given.
bool AddTestDriver(const std::wstring& name, const std::wstring& driverFile, const std::wstring& dataFile,
                   const std::vector<std::wstring>& dependentFiles = {}, const std::wstring& monitor = L"",
                   const std::wstring& environment = NativeEnvironment());
// A printer on "FILE:" with the print processor "WinPrint"; the failing call's error code, 0 on success.
DWORD AddTestPrinter(const std::wstring& name, const std::wstring& driver);
// Registration only; true when it is gone.
bool DeleteTestDriver(const std::wstring& name, const std::wstring& environment = NativeEnvironment());
bool DriverExists(const std::wstring& name, const std::wstring& environment = NativeEnvironment());
// The printer's level-6 driver record (the system's environment), in a buffer that the caller keeps.
std::vector<BYTE> PrinterDriverRecord(const std::wstring& printer);

