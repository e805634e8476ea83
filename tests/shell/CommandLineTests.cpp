// The command line of unattended runs: what it accepts, which rows the names pick, and the
// machine-wide lock that keeps removals one at a time.
#include <gtest/gtest.h>
#include <windows.h>

#include "TestSupport.h"
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
        {L"/quiet", L"/printer", L"/driver", L"D"}, {L"/quiet", L"/printers", L"P"}, {L"/list", L"/quiet"}, {L"P"}};
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
        EXPECT_EQ(selection.rows.size(), selection.report.size());
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

struct LockTry {
    DWORD dwTimeoutMs;
    bool bRelease;
    RemovalLockResult result;
    HANDLE hLock;
};

// Tries the lock on a thread of its own; unless told to release it, the thread ends holding
// it, and the mutex is abandoned (its handle stays open for the test to close).
DWORD WINAPI TryLock(LPVOID pParameter)
{
    auto* pTry = static_cast<LockTry*>(pParameter);
    pTry->result = AcquireRemovalLock(pTry->dwTimeoutMs, &pTry->hLock);
    if (pTry->bRelease)
        ReleaseRemovalLock(pTry->hLock);
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

TEST(RemovalLock, HeldElsewhereItIsBusyAndAbandonedItCountsAsAcquired)
{
    EXPECT_EQ(0, wcsncmp(kRemovalLockName, L"Global\\", 7)) << "one lock for every session";
    LockTry abandoning = {0, false, kRemovalLockFailed, nullptr};
    ASSERT_TRUE(RunThread(abandoning));
    ASSERT_EQ(kRemovalLockAcquired, abandoning.result);
    HANDLE hLock = nullptr;
    EXPECT_EQ(kRemovalLockAcquired, AcquireRemovalLock(1000, &hLock)) << "its holder ended without releasing it";
    CloseHandle(abandoning.hLock);
    ASSERT_TRUE(hLock);

    LockTry waiting = {500, true, kRemovalLockAcquired, nullptr};
    const ULONGLONG start = GetTickCount64();
    ASSERT_TRUE(RunThread(waiting));
    EXPECT_EQ(kRemovalLockBusy, waiting.result) << "held by this thread";
    EXPECT_GE(GetTickCount64() - start, 450u);
    EXPECT_EQ(nullptr, waiting.hLock);
    ReleaseRemovalLock(hLock);
}

}  // namespace
