// The driver list model behind the rows, filled from the real spooler of the sandbox.
#include <gtest/gtest.h>
#include <windows.h>
#include <winspool.h>

#include <algorithm>
#include <set>
#include <utility>

#include "GuiDriver.h"
#include "ImportPatch.h"
#include "ShellWindows.h"
#include "SpoolerSetup.h"
#include "TestSupport.h"
#include "cleanup/OtherDrivers.h"
#include "shell/Dialog.h"
#include "shell/CommandLine.h"
#include "shell/DriverList.h"

namespace {

std::string Utf8(const std::wstring& text)
{
    return std::string(Ansi(text));  // the sandbox's code page shows the names in messages
}

int Count(const std::wstring& driver)
{
    auto it = g_driverUseCount.find(driver);
    return it == g_driverUseCount.end() ? 0 : it->second;
}

const DriverListEntry* EntryFor(const std::wstring& rowText)
{
    for (size_t i = 0; i < g_driverList.size(); ++i)
        if ((g_driverList[i].bIsPrinter ? g_driverList[i].strPrinterName : g_driverList[i].strDriverName) == rowText)
            return &g_driverList[i];
    return nullptr;
}

class DriverListTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ClearLogs();
        FindSpoolerEnvironment();  // as the program does at start: the x64 drivers, also from a 32-bit test program
    }
    void TearDown() override
    {
        g_pSpoolerEnvironment = nullptr;
        g_driverList.clear();
        g_driverUseCount.clear();
        ClearLogs();
    }

    // Row i shows entry i, and each entry is what its row claims.
    void ExpectRowsMatchEntries()
    {
        const std::vector<std::wstring> rows = m_windows.Rows();
        ASSERT_EQ(rows.size(), g_driverList.size());
        for (size_t i = 0; i < rows.size(); ++i) {
            const DriverListEntry& e = g_driverList[i];
            SCOPED_TRACE("row " + std::to_string(i) + " " + Utf8(rows[i]));
            EXPECT_EQ(g_hDlg, e.hWndOwner);
            if (e.bIsPrinter) {
                EXPECT_EQ(1, e.bIsPrinter);
                EXPECT_EQ(rows[i], e.strPrinterName);
                if (e.pDriverInfo) {
                    EXPECT_EQ(std::wstring(e.pDriverInfo->pName), e.strDriverName);
                    EXPECT_EQ(PrinterDriverName(e.strPrinterName), e.strDriverName);
                }
            } else {
                EXPECT_EQ(rows[i], e.strDriverName);
                EXPECT_TRUE(e.strPrinterName.empty());
                ASSERT_TRUE(e.pDriverInfo);
                EXPECT_EQ(rows[i], std::wstring(e.pDriverInfo->pName));
            }
        }
        // Every count is the number of rows carrying that driver name.
        for (const auto& count : g_driverUseCount) {
            int nRows = static_cast<int>(std::count_if(g_driverList.begin(), g_driverList.end(),
                                                       [&](const DriverListEntry& e) { return e.strDriverName == count.first; }));
            EXPECT_EQ(nRows, count.second) << Utf8(count.first);
        }
    }

    ShellWindows m_windows;
};

