#pragma once
#include <windows.h>
#include <string>
#include <vector>
#include "engine/RemoveDrivers.h"
#include "shell/DriverListEntry.h"

// Exit codes of a run from the command line: those of Windows Installer, which management
// tools (Intune, Configuration Manager) map by default. The dialog always ends with 0.
const int kExitRemoved = 0;
const int kExitBadCommandLine = ERROR_INVALID_PARAMETER;        // 87
const int kExitFailed = ERROR_INSTALL_FAILURE;                  // 1603
const int kExitUnknownName = ERROR_UNKNOWN_PRODUCT;             // 1605
const int kExitAnotherRemoval = ERROR_INSTALL_ALREADY_RUNNING;  // 1618
const int kExitRestartNeeded = ERROR_SUCCESS_REBOOT_REQUIRED;   // 3010: removed, a restart finishes it

// How long an unattended removal waits for one already running before it ends with 1618.
const DWORD kUnattendedLockWaitMs = 60000;

enum CommandKind { kCommandUsage, kCommandList, kCommandRemove, kCommandPlan, kCommandInvalid };

struct ParsedCommandLine {
    CommandKind kind = kCommandInvalid;
    std::vector<std::wstring> printers;  // the names given with /printer, in order
    std::vector<std::wstring> drivers;   // the names given with /driver
    std::wstring strError;               // for kCommandInvalid: what could not be read
};

// The arguments after the program's name. Switches begin with '/' or '-', in any case.
ParsedCommandLine ParseCommandLine(const std::vector<std::wstring>& args);

enum SelectionResult { kSelectionReady, kSelectionUnknownName, kSelectionDriverInUse };

struct NamedSelection {
    SelectionResult result = kSelectionReady;
    std::vector<DriverListEntry> rows;  // for RemoveDrivers, in the model's order
    // Per row: its driver stays because a row that is not named counts it too, and the unnamed
    // printers that count it ("printer \"P\", ...").
    std::vector<bool> driverCountedElsewhere;
    std::vector<std::wstring> driverUsers;
    std::vector<std::wstring> namedDrivers;         // the /driver names, as the model spells them
    std::vector<std::wstring> unknownNames;         // "printer NAME" / "driver NAME" that matched nothing
    std::vector<std::wstring> driversInUse;         // named drivers that an unnamed printer still uses
    std::vector<std::wstring> usersOfDriversInUse;  // those printers, one line per driver
};

// The rows of the driver model that the names pick, whole names compared without regard to
// case. A driver goes only when every row that counts it is named (a driver row through its
// /driver name): with the first named row that carries its record, once.
NamedSelection SelectNamedRows(const std::vector<DriverListEntry>& model, const std::vector<std::wstring>& printers,
                               const std::vector<std::wstring>& drivers);

// The line an unattended run prints for one of its rows, from what the removal did with it.
std::wstring DescribeRemovedRow(const DriverListEntry& row, const RowOutcome& outcome, bool bCountedElsewhere);

// Whether the program's window station is visible. Not in session 0, where services run (a
// management tool's SYSTEM): a dialog there waits, unseen, for a press that never comes.
bool SessionShowsWindows();

// The program's work when it was given arguments; returns its exit code.
int RunCommandLine(const std::vector<std::wstring>& args);
