#include "shell/CommandLine.h"

#include <shlobj.h>
#include <map>
#include <set>

#include "engine/RemoveDrivers.h"
#include "engine/ServiceControl.h"
#include "log/Log.h"
#include "shell/DriverList.h"
#include "shell/RemovalLock.h"

namespace {

bool SameText(const std::wstring& a, const std::wstring& b)
{
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

// The switch an argument names ("quiet" for "/QUIET" or "-quiet"), or empty when it is none.
std::wstring SwitchName(const std::wstring& arg)
{
    if (arg.size() < 2 || (arg[0] != L'/' && arg[0] != L'-'))
        return std::wstring();
    return arg.substr(1);
}

bool IsSwitch(const std::wstring& arg, const wchar_t* pName)
{
    return SameText(SwitchName(arg), pName);
}

bool IsKnownSwitch(const std::wstring& arg)
{
    for (const wchar_t* pName : {L"quiet", L"whatif", L"list", L"printer", L"driver", L"?"})
        if (IsSwitch(arg, pName))
            return true;
    return false;
}

// ---- output ----
// A windowed program has no console of its own. Output goes to the standard output the
// starting process handed over: written with WriteConsoleW when that is a console, as UTF-8
// without a byte-order mark when it is a pipe or a file (the ANSI or OEM code page would lose
// every name outside it; a mark would end up inside the first line a reader takes in).
// Without one, to the console of the starting process (cmd, PowerShell) when it has one;
// otherwise (a management tool's service) nowhere.
HANDLE g_hOutput = nullptr;
bool g_bOutputIsConsole = false;
bool g_bOwnOutputHandle = false;

void OpenOutput()
{
    HANDLE hOut = GetStdHandle(STD_OUTPUT_HANDLE);
    if (hOut && hOut != INVALID_HANDLE_VALUE) {
        DWORD dwType = GetFileType(hOut);
        DWORD dwMode = 0;
        if (dwType == FILE_TYPE_CHAR && GetConsoleMode(hOut, &dwMode)) {
            g_hOutput = hOut;
            g_bOutputIsConsole = true;
            return;
        }
        if (dwType != FILE_TYPE_UNKNOWN) {
            g_hOutput = hOut;
            return;
        }
    }
    if (!AttachConsole(ATTACH_PARENT_PROCESS))
        return;
    hOut = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
    if (hOut == INVALID_HANDLE_VALUE)
        return;
    g_hOutput = hOut;
    g_bOutputIsConsole = true;
    g_bOwnOutputHandle = true;
}

void CloseOutput()
{
    if (g_bOwnOutputHandle)
        CloseHandle(g_hOutput);
    g_hOutput = nullptr;
    g_bOutputIsConsole = g_bOwnOutputHandle = false;
}

void WriteLine(const std::wstring& text)
{
    if (!g_hOutput)
        return;
    const std::wstring strLine = text + L"\r\n";
    DWORD dwDone = 0;
    if (g_bOutputIsConsole) {
        WriteConsoleW(g_hOutput, strLine.c_str(), static_cast<DWORD>(strLine.size()), &dwDone, nullptr);
        return;
    }
    const int cbUtf8 = WideCharToMultiByte(CP_UTF8, 0, strLine.c_str(), static_cast<int>(strLine.size()), nullptr, 0,
                                           nullptr, nullptr);
    if (cbUtf8 <= 0)
        return;
    std::string strBytes(static_cast<size_t>(cbUtf8), '\0');
    WideCharToMultiByte(CP_UTF8, 0, strLine.c_str(), static_cast<int>(strLine.size()), &strBytes[0], cbUtf8, nullptr,
                        nullptr);
    WriteFile(g_hOutput, strBytes.data(), static_cast<DWORD>(strBytes.size()), &dwDone, nullptr);
}

const wchar_t kUsage[] =
    L"Usage:\r\n"
    L"  Uninstall.exe                 the dialog\r\n"
    L"  Uninstall.exe /list           lists the printers and drivers the dialog shows\r\n"
    L"  Uninstall.exe /quiet /printer \"NAME\" [/printer \"NAME\"...] [/driver \"NAME\"...]\r\n"
    L"                                removes them with no window\r\n"
    L"  Uninstall.exe /whatif /printer \"NAME\"... [/driver \"NAME\"...]\r\n"
    L"                                prints what that removal would do, and does nothing\r\n"
    L"  Uninstall.exe /?              this text (alone)\r\n"
    L"Switches begin with / or -, in any case; names are matched whole, in any case.\r\n"
    L"Exit codes: 0 removed, 3010 removed and a restart is needed, 1603 failed (see the log),\r\n"
    L"1605 a name matched nothing, 1618 another removal is running (try again later),\r\n"
    L"87 the command line was not understood.";

// Where the records of this run went: the operation log in the Documents folder of the
// account (for SYSTEM, the system profile's, below System32\config). This 32-bit program on
// 64-bit Windows reaches System32 redirected to SysWOW64, so that is where the file lies for
// everyone else; the path is shown as they find it.
std::wstring LogFileShown()
{
    wchar_t szDocuments[MAX_PATH] = {};
    if (!SHGetSpecialFolderPathW(nullptr, szDocuments, CSIDL_PERSONAL, FALSE) || !szDocuments[0])
        return L"(no Documents folder: no log)";
    std::wstring strPath =
        std::wstring(szDocuments) + L"\\塔维打印机\\Log(" + std::to_wstring(g_nLogFileIndex) + L").txt";
    BOOL bWow64 = FALSE;
    wchar_t szSystem[MAX_PATH] = {}, szWow64[MAX_PATH] = {};
    const UINT nSystem = GetSystemDirectoryW(szSystem, MAX_PATH);
    if (IsWow64Process(GetCurrentProcess(), &bWow64) && bWow64 && nSystem && nSystem < MAX_PATH &&
        GetSystemWow64DirectoryW(szWow64, MAX_PATH) && strPath.size() > nSystem && strPath[nSystem] == L'\\' &&
        CompareStringOrdinal(strPath.c_str(), static_cast<int>(nSystem), szSystem, static_cast<int>(nSystem), TRUE) ==
            CSTR_EQUAL)
        strPath = szWow64 + strPath.substr(nSystem);
    return strPath;
}

// What the run says when the spooler did not answer: which call, with what error. A spooler
// that cannot be asked is never read as one without printers ("a name matched nothing", "no
// printers"): the run fails.
void SayListingFailed(const ListingFailure& failure)
{
    WriteLine(L"The print spooler did not answer: " + failure.strCall + L" failed with error " +
              std::to_wstring(failure.dwError) + L". Log: " + LogFileShown());
}

int ListRows()
{
    FindSpoolerEnvironment();
    ListingFailure failure;
    if (!FillDriverList(&failure)) {
        SayListingFailed(failure);
        return kExitFailed;
    }
    for (const DriverListEntry& entry : g_driverList) {
        if (entry.bIsPrinter)
            WriteLine(L"printer\t" + entry.strPrinterName);
        else
            WriteLine(L"driver\t" + entry.strDriverName + L"\t" +
                      (entry.pDriverInfo && entry.pDriverInfo->pEnvironment ? entry.pDriverInfo->pEnvironment : L""));
    }
    return kExitRemoved;
}

// A failed removal may have left the spooler stopped, and the services that depend on it. The
// dialog leaves it so and asks the user to restart; no one watches an unattended run, and the
// PC would stay unable to print until someone came: so it starts the spooler again, and the
// dependents its stop stopped, before it ends. A removal refused before its first spooler step
// leaves the spooler as it found it.
void RestartSpoolerAfterFailure(const RemovalReport& report)
{
    if (!report.bSpoolerTouched)
        return;
    if (StartServiceByName(L"Spooler")) {
        WriteLog(L"卸载失败，已重新开启打印服务", FALSE);
        WriteLine(L"The print spooler runs again.");
    } else {
        WriteLog(L"开启服务失败", FALSE);
        WriteLine(L"The print spooler could not be started again.");
    }
}

// Whether the removal kept a driver that was named with /driver (the fresh check of printers
// found a printer that uses it): that is no success.
bool NamedDriverKept(const NamedSelection& selection, const RemovalReport& report)
{
    for (size_t i = 0; i < selection.rows.size(); ++i)
        for (const std::wstring& strDriver : selection.namedDrivers)
            if (!report.rows[i].strDriverKeptFor.empty() && SameText(strDriver, selection.rows[i].strDriverName))
                return true;
    return false;
}

// ---- the plan (/whatif) ----
// A table a script can read in any language of Windows: a header, then one line per item,
// TAB between the fields item, target, decision, rule and because. The rules are English
// tokens that never change (docs/managed-pcs.md lists them).
void WritePlanLine(const PlanItem& line)
{
    WriteLine(std::wstring(line.pItem) + L"\t" + line.strTarget + L"\t" +
              (line.decision.bRemove ? L"remove" : L"keep") + L"\t" + line.decision.pRule + L"\t" +
              line.decision.strBecause);
}

// The printer and driver lines of the named rows, from what the removal would do with each:
// a driver line says where the driver goes (its environment and version as the reason) or
// which printer keeps it. A row whose driver another named row takes says nothing of it.
void WriteNamedRows(const NamedSelection& selection, const RemovalReport& report)
{
    RemovalPlan lines;
    for (size_t i = 0; i < selection.rows.size(); ++i) {
        const DriverListEntry& row = selection.rows[i];
        const RowOutcome& outcome = report.rows[i];
        if (outcome.bPrinterRemoved)
            AddToPlan(lines, L"printer", row.strPrinterName, {true, L"named", L""});
        Decision driver;
        if (outcome.bDriverRemoved && row.pDriverInfo) {
            bool bNamed = false;
            for (const std::wstring& strDriver : selection.namedDrivers)
                bNamed = bNamed || SameText(strDriver, row.strDriverName);
            driver = {true, bNamed ? L"named" : L"driver-of-named-printer",
                      std::wstring(row.pDriverInfo->pEnvironment ? row.pDriverInfo->pEnvironment : L"") +
                          L", version " + std::to_wstring(row.pDriverInfo->cVersion)};
        } else if (!outcome.strDriverKeptFor.empty()) {
            driver = {false, outcome.bDriverUnknown ? L"printer-driver-unknown" : L"used-by-printer",
                      L"printer \"" + outcome.strDriverKeptFor + L"\""};
        } else if (selection.driverCountedElsewhere[i]) {
            driver = {false, L"used-by-printer", selection.driverUsers[i]};
        } else if (row.bIsPrinter && !row.pDriverInfo && !row.strDriverName.empty()) {
            // Named by the listing, but not among this Windows' drivers: nothing to remove.
            bool bTakenByAnotherRow = false;
            for (size_t j = 0; j < selection.rows.size(); ++j)
                bTakenByAnotherRow = bTakenByAnotherRow || (selection.rows[j].pDriverInfo &&
                                                            selection.rows[j].strDriverName == row.strDriverName);
            if (bTakenByAnotherRow)
                continue;
            driver = {false, L"no-driver-record", L"printer \"" + row.strPrinterName + L"\""};
        } else {
            continue;
        }
        AddToPlan(lines, L"driver", row.strDriverName, driver);
    }
    for (const PlanItem& line : lines)
        WritePlanLine(line);
}

const wchar_t kPlanHeader[] = L"item\ttarget\tdecision\trule\tbecause";

// Takes the lock, lists, picks the named rows, then removes them or (bPlanOnly) prints what
// their removal would do, changing nothing.
int RemoveNamed(const ParsedCommandLine& command, bool bPlanOnly)
{
    FindSpoolerEnvironment();
    // The log goes to the account's Documents folder, which the system profile (SYSTEM, under
    // a management tool) may not have yet: it is made here, so that the log has a place. A plan
    // writes nothing but its output.
    wchar_t szDocuments[MAX_PATH] = {};
    if (!bPlanOnly)
        SHGetSpecialFolderPathW(nullptr, szDocuments, CSIDL_PERSONAL, TRUE);
    // The names are looked up under the lock: another removal cannot change the list between
    // the look-up and this one (nor, for a plan, while it reads).
    RemovalLock lock;
    RemovalLockResult result = AcquireRemovalLock(0, lock);
    if (result == kRemovalLockBusy) {
        WriteLine(L"Another removal is running on this PC; waiting for it (at most " +
                  std::to_wstring(kUnattendedLockWaitMs / 1000) + L" s).");
        result = AcquireRemovalLock(kUnattendedLockWaitMs, lock);
    }
    if (result == kRemovalLockBusy) {
        WriteLine(L"Another removal is still running: nothing was removed. Try again later.");
        return kExitAnotherRemoval;
    }
    if (result == kRemovalLockFailed) {
        WriteLine(L"The removal lock could not be taken: nothing was removed. Log: " + LogFileShown());
        return kExitFailed;
    }

    ListingFailure failure;
    const bool bListed = FillDriverList(&failure) != FALSE;
    const NamedSelection selection = SelectNamedRows(g_driverList, command.printers, command.drivers);
    int nExit = kExitRemoved;
    if (!bListed) {
        SayListingFailed(failure);
        WriteLine(L"Nothing was removed.");
        nExit = kExitFailed;
    } else if (selection.result == kSelectionUnknownName) {
        for (const std::wstring& strName : selection.unknownNames)
            WriteLine(L"Not found: " + strName);
        WriteLine(L"Nothing was removed.");
        nExit = kExitUnknownName;
    } else if (selection.result == kSelectionDriverInUse && bPlanOnly) {
        WriteLine(kPlanHeader);
        for (size_t i = 0; i < selection.driversInUse.size(); ++i)
            WritePlanLine(
                {L"driver", selection.driversInUse[i], {false, L"used-by-printer", selection.usersOfDriversInUse[i]}});
        nExit = kExitFailed;
    } else if (selection.result == kSelectionDriverInUse) {
        // The dialog's refusal of a driver row whose driver a printer still uses, with its record.
        for (size_t i = 0; i < selection.driversInUse.size(); ++i) {
            WriteLog(L"驱动仍被打印机使用，未卸载：" + selection.driversInUse[i], FALSE);
            WriteLine(L"Driver \"" + selection.driversInUse[i] + L"\" is still used by " +
                      selection.usersOfDriversInUse[i] + L" (not named).");
        }
        WriteLine(L"Nothing was removed. Log: " + LogFileShown());
        nExit = kExitFailed;
    } else if (bPlanOnly) {
        // The code the removal would end with, were every attempt to succeed.
        RemovalPlan plan;
        RemovalReport report;
        const BOOL bPlanned = PlanRemoval(selection.rows, plan, report);
        bool bDriverKept = false;
        for (const RowOutcome& outcome : report.rows)
            bDriverKept = bDriverKept || !outcome.strDriverKeptFor.empty();
        if (!bPlanned && !bDriverKept) {
            WriteLine(L"The print spooler did not answer: no plan was made. Log: " + LogFileShown());
        } else {
            WriteLine(kPlanHeader);
            WriteNamedRows(selection, report);
            for (const PlanItem& line : plan)
                WritePlanLine(line);
        }
        nExit = bPlanned && !NamedDriverKept(selection, report) ? kExitRemoved : kExitFailed;
    } else {
        // What went is told from what the removal did, after it, row by row. A named driver
        // that the fresh check of printers kept is not removed: that is no success.
        RemovalReport report;
        const BOOL bRemoved = RemoveDrivers(selection.rows, &report);
        for (size_t i = 0; i < selection.rows.size(); ++i)
            WriteLine(DescribeRemovedRow(selection.rows[i], report.rows[i], selection.driverCountedElsewhere[i]));
        const bool bNamedDriverKept = NamedDriverKept(selection, report);
        if (!bRemoved) {
            WriteLine(L"The removal failed; parts of it may be done. Log: " + LogFileShown());
            RestartSpoolerAfterFailure(report);
        } else if (bNamedDriverKept) {
            WriteLine(L"A named driver is still used and was not removed. Log: " + LogFileShown());
        } else if (report.bRestartNeeded) {
            WriteLine(L"Windows asks for a restart to finish the removal. Log: " + LogFileShown());
        }
        nExit = !bRemoved || bNamedDriverKept ? kExitFailed : report.bRestartNeeded ? kExitRestartNeeded : kExitRemoved;
    }
    ReleaseRemovalLock(lock);
    return nExit;
}

}  // namespace

ParsedCommandLine ParseCommandLine(const std::vector<std::wstring>& args)
{
    ParsedCommandLine command;
    bool bQuiet = false, bWhatIf = false, bList = false, bHelp = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::wstring& arg = args[i];
        if (IsSwitch(arg, L"quiet")) {
            bQuiet = true;
        } else if (IsSwitch(arg, L"whatif")) {
            bWhatIf = true;
        } else if (IsSwitch(arg, L"list")) {
            bList = true;
        } else if (IsSwitch(arg, L"?")) {
            bHelp = true;
        } else if (IsSwitch(arg, L"printer") || IsSwitch(arg, L"driver")) {
            // The next argument is the name, whatever it looks like, unless it is missing,
            // empty or one of the switches (the name was left out).
            if (i + 1 >= args.size() || args[i + 1].empty() || IsKnownSwitch(args[i + 1])) {
                command.strError = arg + L" needs a name.";
                return command;
            }
            (IsSwitch(arg, L"printer") ? command.printers : command.drivers).push_back(args[++i]);
        } else {
            command.strError = L"Not understood: " + arg;
            return command;
        }
    }
    const bool bNames = !command.printers.empty() || !command.drivers.empty();
    // A run that asks for the usage beside a removal must not read as a success for nothing done.
    if (bHelp && args.size() > 1)
        command.strError = L"/? takes no other argument.";
    else if (bHelp)
        command.kind = kCommandUsage;
    else if (bList && (bQuiet || bWhatIf || bNames))
        command.strError = L"/list takes no other switch.";
    else if (bList)
        command.kind = kCommandList;
    else if (bQuiet && bWhatIf)
        command.strError = L"/quiet and /whatif do not go together.";
    else if (bNames && !bQuiet && !bWhatIf)
        command.strError = L"/printer and /driver remove only with /quiet.";
    else if (!bNames)
        command.strError = std::wstring(bWhatIf ? L"/whatif" : L"/quiet") + L" needs at least one /printer or /driver.";
    else
        command.kind = bWhatIf ? kCommandPlan : kCommandRemove;
    return command;
}