TEST_F(DriverListTest, ModelFollowsTheSpoolerForEveryNamingCase)
{
    SpoolerSetup spooler;
    for (const wchar_t* pDriver : {L"Tavrel Alpha", L"Tavrel Shared", L"Tavrel Other", L"TAVREL CASE", L"Tavrel Hidden",
                                   L"Tavrel Mixed"})
        ASSERT_EQ(0u, spooler.InstallDriver(pDriver));
    ASSERT_EQ(0u, spooler.InstallPrinter(L"Tavrel Alpha", L"Tavrel Alpha"));
    ASSERT_EQ(0u, spooler.InstallPrinter(L"Tavrel Shared B", L"Tavrel Shared"));
    ASSERT_EQ(0u, spooler.InstallPrinter(L"Tavrel Shared A", L"Tavrel Shared"));
    ASSERT_EQ(0u, spooler.InstallPrinter(L"Tavrel Office", L"Tavrel Other"));
    ASSERT_EQ(0u, spooler.InstallPrinter(L"Tavrel Case", L"Tavrel Alpha"));
    ASSERT_EQ(0u, spooler.InstallPrinter(L"Tavrel Hidden", L"Tavrel Alpha"));
    ASSERT_EQ(0u, spooler.InstallPrinter(L"Zulu Mixed 1", L"Tavrel Mixed"));
    ASSERT_EQ(0u, spooler.InstallPrinter(L"Zulu Mixed 2", L"tavrel mixed"));

    FillDriverList();
    ASSERT_NO_FATAL_FAILURE(ExpectRowsMatchEntries());
    EXPECT_EQ(SpoolerPrinterNames().size() + 4, g_driverList.size()) << "four drivers have rows of their own";

    // The printer "Tavrel Alpha" is one row; three printers use that driver.
    ASSERT_TRUE(EntryFor(L"Tavrel Alpha"));
    EXPECT_EQ(1, EntryFor(L"Tavrel Alpha")->bIsPrinter);
    EXPECT_EQ(3, Count(L"Tavrel Alpha"));
    // Two printers on one driver, and the driver's own row.
    EXPECT_EQ(L"Tavrel Shared", EntryFor(L"Tavrel Shared A")->strDriverName);
    EXPECT_EQ(L"Tavrel Shared", EntryFor(L"Tavrel Shared B")->strDriverName);
    EXPECT_EQ(0, EntryFor(L"Tavrel Shared")->bIsPrinter);
    EXPECT_EQ(3, Count(L"Tavrel Shared"));
    // A driver used by a printer of another name: a printer row and a driver row.
    EXPECT_EQ(2, Count(L"Tavrel Other"));
    // Case matters: the driver "TAVREL CASE" has its row beside the printer "Tavrel Case".
    EXPECT_EQ(0, EntryFor(L"TAVREL CASE")->bIsPrinter);
    EXPECT_EQ(1, Count(L"TAVREL CASE"));
    // A printer named like a driver it does not use hides that driver's row.
    EXPECT_EQ(1, EntryFor(L"Tavrel Hidden")->bIsPrinter);
    EXPECT_EQ(L"Tavrel Alpha", EntryFor(L"Tavrel Hidden")->strDriverName);
    EXPECT_EQ(0u, g_driverUseCount.count(L"Tavrel Hidden"));
    // Two printers whose drivers' names differ in case only are counted under two keys.
    EXPECT_EQ(2, Count(L"Tavrel Mixed"));
    EXPECT_EQ(1, Count(L"tavrel mixed"));
    EXPECT_EQ(L"Printer Driver Uninstaller", WindowText(g_hDlg));
}

TEST_F(DriverListTest, FillingAgainReplacesEverything)
{
    SpoolerSetup spooler;
    ASSERT_EQ(0u, spooler.InstallDriver(L"Tavrel Twice"));
    ASSERT_EQ(0u, spooler.InstallPrinter(L"Tavrel Twice One", L"Tavrel Twice"));
    ASSERT_EQ(0u, spooler.InstallPrinter(L"Tavrel Twice Two", L"Tavrel Twice"));
    FillDriverList();
    const std::vector<std::wstring> rows = m_windows.Rows();
    const std::map<std::wstring, int> counts = g_driverUseCount;
    FillDriverList();
    EXPECT_EQ(rows, m_windows.Rows());
    EXPECT_EQ(counts, g_driverUseCount);
    EXPECT_EQ(3, Count(L"Tavrel Twice"));
    ASSERT_NO_FATAL_FAILURE(ExpectRowsMatchEntries());
}

// Names in reverse alphabetical order: a sorted insertion would break row i = entry i.
TEST_F(DriverListTest, RowsKeepTheModelsOrderDespiteTheSortedListBox)
{
    SpoolerSetup spooler;
    ASSERT_EQ(0u, spooler.InstallDriver(L"AAA Tavrel First"));
    ASSERT_EQ(0u, spooler.InstallPrinter(L"ZZZ Tavrel Last", L"AAA Tavrel First"));
    FillDriverList();
    ASSERT_NO_FATAL_FAILURE(ExpectRowsMatchEntries());
    const std::vector<std::wstring> rows = m_windows.Rows();
    auto printer = std::find(rows.begin(), rows.end(), L"ZZZ Tavrel Last");
    auto driver = std::find(rows.begin(), rows.end(), L"AAA Tavrel First");
    ASSERT_NE(rows.end(), printer);
    ASSERT_NE(rows.end(), driver);
    EXPECT_LT(printer, driver) << "printers come before drivers, whatever their names";
    // The row the user picks addresses the same entry.
    int nRow = static_cast<int>(driver - rows.begin());
    ASSERT_TRUE(SelectRow(g_pListBox, nRow));
    EXPECT_EQ(L"AAA Tavrel First", g_driverList[static_cast<size_t>(SelectedRow(g_pListBox))].strDriverName);
}

