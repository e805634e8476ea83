#pragma once
#include <windows.h>
#include <string>

BOOL RemovePrinter(const std::wstring& printerName);

#include <vector>

// One printer as the spooler lists it: its name and the name of its driver, empty when the
// driver is unknown (the printer may use any driver).
struct PrinterAndDriver {
    std::wstring strPrinterName;
    std::wstring strDriverName;
    // A connection to a queue of a print server, or a printer the listing of local printers did
    // not show, which may be one: its driver was asked of it for a moment only, and stays empty
    // when it did not tell. Opening it may ask a server again, and wait.
    bool bConnection = false;
};

// Every printer and connection with its driver, without waiting on a print server: the names
// come from the spooler's level-4 listing and a local printer's driver from its level-2 listing
// of local printers, both answered from this PC's own records; each connection's driver is asked
// of its server on a thread of its own, and a server that has not answered within about a second
// leaves that driver unknown. FALSE, with the error left for the caller, when the printers cannot
// be listed.
BOOL ListPrinterDrivers(std::vector<PrinterAndDriver>& printers);