NamedSelection SelectNamedRows(const std::vector<DriverListEntry>& model, const std::vector<std::wstring>& printers,
                               const std::vector<std::wstring>& drivers)
{
    NamedSelection selection;
    std::vector<bool> named(model.size(), false);
    std::set<std::wstring> namedDrivers;  // as the model spells them
    for (const std::wstring& strName : printers) {
        bool bFound = false;
        for (size_t i = 0; i < model.size(); ++i)
            if (model[i].bIsPrinter && SameText(model[i].strPrinterName, strName))
                named[i] = bFound = true;
        if (!bFound)
            selection.unknownNames.push_back(L"printer \"" + strName + L"\"");
    }
    // A driver is known by its own row, or, where a printer bears its name and hides that row,
    // by the printer rows that count it.
    for (const std::wstring& strName : drivers) {
        bool bFound = false;
        for (size_t i = 0; i < model.size(); ++i) {
            const DriverListEntry& entry = model[i];
            if (entry.strDriverName.empty() || !SameText(entry.strDriverName, strName))
                continue;
            if (!entry.bIsPrinter && entry.pDriverInfo)
                named[i] = true;
            if (!entry.bIsPrinter || entry.pDriverInfo) {
                namedDrivers.insert(entry.strDriverName);
                bFound = true;
            }
        }
        if (!bFound)
            selection.unknownNames.push_back(L"driver \"" + strName + L"\"");
    }
    if (!selection.unknownNames.empty()) {
        selection.result = kSelectionUnknownName;
        return selection;
    }

    // Per driver: does every row that counts it go? (As a press on one row asks whether its
    // use count is 1.)
    std::map<std::wstring, bool> driverGoes;
    for (size_t i = 0; i < model.size(); ++i) {
        const std::wstring& strKey = model[i].strDriverName;
        if (strKey.empty())
            continue;
        const bool bCovered = model[i].bIsPrinter ? named[i] : namedDrivers.count(strKey) > 0;
        auto it = driverGoes.find(strKey);
        if (it == driverGoes.end())
            driverGoes[strKey] = bCovered;
        else
            it->second = it->second && bCovered;
    }
    // The printers not named that count a driver.
    auto UnnamedUsers = [&](const std::wstring& strDriver) {
        std::wstring strUsers;
        for (size_t i = 0; i < model.size(); ++i)
            if (model[i].bIsPrinter && !named[i] && model[i].strDriverName == strDriver)
                strUsers += (strUsers.empty() ? L"printer \"" : L", printer \"") + model[i].strPrinterName + L"\"";
        return strUsers;
    };
    for (const std::wstring& strDriver : namedDrivers) {
        if (driverGoes[strDriver])
            continue;
        selection.driversInUse.push_back(strDriver);
        selection.usersOfDriversInUse.push_back(UnnamedUsers(strDriver));
    }
    if (!selection.driversInUse.empty()) {
        selection.result = kSelectionDriverInUse;
        return selection;
    }

    std::set<std::wstring> driversTaken;
    for (size_t i = 0; i < model.size(); ++i) {
        if (!named[i])
            continue;
        DriverListEntry entry = model[i];
        const std::wstring& strKey = entry.strDriverName;
        const bool bGoes = !strKey.empty() && driverGoes[strKey];
        if (!entry.pDriverInfo || !bGoes || !driversTaken.insert(strKey).second)
            entry.pDriverInfo = nullptr;  // another row takes it, or it stays
        selection.driverCountedElsewhere.push_back(!strKey.empty() && !bGoes);
        selection.driverUsers.push_back(!strKey.empty() && !bGoes ? UnnamedUsers(strKey) : std::wstring());
        selection.rows.push_back(entry);
    }
    selection.namedDrivers.assign(namedDrivers.begin(), namedDrivers.end());
    return selection;
}