TEST_F(DriverListTest, NothingToListGivesAnEmptyListAndTheTitle)
{
    struct Empty {
        static BOOL WINAPI EnumPrinters(DWORD, LPWSTR, DWORD, LPBYTE, DWORD, LPDWORD pcbNeeded, LPDWORD pcReturned)
        {
            *pcbNeeded = 0;
            *pcReturned = 0;
            return TRUE;
        }
        static BOOL WINAPI EnumDrivers(LPWSTR, LPWSTR, DWORD, LPBYTE, DWORD, LPDWORD pcbNeeded, LPDWORD pcReturned)
        {
            *pcbNeeded = 0;
            *pcReturned = 0;
            return TRUE;
        }
    };
    ScopedImportPatch printers("winspool.drv", "EnumPrintersW", reinterpret_cast<void*>(&Empty::EnumPrinters));
    ScopedImportPatch drivers("winspool.drv", "EnumPrinterDriversW", reinterpret_cast<void*>(&Empty::EnumDrivers));
    SendMessageW(g_pListBox, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"left over"));
    FillDriverList();
    EXPECT_TRUE(m_windows.Rows().empty());
    EXPECT_TRUE(g_driverList.empty());
    EXPECT_TRUE(g_driverUseCount.empty());
    EXPECT_EQ(L"Printer Driver Uninstaller", WindowText(g_hDlg));
    EXPECT_TRUE(LogTexts(1).empty()) << "nothing to list is no failure";
}

