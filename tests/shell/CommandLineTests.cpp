// The command line of unattended runs: what it accepts, which rows the names pick, and the
// machine-wide lock that keeps removals one at a time.
#include <gtest/gtest.h>
#include <windows.h>

#include "TestSupport.h"
#include "shell/CommandLine.h"
#include "shell/RemovalLock.h"

namespace {

TEST(CommandLine, SwitchesInAnyCaseWithSlashOrDashAndTheirNames)
{
    ParsedCommandLine command =
        ParseCommandLine({L"-QUIET", L"/Printer", L"塔维 激光", L"-printer", L"-dash name", L"/DRIVER", L"D"});
    ASSERT_EQ(kCommandRemove, command.kind) << Ansi(command.strError);
    EXPECT_EQ((std::vector<std::wstring>{L"塔维 激光", L"-dash name"}), command.printers);
    EXPECT_EQ(std::vector<std::wstring>{L"D"}, command.drivers);
    EXPECT_EQ(kCommandList, ParseCommandLine({L"/LIST"}).kind);
    EXPECT_EQ(kCommandUsage, ParseCommandLine({L"-?"}).kind);
}

TEST(CommandLine, WhatItCannotReadIsRefused)
{
    const std::vector<std::vector<std::wstring>> refused = {
        {L"/printer", L"P"},                         // removes only with /quiet
        {L"/quiet"},                                 // nothing named
        {L"/quiet", L"/printer"},                    // a switch without its name
        {L"/quiet", L"/printer", L""},               // an empty name
        {L"/quiet", L"/printer", L"/driver", L"D"},  // the name left out
        {L"/quiet", L"/printers", L"P"},             // an unknown switch
        {L"/list", L"/quiet", L"/printer", L"P"},    // /list with others
        {L"P"},                                      // no switch at all
    };
    for (const auto& args : refused) {
        ParsedCommandLine command = ParseCommandLine(args);
        EXPECT_EQ(kCommandInvalid, command.kind) << Ansi(args[0]) << " ... (" << args.size() << " arguments)";
        EXPECT_FALSE(command.strError.empty());
    }
}

// A model as the list builds it: "Laser" hides its driver's row, two printers share a driver
// that has its own row, an unused driver, a printer whose driver could not be read.
class NamedRows : public ::testing::Test {
protected:
    void SetUp() override
    {
        Add(L"Laser", 1, &m_laser, L"Laser");
        Add(L"Front", 1, &m_front, L"Shared");
        Add(L"Back", 1, &m_back, L"Shared");
        Add(L"", 0, &m_shared, L"Shared");
        Add(L"", 0, &m_fax, L"Fax");
        Add(L"Broken", 1, nullptr, L"");
    }
    void Add(const wchar_t* pPrinter, BYTE bIsPrinter, DRIVER_INFO_6W* pInfo, const wchar_t* pDriver)
    {
        DriverListEntry entry;
        entry.strPrinterName = pPrinter;
        entry.bIsPrinter = bIsPrinter;
        entry.pDriverInfo = pInfo;
        entry.strDriverName = pDriver;
        m_model.push_back(entry);
    }
    // The rows picked, as "printer name|driver record" ("-" for none).
    std::vector<std::string> Picked(const NamedSelection& selection)
    {
        std::vector<std::string> picked;
        for (const DriverListEntry& entry : selection.rows) {
            std::string record = "-";
            for (auto p : {std::make_pair(&m_laser, "laser"), std::make_pair(&m_front, "front"),
                           std::make_pair(&m_back, "back"), std::make_pair(&m_shared, "shared"),
                           std::make_pair(&m_fax, "fax")})
                if (entry.pDriverInfo == p.first)
                    record = p.second;
            picked.push_back(Ansi(entry.strPrinterName) + "|" + record);
        }
        return picked;
    }
    DRIVER_INFO_6W m_laser = {}, m_front = {}, m_back = {}, m_shared = {}, m_fax = {};
    std::vector<DriverListEntry> m_model;
};

TEST_F(NamedRows, APrinterTakesItsDriverOnlyWhenNothingUnnamedCountsIt)
{
    NamedSelection laser = SelectNamedRows(m_model, {L"LASER"}, {});
    ASSERT_EQ(kSelectionReady, laser.result);
    EXPECT_EQ(std::vector<std::string>{"Laser|laser"}, Picked(laser)) << "as a press on its row: use count 1";
    NamedSelection front = SelectNamedRows(m_model, {L"front"}, {});
    ASSERT_EQ(kSelectionReady, front.result);
    EXPECT_EQ(std::vector<std::string>{"Front|-"}, Picked(front)) << "Back and the driver row still count it";
    EXPECT_EQ(std::vector<std::string>{"Broken|-"}, Picked(SelectNamedRows(m_model, {L"Broken"}, {})));
    EXPECT_EQ(std::vector<std::string>{"|fax"}, Picked(SelectNamedRows(m_model, {}, {L"fax"})));
}

TEST_F(NamedRows, ADriverNamedWithAllItsPrintersGoesOnceAndAloneItIsInUse)
{
    NamedSelection all = SelectNamedRows(m_model, {L"Back", L"Front", L"Front"}, {L"shared"});
    ASSERT_EQ(kSelectionReady, all.result);
    EXPECT_EQ((std::vector<std::string>{"Front|front", "Back|-", "|-"}), Picked(all)) << "one row carries the driver";
    EXPECT_EQ(3u, all.report.size());
    EXPECT_EQ((std::vector<std::string>{"Laser|laser"}), Picked(SelectNamedRows(m_model, {L"Laser"}, {L"Laser"})));

    NamedSelection shared = SelectNamedRows(m_model, {L"Front"}, {L"Shared"});
    EXPECT_EQ(kSelectionDriverInUse, shared.result);
    EXPECT_EQ(std::vector<std::wstring>{L"Shared"}, shared.driversInUse);
    EXPECT_EQ(std::vector<std::wstring>{L"printer \"Back\""}, shared.usersOfDriversInUse);
    EXPECT_TRUE(shared.rows.empty());
    NamedSelection hidden = SelectNamedRows(m_model, {}, {L"laser"});
    EXPECT_EQ(kSelectionDriverInUse, hidden.result) << "a driver without a row of its own, used by its printer";
    EXPECT_TRUE(hidden.rows.empty());
}

TEST_F(NamedRows, EveryNameIsLookedUpAndOneUnknownPicksNothing)
{
    NamedSelection selection = SelectNamedRows(m_model, {L"Laser", L"Lase"}, {L"Fax", L"Shared 2"});
    EXPECT_EQ(kSelectionUnknownName, selection.result);
    EXPECT_EQ((std::vector<std::wstring>{L"printer \"Lase\"", L"driver \"Shared 2\""}), selection.unknownNames);
    EXPECT_TRUE(selection.rows.empty());
    EXPECT_EQ(kSelectionUnknownName, SelectNamedRows(m_model, {L"Fax"}, {}).result) << "a driver is no printer";
}

struct LockTry {
    DWORD dwTimeoutMs;
    bool bRelease;
    RemovalLockResult result;
    HANDLE hLock;
    ULONGLONG ms;
};

// Tries the lock on a thread of its own; unless told to release it, the thread ends holding
// it, and the mutex is abandoned (its handle stays open for the test to close).
DWORD WINAPI TryLock(LPVOID pParameter)
{
    auto* pTry = static_cast<LockTry*>(pParameter);
    const ULONGLONG start = GetTickCount64();
    pTry->result = AcquireRemovalLock(pTry->dwTimeoutMs, &pTry->hLock);
    pTry->ms = GetTickCount64() - start;
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
    LockTry abandoning = {0, false, kRemovalLockFailed, nullptr, 0};
    ASSERT_TRUE(RunThread(abandoning));
    ASSERT_EQ(kRemovalLockAcquired, abandoning.result);

    HANDLE hLock = nullptr;
    EXPECT_EQ(kRemovalLockAcquired, AcquireRemovalLock(1000, &hLock)) << "its holder ended without releasing it";
    CloseHandle(abandoning.hLock);
    ASSERT_TRUE(hLock);

    // Held by this thread now: another thread waits out its bound.
    LockTry waiting = {500, true, kRemovalLockAcquired, nullptr, 0};
    ASSERT_TRUE(RunThread(waiting));
    EXPECT_EQ(kRemovalLockBusy, waiting.result);
    EXPECT_EQ(nullptr, waiting.hLock);
    EXPECT_GE(waiting.ms, 450u);
    ReleaseRemovalLock(hLock);

    LockTry after = {0, true, kRemovalLockFailed, nullptr, 0};
    ASSERT_TRUE(RunThread(after));
    EXPECT_EQ(kRemovalLockAcquired, after.result) << "released, it is free again";
}

}  // namespace
