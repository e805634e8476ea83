// The command line of unattended runs: what it accepts, which rows the names pick, and the
// machine-wide lock that keeps removals one at a time.
#include <gtest/gtest.h>
#include <windows.h>

#include "ImportPatch.h"
#include "TestSupport.h"
#include "WindowsStandIns.h"
#include "shell/CommandLine.h"
#include "shell/RemovalLock.h"

namespace {

TEST(CommandLine, ReadsSwitchesInAnyCaseAndRefusesWhatItCannotRead)
{
    ParsedCommandLine command = ParseCommandLine({L"-QUIET", L"/Printer", L"-塔维", L"/DRIVER", L"D"});
    ASSERT_EQ(kCommandRemove, command.kind) << Ansi(command.strError);
    EXPECT_EQ(std::vector<std::wstring>{L"-塔维"}, command.printers) << "the argument after /printer is its name";
    EXPECT_EQ(std::vector<std::wstring>{L"D"}, command.drivers);
    EXPECT_EQ(kCommandList, ParseCommandLine({L"/LIST"}).kind);
    EXPECT_EQ(kCommandUsage, ParseCommandLine({L"-?"}).kind);
    const std::vector<std::vector<std::wstring>> refused = {
        {L"/printer", L"P"}, {L"/quiet"}, {L"/quiet", L"/printer"}, {L"/quiet", L"/printer", L""},
        {L"/quiet", L"/printer", L"/driver", L"D"}, {L"/quiet", L"/printers", L"P"}, {L"/list", L"/quiet"}, {L"P"},
        {L"/quiet", L"/printer", L"P", L"/?"}, {L"/?", L"/list"}};  // the usage beside anything is no success
    for (const auto& args : refused)
        EXPECT_EQ(kCommandInvalid, ParseCommandLine(args).kind) << Ansi(args.back()) << ", " << args.size() << " arguments";
}

// A model as the list builds it: "Laser" hides its driver's row, two printers share a driver
// that has its own row, an unused driver, a printer whose driver could not be read.
class NamedRows : public ::testing::Test {
protected:
    void SetUp() override
    {
        const struct { const wchar_t* pPrinter; DRIVER_INFO_6W* pInfo; const wchar_t* pDriver; } rows[] = {
            {L"Laser", &m_records[0], L"Laser"}, {L"Front", &m_records[1], L"Shared"},
            {L"Back", &m_records[2], L"Shared"}, {nullptr, &m_records[3], L"Shared"},
            {nullptr, &m_records[4], L"Fax"},    {L"Broken", nullptr, L""}};
        for (const auto& row : rows) {
            DriverListEntry entry;
            entry.strPrinterName = row.pPrinter ? row.pPrinter : L"";
            entry.bIsPrinter = row.pPrinter ? 1 : 0;
            entry.pDriverInfo = row.pInfo;
            entry.strDriverName = row.pDriver;
            m_model.push_back(entry);
        }
    }
    // The rows picked, as "printer|row of the record carried" (-1 for none).
    std::vector<std::string> Picked(const std::vector<std::wstring>& printers, const std::vector<std::wstring>& drivers)
    {
        NamedSelection selection = SelectNamedRows(m_model, printers, drivers);
        std::vector<std::string> picked;
        for (const DriverListEntry& entry : selection.rows)
            picked.push_back(Ansi(entry.strPrinterName) + "|" +
                             std::to_string(entry.pDriverInfo ? entry.pDriverInfo - m_records : -1));
        EXPECT_EQ(selection.rows.size(), selection.driverCountedElsewhere.size());
        return picked;
    }
    DRIVER_INFO_6W m_records[5] = {};
    std::vector<DriverListEntry> m_model;
};

TEST_F(NamedRows, ADriverGoesOnceAndOnlyWhenEveryRowCountingItIsNamed)
{
    EXPECT_EQ(std::vector<std::string>{"Laser|0"}, Picked({L"LASER"}, {})) << "use count 1: its driver goes too";
    EXPECT_EQ(std::vector<std::string>{"Front|-1"}, Picked({L"front"}, {})) << "Back and a driver row still count it";
    EXPECT_EQ(std::vector<std::string>{"Broken|-1"}, Picked({L"Broken"}, {}));
    EXPECT_EQ(std::vector<std::string>{"|4"}, Picked({}, {L"fax"}));
    EXPECT_EQ((std::vector<std::string>{"Front|1", "Back|-1", "|-1"}), Picked({L"Back", L"Front", L"Front"}, {L"shared"}));
    EXPECT_EQ(std::vector<std::string>{"Laser|0"}, Picked({L"Laser"}, {L"Laser"}));
}

TEST_F(NamedRows, ADriverInUseOrAnUnknownNamePicksNothing)
{
    NamedSelection shared = SelectNamedRows(m_model, {L"Front"}, {L"Shared"});
    EXPECT_EQ(kSelectionDriverInUse, shared.result);
    EXPECT_EQ(std::vector<std::wstring>{L"Shared"}, shared.driversInUse);
    EXPECT_EQ(std::vector<std::wstring>{L"printer \"Back\""}, shared.usersOfDriversInUse);
    EXPECT_TRUE(shared.rows.empty());
    EXPECT_EQ(kSelectionDriverInUse, SelectNamedRows(m_model, {}, {L"laser"}).result) << "hidden row, used by its printer";

    NamedSelection unknown = SelectNamedRows(m_model, {L"Laser", L"Lase", L"Fax"}, {L"Fax", L"Shared 2"});
    EXPECT_EQ(kSelectionUnknownName, unknown.result);
    EXPECT_EQ((std::vector<std::wstring>{L"printer \"Lase\"", L"printer \"Fax\"", L"driver \"Shared 2\""}),
              unknown.unknownNames);
    EXPECT_TRUE(unknown.rows.empty());
}

// What an unattended run prints for a row, from what the removal did with it.
TEST(CommandLine, EachRowIsDescribedByWhatTheRemovalDid)
{
    DriverListEntry printer;
    printer.bIsPrinter = 1;
    printer.strPrinterName = L"P";
    printer.strDriverName = L"D";
    DRIVER_INFO_6W record = {};
    printer.pDriverInfo = &record;
    RowOutcome outcome;
    outcome.bPrinterRemoved = outcome.bDriverRemoved = true;
    EXPECT_EQ(L"Removed printer \"P\" and its driver \"D\".", DescribeRemovedRow(printer, outcome, false));
    outcome.bDriverRemoved = false;
    outcome.strDriverKeptFor = L"X";
    outcome.bDriverUnknown = true;
    EXPECT_EQ(L"Removed printer \"P\"; its driver \"D\" stays: printer \"X\" may use it.",
              DescribeRemovedRow(printer, outcome, false))
        << "the fresh check of printers kept it";
    outcome = RowOutcome();
    EXPECT_EQ(L"Not removed: printer \"P\".", DescribeRemovedRow(printer, outcome, false)) << "a removal that failed";
    DriverListEntry driver;
    driver.strDriverName = L"D";
    outcome.strDriverKeptFor = L"X";
    EXPECT_EQ(L"Driver \"D\" stays: printer \"X\" uses it.", DescribeRemovedRow(driver, outcome, false));
}

// Whether the session shows windows: a service's (session 0) does not, and there the program
// opens no dialog.
BOOL WINAPI InvisibleStation(HANDLE, int nIndex, PVOID pInfo, DWORD cb, LPDWORD pcbNeeded)
{
    if (nIndex != UOI_FLAGS || cb < sizeof(USEROBJECTFLAGS))
        return FALSE;
    *static_cast<USEROBJECTFLAGS*>(pInfo) = {FALSE, FALSE, 0};  // no WSF_VISIBLE
    *pcbNeeded = sizeof(USEROBJECTFLAGS);
    return TRUE;
}

TEST(CommandLine, NoDialogWhereNoOneCanSeeIt)
{
    EXPECT_TRUE(SessionShowsWindows()) << "the sandbox's desktop is visible";
    ScopedImportPatch station("user32.dll", "GetUserObjectInformationW", reinterpret_cast<void*>(&InvisibleStation));
    EXPECT_FALSE(SessionShowsWindows());
}

struct LockTry {
    DWORD dwTimeoutMs;
    bool bRelease;
    RemovalLockResult result;
    RemovalLock lock;
};

// Tries the lock on a thread of its own; unless told to release it, the thread ends holding
// it, and the mutex is abandoned (its handles stay open for the test to close).
DWORD WINAPI TryLock(LPVOID pParameter)
{
    auto* pTry = static_cast<LockTry*>(pParameter);
    pTry->result = AcquireRemovalLock(pTry->dwTimeoutMs, pTry->lock);
    if (pTry->bRelease)
        ReleaseRemovalLock(pTry->lock);
    return 0;
}

bool RunThread(LockTry& lockTry)
{
    HANDLE hThread = CreateThread(nullptr, 0, TryLock, &lockTry, 0, nullptr);
    const bool bEnded = hThread && WaitForSingleObject(hThread, 10000) == WAIT_OBJECT_0;
    if (hThread)
        CloseHandle(hThread);
    return bEnded;
}

// Under Wine, which has no private namespaces, the lock is the mutex every session shares.
TEST(RemovalLock, HeldElsewhereItIsBusyAndAbandonedItCountsAsAcquired)
{
    LockTry abandoning = {0, false, kRemovalLockFailed, {}};
    ASSERT_TRUE(RunThread(abandoning));
    ASSERT_EQ(kRemovalLockAcquired, abandoning.result);
    EXPECT_FALSE(abandoning.lock.hNamespace) << "Wine 8 has no private namespaces";
    RemovalLock lock;
    EXPECT_EQ(kRemovalLockAcquired, AcquireRemovalLock(1000, lock)) << "its holder ended without releasing it";
    CloseHandle(abandoning.lock.hMutex);
    ASSERT_TRUE(lock.hMutex);

    LockTry waiting = {500, true, kRemovalLockAcquired, {}};
    const ULONGLONG start = GetTickCount64();
    EXPECT_TRUE(RunThread(waiting));
    EXPECT_EQ(kRemovalLockBusy, waiting.result) << "held by this thread";
    EXPECT_GE(GetTickCount64() - start, 450u);
    EXPECT_EQ(nullptr, waiting.lock.hMutex);
    ReleaseRemovalLock(lock);
}

// Windows without a boundary for the lock (never seen; Wine's ntdll hidden here) has no lock:
// the shared name, which anyone may take first, serves only under Wine.
void* g_pRealGetProcAddress = nullptr;
FARPROC WINAPI HidingWine(HMODULE hModule, LPCSTR pName)
{
    if (!IS_INTRESOURCE(pName) && std::string(pName) == "wine_get_version")
        return nullptr;
    return reinterpret_cast<decltype(&GetProcAddress)>(g_pRealGetProcAddress)(hModule, pName);
}

TEST(RemovalLock, OutsideWineABoundaryThatCannotBeMadeIsAFailure)
{
    ScopedImportPatch hide("kernel32.dll", "GetProcAddress", reinterpret_cast<void*>(&HidingWine));
    g_pRealGetProcAddress = hide.Original();
    ClearLogs();
    RemovalLock lock;
    EXPECT_EQ(kRemovalLockFailed, AcquireRemovalLock(0, lock));
    EXPECT_EQ(nullptr, lock.hMutex);
    EXPECT_EQ(std::vector<std::string>{ErrorRecordText(L"CreateBoundaryDescriptor", ERROR_SUCCESS)}, LogTexts());
    ReleaseRemovalLock(lock);
    ClearLogs();
}

// Where Windows has private namespaces (stood in), the lock lies in one that only a token with
// the Administrators SID can make or open: a standard user can neither take the lock first nor
// hold it by taking the name the lock had in the namespace all sessions share.
TEST(RemovalLock, LiesInANamespaceOnlyAdministratorsCanMake)
{
    ScopedImportPatch patches[] = {
        {"kernel32.dll", "CreateBoundaryDescriptorW", reinterpret_cast<void*>(&StandInCreateBoundaryDescriptorW)},
        {"kernel32.dll", "AddSIDToBoundaryDescriptor", reinterpret_cast<void*>(&StandInAddSIDToBoundaryDescriptor)},
        {"kernel32.dll", "DeleteBoundaryDescriptor", reinterpret_cast<void*>(&StandInDeleteBoundaryDescriptor)},
        {"kernel32.dll", "CreatePrivateNamespaceW", reinterpret_cast<void*>(&StandInCreatePrivateNamespaceW)},
        {"kernel32.dll", "OpenPrivateNamespaceW", reinterpret_cast<void*>(&StandInOpenPrivateNamespaceW)},
        {"kernel32.dll", "ClosePrivateNamespace", reinterpret_cast<void*>(&StandInClosePrivateNamespace)}};
    ClearStandInCalls();
    ClearLogs();
    HANDLE hSquatter = CreateMutexW(nullptr, TRUE, kRemovalLockFallbackName);
    RemovalLock lock;
    EXPECT_EQ(kRemovalLockAcquired, AcquireRemovalLock(0, lock)) << "the shared namespace's name does not count";
    const std::wstring boundary = L"Tavrel|TavrelPrinterDriverRemoval|S-1-5-32-544";
    EXPECT_EQ(std::vector<std::wstring>{L"CreatePrivateNamespaceW|" + boundary + L"|D:P(A;;GA;;;SY)(A;;GA;;;BA)"},
              StandInCalls());
    LockTry waiting = {300, true, kRemovalLockAcquired, {}};
    EXPECT_TRUE(RunThread(waiting));
    EXPECT_EQ(kRemovalLockBusy, waiting.result) << "the second removal opened the first one's namespace";
    EXPECT_EQ(L"OpenPrivateNamespaceW|" + boundary, StandInCalls().back());
    ReleaseRemovalLock(lock);
    CloseHandle(hSquatter);

    // A standard user's token: no lock, and an unattended run ends as failed (1603), not as
    // busy (1618), which a management tool would retry for ever.
    SetStandInOutsideBoundary(true);
    EXPECT_EQ(kRemovalLockFailed, AcquireRemovalLock(0, lock));
    ReleaseRemovalLock(lock);  // had it been got after all, the next test would wait for ever
    EXPECT_EQ(kExitFailed, RunCommandLine({L"/quiet", L"/printer", L"Tavrel None"}));
    SetStandInOutsideBoundary(false);
    EXPECT_EQ(std::vector<std::string>(2, ErrorRecordText(L"CreatePrivateNamespace", ERROR_ACCESS_DENIED)), LogTexts());
    ClearLogs();
}

}  // namespace