// Wine keeps no printer connections: the level-4 listing shows g_strConnection, a local printer,
// as one, and its open waits, as for a server that is gone, until g_hServerAnswers is set (15 s at
// most, the RPC time-out here). g_bListingGrows: the next listing call with a buffer asks for more
// room, once, as when a printer was added since the size query.
std::wstring g_strConnection;
HANDLE g_hServerAnswers = CreateEventW(nullptr, TRUE, FALSE, nullptr);
bool g_bListingGrows = false;
void* g_pRealListing = nullptr;
void* g_pRealOpenPrinter = nullptr;
BOOL WINAPI ListingWithAConnection(DWORD dwFlags, LPWSTR pName, DWORD level, LPBYTE pBuffer, DWORD cb,
                                   LPDWORD pcbNeeded, LPDWORD pcReturned)
{
    if (pBuffer && g_bListingGrows) {
        g_bListingGrows = false;
        *pcbNeeded = cb + 1024;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    const BOOL bListed = reinterpret_cast<decltype(&EnumPrintersW)>(g_pRealListing)(dwFlags, pName, level, pBuffer, cb,
                                                                                   pcbNeeded, pcReturned);
    auto* pInfos = reinterpret_cast<PRINTER_INFO_4W*>(pBuffer);
    for (DWORD i = 0; bListed && level == 4 && i < *pcReturned; ++i)
        if (g_strConnection == pInfos[i].pPrinterName)
            pInfos[i].Attributes = PRINTER_ATTRIBUTE_NETWORK;
    return bListed;
}
BOOL WINAPI OpenWaitingForTheServer(LPWSTR pName, LPHANDLE phPrinter, LPPRINTER_DEFAULTSW pDefault)
{
    if (pName && g_strConnection == pName && WaitForSingleObject(g_hServerAnswers, 15000) != WAIT_OBJECT_0) {
        SetLastError(RPC_S_SERVER_UNAVAILABLE);
        return FALSE;
    }
    return reinterpret_cast<decltype(&OpenPrinterW)>(g_pRealOpenPrinter)(pName, phPrinter, pDefault);
}

// A connection's driver is asked of its server on a thread of its own, and the list waits for it
// within a bound: where the server is gone, the list appears at once with the connection's driver
// unknown (the removal's fresh look then keeps any driver it may use); once the server answers,
// its driver is named.
TEST_F(DriverListTest, ConnectionWhoseServerIsGoneIsListedAtOnceWithItsDriverUnknown)
{
    SpoolerSetup spooler;
    ASSERT_EQ(0u, spooler.InstallDriver(L"Tavrel Downloaded"));
    ASSERT_EQ(0u, spooler.InstallPrinter(L"Tavrel Connection", L"Tavrel Downloaded"));
    g_strConnection = L"Tavrel Connection";
    ScopedImportPatch listing("winspool.drv", "EnumPrintersW", reinterpret_cast<void*>(&ListingWithAConnection));
    g_pRealListing = listing.Original();
    ScopedImportPatch open("winspool.drv", "OpenPrinterW", reinterpret_cast<void*>(&OpenWaitingForTheServer));
    g_pRealOpenPrinter = open.Original();
    const ULONGLONG ullStart = GetTickCount64();
    EXPECT_TRUE(FillDriverList());
    EXPECT_LT(GetTickCount64() - ullStart, 2000u) << "the list waited for the server";
    const DriverListEntry* pEntry = EntryFor(L"Tavrel Connection");
    ASSERT_TRUE(pEntry);
    EXPECT_TRUE(pEntry->strDriverName.empty());
    EXPECT_EQ(nullptr, pEntry->pDriverInfo);
    EXPECT_EQ(1, Count(L"Tavrel Downloaded")) << "its driver row alone counts the driver";
    EXPECT_TRUE(LogTexts(1).empty());

    SetEvent(g_hServerAnswers);  // the late answer goes to a query its listing has let go
    FillDriverList();
    pEntry = EntryFor(L"Tavrel Connection");
    ASSERT_TRUE(pEntry);
    EXPECT_EQ(L"Tavrel Downloaded", pEntry->strDriverName);
    EXPECT_EQ(2, Count(L"Tavrel Downloaded"));
}

// The listing names no driver (stood in: Windows' and Wine's always do for a local printer): only
// then is the printer opened to read it.
void* g_pRealEnumPrinters = nullptr;
BOOL WINAPI PrintersWithoutDriverNames(DWORD dwFlags, LPWSTR pName, DWORD level, LPBYTE pBuffer, DWORD cb,
                                       LPDWORD pcbNeeded, LPDWORD pcReturned)
{
    BOOL bListed = reinterpret_cast<decltype(&EnumPrintersW)>(g_pRealEnumPrinters)(dwFlags, pName, level, pBuffer, cb,
                                                                                  pcbNeeded, pcReturned);
    for (DWORD i = 0; bListed && level == 2 && i < *pcReturned; ++i)
        reinterpret_cast<PRINTER_INFO_2W*>(pBuffer)[i].pDriverName = nullptr;
    return bListed;
}

TEST_F(DriverListTest, PrinterWhoseDriverRecordCannotBeReadStaysWithoutDriver)
{
    SpoolerSetup spooler;
    ASSERT_EQ(0u, spooler.InstallDriver(L"Tavrel Unread"));
    ASSERT_EQ(0u, spooler.InstallPrinter(L"Tavrel Unread Printer", L"Tavrel Unread"));
    struct Fail {
        static BOOL WINAPI GetPrinterDriver(HANDLE, LPWSTR, DWORD, LPBYTE, DWORD, LPDWORD pcbNeeded)
        {
            *pcbNeeded = 0;
            SetLastError(ERROR_UNKNOWN_PRINTER_DRIVER);
            return FALSE;
        }
    };
    {
        ScopedImportPatch patch("winspool.drv", "GetPrinterDriverW", reinterpret_cast<void*>(&Fail::GetPrinterDriver));
        ScopedImportPatch names("winspool.drv", "EnumPrintersW", reinterpret_cast<void*>(&PrintersWithoutDriverNames));
        g_pRealEnumPrinters = names.Original();
        FillDriverList();
    }
    ASSERT_NO_FATAL_FAILURE(ExpectRowsMatchEntries());
    const DriverListEntry* pEntry = EntryFor(L"Tavrel Unread Printer");
    ASSERT_TRUE(pEntry);
    EXPECT_EQ(nullptr, pEntry->pDriverInfo);
    EXPECT_TRUE(pEntry->strDriverName.empty());
    const std::vector<std::string> texts = LogTexts(1);
    const size_t nPrinters = SpoolerPrinterNames().size();
    ASSERT_EQ(nPrinters, texts.size()) << "one record per printer";
    for (const std::string& text : texts)
        EXPECT_EQ(ErrorRecordText(L"GetPrinterDriver", ERROR_UNKNOWN_PRINTER_DRIVER), text);
}

// The real spooler asked for a printer's driver in an environment that lacks it (as for a printer
// whose driver is broken): the refused size query is the answer, and no read follows. A read with
// a buffer sized from the refusal hands the spooler an empty buffer, and Wine's writes the
// record's first fields into it before it finds the driver missing: the i686 tests, listing the
// printers of x64 drivers in their own environment (x86), died of the corrupted heap.
std::vector<std::pair<bool, DWORD>> g_driverReads;  // a buffer given, and the call's error (0: read)
void* g_pRealDriverRead = nullptr;
BOOL WINAPI RecordDriverRead(HANDLE hPrinter, LPWSTR pEnvironment, DWORD level, LPBYTE pBuffer, DWORD cb,
                             LPDWORD pcbNeeded)
{
    const BOOL bRead = reinterpret_cast<decltype(&GetPrinterDriverW)>(g_pRealDriverRead)(hPrinter, pEnvironment, level,
                                                                                       pBuffer, cb, pcbNeeded);
    const DWORD dwError = bRead ? 0 : GetLastError();
    g_driverReads.emplace_back(pBuffer != nullptr, dwError);
    SetLastError(dwError);
    return bRead;
}

TEST_F(DriverListTest, DriverMissingFromTheEnvironmentIsNotReadIntoAnEmptyBuffer)
{
    SpoolerSetup spooler;
    ASSERT_EQ(0u, spooler.InstallDriver(L"Tavrel Elsewhere"));
    ASSERT_EQ(0u, spooler.InstallPrinter(L"Tavrel Elsewhere Printer", L"Tavrel Elsewhere"));
    g_pSpoolerEnvironment = NativeEnvironment() == L"Windows NT x86" ? L"Windows x64" : L"Windows NT x86";
    g_driverReads.clear();
    {
        ScopedImportPatch patch("winspool.drv", "GetPrinterDriverW", reinterpret_cast<void*>(&RecordDriverRead));
        g_pRealDriverRead = patch.Original();
        ScopedImportPatch names("winspool.drv", "EnumPrintersW", reinterpret_cast<void*>(&PrintersWithoutDriverNames));
        g_pRealEnumPrinters = names.Original();
        FillDriverList();
    }
    const DriverListEntry* pEntry = EntryFor(L"Tavrel Elsewhere Printer");
    ASSERT_TRUE(pEntry) << "the printer stays, to be removed without its driver";
    EXPECT_EQ(nullptr, pEntry->pDriverInfo);
    EXPECT_TRUE(pEntry->strDriverName.empty());

    // One size query per printer, each refused (no printer's driver is in that environment).
    const size_t nPrinters = SpoolerPrinterNames().size();
    ASSERT_EQ(nPrinters, g_driverReads.size()) << "a read with a buffer followed a refused size query";
    const std::vector<std::string> texts = LogTexts(1);
    ASSERT_EQ(nPrinters, texts.size()) << "one record per printer";
    for (size_t i = 0; i < nPrinters; ++i) {
        EXPECT_FALSE(g_driverReads[i].first);
        EXPECT_EQ(static_cast<DWORD>(ERROR_UNKNOWN_PRINTER_DRIVER), g_driverReads[i].second);
        EXPECT_EQ(ErrorRecordText(L"GetPrinterDriver", g_driverReads[i].second), texts[i]);
    }
}

TEST_F(DriverListTest, DriverEnumerationFailuresLeaveTheDriverRowsOutAndGrownListingsAreReadAgain)
{
    SpoolerSetup spooler;
    ASSERT_EQ(0u, spooler.InstallDriver(L"Tavrel Lonely"));
    ASSERT_EQ(0u, spooler.InstallDriver(L"Tavrel Used"));
    ASSERT_EQ(0u, spooler.InstallPrinter(L"Tavrel User", L"Tavrel Used"));
    static void* s_pOriginal = nullptr;
    static DWORD s_dwSecondError = 0;
    static DWORD s_dwFirstError = 0;
    struct Fail {
        static BOOL WINAPI EnumDrivers(LPWSTR pServer, LPWSTR pEnv, DWORD level, LPBYTE pBuffer, DWORD cb,
                                       LPDWORD pcbNeeded, LPDWORD pcReturned)
        {
            if (!pBuffer && s_dwFirstError) {
                SetLastError(s_dwFirstError);
                return FALSE;
            }
            if (pBuffer && s_dwSecondError) {
                SetLastError(s_dwSecondError);
                if (s_dwSecondError == ERROR_INSUFFICIENT_BUFFER)
                    s_dwSecondError = 0;  // a list that grew asks for more room once
                return FALSE;
            }
            return reinterpret_cast<decltype(&EnumPrinterDriversW)>(s_pOriginal)(pServer, pEnv, level, pBuffer, cb,
                                                                                pcbNeeded, pcReturned);
        }
    };
    ScopedImportPatch patch("winspool.drv", "EnumPrinterDriversW", reinterpret_cast<void*>(&Fail::EnumDrivers));
    s_pOriginal = patch.Original();

    // The second call fails: no driver rows, and the log says so.
    s_dwSecondError = ERROR_NOT_ENOUGH_MEMORY;
    FillDriverList();
    EXPECT_EQ(SpoolerPrinterNames(), m_windows.Rows());
    EXPECT_EQ(std::vector<std::string>{ErrorRecordText(L"EnumPrinterDrivers", ERROR_NOT_ENOUGH_MEMORY)}, LogTexts(1));
    ASSERT_NO_FATAL_FAILURE(ExpectRowsMatchEntries());

    // The size query answers anything but "insufficient buffer" (or a listing of none): no
    // driver rows, and the refusal is logged and told.
    ClearLogs();
    s_dwSecondError = 0;
    s_dwFirstError = RPC_S_SERVER_UNAVAILABLE;
    ListingFailure failure;
    EXPECT_FALSE(FillDriverList(&failure));
    EXPECT_EQ(L"EnumPrinterDrivers", failure.strCall);
    EXPECT_EQ(static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE), failure.dwError);
    EXPECT_EQ(SpoolerPrinterNames(), m_windows.Rows());
    EXPECT_EQ(std::vector<std::string>{ErrorRecordText(L"EnumPrinterDrivers", RPC_S_SERVER_UNAVAILABLE)}, LogTexts(1));
    s_dwFirstError = 0;

    // The drivers and the printers grew between the two calls of their listings: one more try
    // with the size asked for lists them.
    ClearLogs();
    s_dwSecondError = ERROR_INSUFFICIENT_BUFFER;
    g_bListingGrows = true;
    ScopedImportPatch listing("winspool.drv", "EnumPrintersW", reinterpret_cast<void*>(&ListingWithAConnection));
    g_pRealListing = listing.Original();
    EXPECT_TRUE(FillDriverList());
    ASSERT_TRUE(EntryFor(L"Tavrel User") && EntryFor(L"Tavrel Lonely"));
    s_dwSecondError = ERROR_INSUFFICIENT_BUFFER;
    OtherDrivers others;
    EXPECT_TRUE(ReadOtherDrivers(EntryFor(L"Tavrel Lonely")->pDriverInfo, others));
    EXPECT_TRUE(LogTexts(1).empty());
}

