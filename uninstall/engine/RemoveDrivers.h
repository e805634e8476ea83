#pragma once
#include <windows.h>
#include <string>
#include <vector>
#include "shell/DriverListEntry.h"

// What a removal did with one of its rows.
struct RowOutcome {
    bool bPrinterRemoved = false;
    bool bDriverRemoved = false;
    // A driver the row carried that the fresh check of printers kept: the printer that uses it,
    // or may use it (bDriverUnknown: the listing names no driver for it).
    std::wstring strDriverKeptFor;
    bool bDriverUnknown = false;
};

struct RemovalReport {
    std::vector<RowOutcome> rows;  // one per row, in the rows' order
    bool bSpoolerTouched = false;  // the removal got as far as stopping the spooler
};

// The removal of the rows. `pReport`, when given, learns what was done, also after a failure.
BOOL RemoveDrivers(const std::vector<DriverListEntry>& list, RemovalReport* pReport = nullptr);
