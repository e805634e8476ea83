#pragma once
#include <windows.h>
#include <string>

BOOL RemovePrinter(const std::wstring& printerName);

#include <vector>

// One printer as the spooler lists it: its name and the name of its driver, empty when the
// listing gives none.
struct PrinterAndDriver {
    std::wstring strPrinterName;
    std::wstring strDriverName;
};

// Every printer and connection with its driver, from the spooler's own level-2 listing: it
// answers from this PC's records, without opening a printer, so it asks no print server (a
// connection's open does, and needs rights there). FALSE, with the error left for the caller,
// when the printers cannot be listed.
BOOL ListPrinterDrivers(std::vector<PrinterAndDriver>& printers);