TEST_F(DriverListTest, PrinterEnumerationFailureLeavesOnlyDriverRows)
{
    SpoolerSetup spooler;
    ASSERT_EQ(0u, spooler.InstallDriver(L"Tavrel Solo"));
    ASSERT_EQ(0u, spooler.InstallPrinter(L"Tavrel Solo", L"Tavrel Solo"));
    struct Fail {
        static BOOL WINAPI EnumPrinters(DWORD, LPWSTR, DWORD, LPBYTE, DWORD, LPDWORD pcbNeeded, LPDWORD)
        {
            *pcbNeeded = 0;
            SetLastError(RPC_S_SERVER_UNAVAILABLE);
            return FALSE;
        }
    };
    // A spooler that does not answer (stopped, disabled) is no spooler without printers: the
    // dialog shows what it has, an unattended run removes nothing, and neither ends as if the
    // name were unknown (1605) or there were no printers (0).
    ScopedImportPatch patch("winspool.drv", "EnumPrintersW", reinterpret_cast<void*>(&Fail::EnumPrinters));
    EXPECT_FALSE(FillDriverList());
    EXPECT_EQ(SpoolerDriverNames(), m_windows.Rows()) << "with no printer names, every driver has its row";
    ASSERT_NO_FATAL_FAILURE(ExpectRowsMatchEntries());
    const std::string refused = ErrorRecordText(L"EnumPrinters", RPC_S_SERVER_UNAVAILABLE);
    EXPECT_EQ(std::vector<std::string>{refused}, LogTexts(1));
    EXPECT_EQ(kExitFailed, RunCommandLine({L"/quiet", L"/printer", L"Tavrel Solo"}));
    EXPECT_EQ(kExitFailed, RunCommandLine({L"/list"}));
    EXPECT_EQ(std::vector<std::string>(3, refused), LogTexts(1));
    EXPECT_TRUE(PrinterExists(L"Tavrel Solo"));
    EXPECT_TRUE(DriverExists(L"Tavrel Solo"));
}