std::wstring DescribeRemovedRow(const DriverListEntry& row, const RowOutcome& outcome, bool bCountedElsewhere)
{
    const std::wstring strDriver = L"\"" + row.strDriverName + L"\"";
    std::wstring strWhyKept;
    if (!outcome.strDriverKeptFor.empty())
        strWhyKept =
            L"printer \"" + outcome.strDriverKeptFor + (outcome.bDriverUnknown ? L"\" may use it." : L"\" uses it.");
    else if (bCountedElsewhere)
        strWhyKept = L"another row of the list counts it.";
    if (!row.bIsPrinter) {
        if (outcome.bDriverRemoved)
            return L"Removed driver " + strDriver + L".";
        return strWhyKept.empty() ? L"Not removed: driver " + strDriver + L"."
                                  : L"Driver " + strDriver + L" stays: " + strWhyKept;
    }
    const std::wstring strPrinter = L"printer \"" + row.strPrinterName + L"\"";
    if (!outcome.bPrinterRemoved)
        return L"Not removed: " + strPrinter + L".";
    if (outcome.bDriverRemoved)
        return L"Removed " + strPrinter + L" and its driver " + strDriver + L".";
    if (!strWhyKept.empty())
        return L"Removed " + strPrinter + L"; its driver " + strDriver + L" stays: " + strWhyKept;
    if (row.pDriverInfo)
        return L"Removed " + strPrinter + L"; its driver " + strDriver + L" was not removed.";
    return L"Removed " + strPrinter + L".";
}

bool SessionShowsWindows()
{
    USEROBJECTFLAGS flags = {};
    DWORD cbNeeded = 0;
    if (!GetUserObjectInformationW(GetProcessWindowStation(), UOI_FLAGS, &flags, sizeof(flags), &cbNeeded))
        return true;  // not known: the dialog, as always
    return (flags.dwFlags & WSF_VISIBLE) != 0;
}

int RunCommandLine(const std::vector<std::wstring>& args)
{
    OpenOutput();
    const ParsedCommandLine command = ParseCommandLine(args);
    int nExit = kExitRemoved;
    switch (command.kind) {
    case kCommandUsage:
        WriteLine(kUsage);
        break;
    case kCommandList:
        nExit = ListRows();
        break;
    case kCommandRemove:
    case kCommandPlan:
        nExit = RemoveNamed(command, command.kind == kCommandPlan);
        break;
    case kCommandInvalid:
        WriteLine(command.strError);
        WriteLine(kUsage);
        nExit = kExitBadCommandLine;
        break;
    }
    CloseOutput();
    return nExit;
}
