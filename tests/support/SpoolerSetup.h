#pragma once
// Printers and drivers set up through the real spooler for a test, and what it enumerates.
#include <windows.h>
#include <string>
#include <vector>

// What the spooler lists, in its own order.
std::vector<std::wstring> SpoolerPrinterNames();  // EnumPrintersW, local and connections, level 2
std::vector<std::wstring> SpoolerDriverNames();   // EnumPrinterDriversW, level 6
// The driver a printer uses as the spooler reports it (GetPrinterDriverW level 6); empty when unreadable.
std::wstring PrinterDriverName(const std::wstring& printerName);

// Adds drivers and printers, and removes what it added when it is destroyed (printers first).
// Drivers are registered at level 3 for the local environment, with small files of their own
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