// ---- the spooler environment: what the architecture query answers, as a 32-bit process on
// 64-bit Windows would hear it ----
struct ArchitectureAnswer {
    USHORT nWow64Native;  // what IsWow64Process2 says of the system; 0: the call does not exist
    WORD wNative;         // what GetNativeSystemInfo says; 0xFFFF: the call does not exist
    WORD wOwn;            // what GetSystemInfo says (the process's own view)
};
ArchitectureAnswer g_answer;
void* g_pRealGetProcAddress = nullptr;
std::vector<std::wstring> g_environments;  // of every EnumPrinterDriversW / GetPrinterDriverW call
void* g_pRealEnumDrivers = nullptr;
void* g_pRealGetDriver = nullptr;

std::wstring EnvironmentText(LPWSTR pEnvironment)
{
    return pEnvironment ? pEnvironment : L"(null)";
}
BOOL WINAPI FakeIsWow64Process2(HANDLE, USHORT* pProcess, USHORT* pNative)
{
    *pProcess = IMAGE_FILE_MACHINE_I386;
    *pNative = g_answer.nWow64Native;
    return TRUE;
}
void* g_pRealGetSystemInfo = nullptr;
// The real record with the architecture of the answer: the rest of it may be read by others.
void WINAPI FakeGetNativeSystemInfo(LPSYSTEM_INFO pInfo)
{
    reinterpret_cast<decltype(&GetSystemInfo)>(g_pRealGetSystemInfo)(pInfo);
    pInfo->wProcessorArchitecture = g_answer.wNative;
}
void WINAPI FakeGetSystemInfo(LPSYSTEM_INFO pInfo)
{
    reinterpret_cast<decltype(&GetSystemInfo)>(g_pRealGetSystemInfo)(pInfo);
    pInfo->wProcessorArchitecture = g_answer.wOwn;
}
FARPROC WINAPI FakeGetProcAddress(HMODULE hModule, LPCSTR pName)
{
    if (!IS_INTRESOURCE(pName) && hModule == GetModuleHandleW(L"kernel32.dll")) {
        if (lstrcmpA(pName, "IsWow64Process2") == 0 || lstrcmpA(pName, "GetNativeSystemInfo") == 0) {
            bool bIsWow = pName[0] == 'I';
            if (bIsWow ? g_answer.nWow64Native == 0 : g_answer.wNative == 0xFFFF) {
                SetLastError(ERROR_PROC_NOT_FOUND);
                return nullptr;
            }
            return bIsWow ? reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&FakeIsWow64Process2))
                          : reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&FakeGetNativeSystemInfo));
        }
    }
    return reinterpret_cast<decltype(&GetProcAddress)>(g_pRealGetProcAddress)(hModule, pName);
}
BOOL WINAPI RecordEnumDrivers(LPWSTR pServer, LPWSTR pEnvironment, DWORD level, LPBYTE pBuffer, DWORD cb,
                              LPDWORD pcbNeeded, LPDWORD pcReturned)
{
    g_environments.push_back(L"EnumPrinterDrivers|" + EnvironmentText(pEnvironment));
    return reinterpret_cast<decltype(&EnumPrinterDriversW)>(g_pRealEnumDrivers)(pServer, pEnvironment, level, pBuffer,
                                                                                cb, pcbNeeded, pcReturned);
}
BOOL WINAPI RecordGetDriver(HANDLE hPrinter, LPWSTR pEnvironment, DWORD level, LPBYTE pBuffer, DWORD cb,
                            LPDWORD pcbNeeded)
{
    g_environments.push_back(L"GetPrinterDriver|" + EnvironmentText(pEnvironment));
    return reinterpret_cast<decltype(&GetPrinterDriverW)>(g_pRealGetDriver)(hPrinter, pEnvironment, level, pBuffer, cb,
                                                                            pcbNeeded);
}

