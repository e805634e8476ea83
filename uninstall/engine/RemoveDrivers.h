#pragma once
#include <windows.h>
#include <string>
#include <vector>
#include "cleanup/RemovalPlan.h"
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
    bool bRestartNeeded = false;   // a step succeeded but asked for a restart (pnputil's 3010)
};

// The removal of the rows. `pReport`, when given, learns what was done, also after a failure.
BOOL RemoveDrivers(const std::vector<DriverListEntry>& list, RemovalReport* pReport = nullptr);

// What the removal of the rows would do, decided by the removal's own functions, changing
// nothing: no service is controlled, no program started, no privilege enabled, nothing deleted.
// `report` learns what the removal would do with each row were every attempt to succeed, `plan`
// every file, OEM INF, package and device node its clean-ups would look at. FALSE where the
// removal would fail or not start: the spooler did not answer, or a driver row's driver is
// still used (its outcome names the printer).
BOOL PlanRemoval(const std::vector<DriverListEntry>& rows, RemovalPlan& plan, RemovalReport& report);
