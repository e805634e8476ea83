#pragma once
#include <windows.h>

#include <string>

// A real printer in the sandbox's spooler for the life of the object: a test driver (its
// files placed in spool\drivers\x64\3\, where Wine expects them) and a printer on "FILE:"
// with the print processor "WinPrint". The destructor deletes the printer, the driver's
// registration and the files it placed.
class ScopedTestPrinter {
public:
    ScopedTestPrinter(const std::wstring& printerName, const std::wstring& driverName);
    ~ScopedTestPrinter();
    ScopedTestPrinter(const ScopedTestPrinter&) = delete;
    ScopedTestPrinter& operator=(const ScopedTestPrinter&) = delete;

private:
    std::wstring m_printer;
    std::wstring m_driver;
    std::wstring m_driverFolder;
};

bool PrinterExists(const std::wstring& printerName);  // opens it; false when the open fails