TEST_F(DriverListTest, TheNativeArchitectureChoosesTheSpoolerEnvironment)
{
    SpoolerSetup spooler;
    ASSERT_EQ(0u, spooler.InstallDriver(L"Tavrel Native"));
    ASSERT_EQ(0u, spooler.InstallPrinter(L"Tavrel Native Printer", L"Tavrel Native"));
    // The list with the environment found at start: Wine's drivers are x64 ones.
    FillDriverList();
    const std::vector<std::wstring> rowsOwn = m_windows.Rows();
    ASSERT_NE(nullptr, EntryFor(L"Tavrel Native"));

    ScopedImportPatch lookup("kernel32.dll", "GetProcAddress", reinterpret_cast<void*>(&FakeGetProcAddress));
    g_pRealGetProcAddress = lookup.Original();
    g_answer = {0, PROCESSOR_ARCHITECTURE_AMD64, PROCESSOR_ARCHITECTURE_AMD64};
    ScopedImportPatch own("kernel32.dll", "GetSystemInfo", reinterpret_cast<void*>(&FakeGetSystemInfo));
    g_pRealGetSystemInfo = own.Original();
    ScopedImportPatch enumDrivers("winspool.drv", "EnumPrinterDriversW", reinterpret_cast<void*>(&RecordEnumDrivers));
    g_pRealEnumDrivers = enumDrivers.Original();
    ScopedImportPatch getDriver("winspool.drv", "GetPrinterDriverW", reinterpret_cast<void*>(&RecordGetDriver));
    g_pRealGetDriver = getDriver.Original();

    struct Case {
        ArchitectureAnswer answer;
        const wchar_t* pEnvironment;
    } cases[] = {
        {{0, PROCESSOR_ARCHITECTURE_AMD64, PROCESSOR_ARCHITECTURE_INTEL}, L"Windows x64"},
        {{IMAGE_FILE_MACHINE_AMD64, PROCESSOR_ARCHITECTURE_AMD64, PROCESSOR_ARCHITECTURE_INTEL}, L"Windows x64"},
        // An x86 process on ARM64 Windows hears "x86" from GetNativeSystemInfo; IsWow64Process2 tells.
        {{IMAGE_FILE_MACHINE_ARM64, PROCESSOR_ARCHITECTURE_INTEL, PROCESSOR_ARCHITECTURE_INTEL}, L"Windows ARM64"},
        {{0, PROCESSOR_ARCHITECTURE_IA64, PROCESSOR_ARCHITECTURE_INTEL}, L"Windows IA64"},
        // 32-bit Windows: the calls keep the caller's own environment.
        {{IMAGE_FILE_MACHINE_I386, PROCESSOR_ARCHITECTURE_INTEL, PROCESSOR_ARCHITECTURE_INTEL}, nullptr},
        {{0, PROCESSOR_ARCHITECTURE_INTEL, PROCESSOR_ARCHITECTURE_INTEL}, nullptr},
        {{0, 0xFFFF, PROCESSOR_ARCHITECTURE_INTEL}, nullptr},  // no GetNativeSystemInfo: GetSystemInfo
        {{0, 0xFFFF, PROCESSOR_ARCHITECTURE_AMD64}, L"Windows x64"},
    };
    for (const Case& c : cases) {
        g_answer = c.answer;
        const std::wstring expected = c.pEnvironment ? c.pEnvironment : L"(null)";
        SCOPED_TRACE(Utf8(expected) + " for " + std::to_string(c.answer.nWow64Native) + "/" +
                     std::to_string(c.answer.wNative) + "/" + std::to_string(c.answer.wOwn));
        FindSpoolerEnvironment();
        g_environments.clear();
        FillDriverList();
        // Every call of both kinds carries the environment.
        ASSERT_FALSE(g_environments.empty());
        EXPECT_GE(std::count(g_environments.begin(), g_environments.end(), L"EnumPrinterDrivers|" + expected), 1);
        EXPECT_EQ(static_cast<long>(g_environments.size()),
                  std::count_if(g_environments.begin(), g_environments.end(), [&](const std::wstring& call) {
                      return call.size() > expected.size() && call.compare(call.size() - expected.size(),
                                                                           expected.size(), expected) == 0;
                  }));
        if (expected == L"Windows x64") {
            EXPECT_EQ(rowsOwn, m_windows.Rows()) << "Wine's drivers are x64 ones: the list is what it was";
        }
    }
    g_pSpoolerEnvironment = nullptr;
}

// The choice for the record buffers: a fill releases the buffers of the fill before it, and
// keeps its own for as long as the model refers to them.
std::set<void*> g_live;
std::set<void*> g_freed;
void* g_pLocalAlloc = nullptr;
void* g_pLocalFree = nullptr;
HLOCAL WINAPI TrackedLocalAlloc(UINT uFlags, SIZE_T cb)
{
    HLOCAL h = reinterpret_cast<decltype(&LocalAlloc)>(g_pLocalAlloc)(uFlags, cb);
    if (h)
        g_live.insert(h);
    return h;
}
HLOCAL WINAPI TrackedLocalFree(HLOCAL h)
{
    g_live.erase(h);
    g_freed.insert(h);
    return reinterpret_cast<decltype(&LocalFree)>(g_pLocalFree)(h);
}

TEST_F(DriverListTest, RecordsOfTheFillBeforeAreReleased)
{
    SpoolerSetup spooler;
    ASSERT_EQ(0u, spooler.InstallDriver(L"Tavrel Memory"));
    ASSERT_EQ(0u, spooler.InstallPrinter(L"Tavrel Memory Printer", L"Tavrel Memory"));
    ScopedImportPatch alloc("kernel32.dll", "LocalAlloc", reinterpret_cast<void*>(&TrackedLocalAlloc));
    g_pLocalAlloc = alloc.Original();
    ScopedImportPatch release("kernel32.dll", "LocalFree", reinterpret_cast<void*>(&TrackedLocalFree));
    g_pLocalFree = release.Original();
    g_live.clear();

    FillDriverList();
    const std::set<void*> first = g_live;
    // One buffer stays alive, the driver array: a printer's record is its driver's record there
    // (the listing names every printer's driver, so none is read on its own).
    const DriverListEntry* pPrinter = EntryFor(L"Tavrel Memory Printer");
    const DriverListEntry* pDriver = EntryFor(L"Tavrel Memory");
    ASSERT_TRUE(pPrinter && pDriver);
    EXPECT_EQ(pDriver->pDriverInfo, pPrinter->pDriverInfo);
    ASSERT_EQ(1u, first.size()) << "the printer listing is released at once";
    auto InLiveBuffer = [](const std::set<void*>& live, const void* p) {
        for (void* pBuffer : live) {
            const BYTE* pStart = static_cast<const BYTE*>(pBuffer);
            if (p >= pStart && p < pStart + LocalSize(pBuffer))
                return true;
        }
        return false;
    };
    EXPECT_TRUE(InLiveBuffer(first, pPrinter->pDriverInfo)) << "a printer's record must stay allocated";

    g_freed.clear();
    FillDriverList();
    for (void* p : first)
        EXPECT_EQ(1u, g_freed.count(p)) << "the first fill's records should be released by the second";
    EXPECT_EQ(first.size(), g_live.size());
    for (const DriverListEntry& e : g_driverList) {
        if (e.pDriverInfo) {
            EXPECT_TRUE(InLiveBuffer(g_live, e.pDriverInfo));
        }
    }
    g_live.clear();
}

}  // namespace
