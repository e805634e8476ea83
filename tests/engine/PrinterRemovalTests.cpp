// Printer removal against the sandbox's real spooler.
#include <gtest/gtest.h>
#include <windows.h>
#include <winspool.h>

#include <memory>
#include <string>
#include <vector>

#include "ImportPatch.h"
#include "TestPrinter.h"
#include "TestSupport.h"
#include "engine/PrinterRemoval.h"

namespace {

const wchar_t kPrinter[] = L"TV Removal Printer";
const wchar_t kDriver[] = L"TV Removal Driver";

// Printer calls seen through the test program's imports.
int g_nOpens = 0;
int g_nCloses = 0;
DWORD g_dwOpenAccess = 0;
DWORD g_dwFailError = 0;  // nonzero: the patched call fails with it
decltype(&OpenPrinterW) g_pRealOpen = nullptr;
decltype(&ClosePrinter) g_pRealClose = nullptr;

BOOL WINAPI CountingOpenPrinterW(LPWSTR pName, LPHANDLE phPrinter, LPPRINTER_DEFAULTSW pDefaults)
{
    ++g_nOpens;
    g_dwOpenAccess = pDefaults ? pDefaults->DesiredAccess : 0;
    return g_pRealOpen(pName, phPrinter, pDefaults);
}

BOOL WINAPI RefusingOpenPrinterW(LPWSTR, LPHANDLE, LPPRINTER_DEFAULTSW)
{
    ++g_nOpens;
    SetLastError(g_dwFailError);
    return FALSE;
}

BOOL WINAPI CountingClosePrinter(HANDLE hPrinter)
{
    ++g_nCloses;
    return g_pRealClose(hPrinter);
}

BOOL WINAPI FailingDeletePrinter(HANDLE)
{
    SetLastError(g_dwFailError);
    return FALSE;
}

// Wine 8 keeps no printer connections, so they are stood in for: DeletePrinterConnectionW is
// recorded (it removes nothing), and the level-4 listing can show a real local printer as a
// connection (network, not local), as Windows lists one.
std::vector<std::wstring> g_connectionDeletes;
int g_nPrinterDeletes = 0;
decltype(&EnumPrintersW) g_pRealEnum = nullptr;
std::wstring g_shownAsConnection;

BOOL WINAPI RecordingDeletePrinterConnectionW(LPWSTR pName)
{
    g_connectionDeletes.push_back(pName);
    SetLastError(g_dwFailError);
    return g_dwFailError == 0;
}

BOOL WINAPI CountingDeletePrinter(HANDLE)
{
    ++g_nPrinterDeletes;
    return TRUE;
}

BOOL WINAPI ListingWithAConnection(DWORD dwFlags, LPWSTR pName, DWORD dwLevel, LPBYTE pBuffer, DWORD cbBuf,
                                   LPDWORD pcbNeeded, LPDWORD pcReturned)
{
    BOOL bResult = g_pRealEnum(dwFlags, pName, dwLevel, pBuffer, cbBuf, pcbNeeded, pcReturned);
    if (bResult && dwLevel == 4) {
        auto* pInfos = reinterpret_cast<PRINTER_INFO_4W*>(pBuffer);
        for (DWORD i = 0; i < *pcReturned; ++i) {
            if (pInfos[i].pPrinterName && g_shownAsConnection == pInfos[i].pPrinterName)
                pInfos[i].Attributes = (pInfos[i].Attributes | PRINTER_ATTRIBUTE_NETWORK) & ~PRINTER_ATTRIBUTE_LOCAL;
        }
    }
    return bResult;
}

class PrinterRemovalTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ClearLogs();
        g_nOpens = g_nCloses = 0;
        g_dwOpenAccess = 0;
        m_pClose.reset(new ScopedImportPatch("winspool.drv", "ClosePrinter", reinterpret_cast<void*>(&CountingClosePrinter)));
        g_pRealClose = reinterpret_cast<decltype(&ClosePrinter)>(m_pClose->Original());
    }
    void TearDown() override
    {
        m_pClose.reset();
        ClearLogs();
    }
    std::unique_ptr<ScopedImportPatch> m_pClose;
};

TEST_F(PrinterRemovalTest, ExistingPrinterIsDeleted)
{
    ScopedTestPrinter printer(kPrinter, kDriver);
    ASSERT_TRUE(PrinterExists(kPrinter));
    {
        ScopedImportPatch open("winspool.drv", "OpenPrinterW", reinterpret_cast<void*>(&CountingOpenPrinterW));
        g_pRealOpen = reinterpret_cast<decltype(&OpenPrinterW)>(open.Original());
        g_nCloses = 0;
        SetLastError(0xdeadbeef);
        EXPECT_TRUE(RemovePrinter(kPrinter));
    }
    EXPECT_EQ(DWORD(PRINTER_ALL_ACCESS), g_dwOpenAccess);
    EXPECT_EQ(1, g_nOpens);
    EXPECT_EQ(1, g_nCloses) << "the handle is closed once";
    HANDLE hPrinter = nullptr;
    SetLastError(0xdeadbeef);
    std::wstring name = kPrinter;
    EXPECT_FALSE(OpenPrinterW(&name[0], &hPrinter, nullptr)) << "the printer must be gone";
    EXPECT_EQ(DWORD(ERROR_INVALID_PRINTER_NAME), GetLastError());
    EXPECT_TRUE(LogTexts().empty());
}

TEST_F(PrinterRemovalTest, PrinterAlreadyGoneCountsAsDeleted)
{
    SetLastError(0xdeadbeef);
    EXPECT_TRUE(RemovePrinter(L"TV No Such Printer"));
    EXPECT_EQ(0, g_nCloses) << "no handle, nothing to close";
    EXPECT_TRUE(LogTexts().empty()) << "error 1801 is not logged";
}

TEST_F(PrinterRemovalTest, RefusedOpenIsLoggedAndFails)
{
    g_dwFailError = ERROR_ACCESS_DENIED;
    ScopedImportPatch open("winspool.drv", "OpenPrinterW", reinterpret_cast<void*>(&RefusingOpenPrinterW));
    EXPECT_FALSE(RemovePrinter(kPrinter));
    EXPECT_EQ(0, g_nCloses);
    std::vector<std::string> expected = {ErrorRecordText(L"OpenPrinter", ERROR_ACCESS_DENIED)};
    EXPECT_EQ(expected, LogTexts());
}

TEST_F(PrinterRemovalTest, ConnectionIsRemovedFromThisPcAndNothingIsDeletedOnItsServer)
{
    ScopedTestPrinter printer(kPrinter, kDriver);
    g_connectionDeletes.clear();
    g_nPrinterDeletes = 0;
    g_dwFailError = 0;
    g_shownAsConnection = kPrinter;
    ScopedImportPatch connection("winspool.drv", "DeletePrinterConnectionW",
                                 reinterpret_cast<void*>(&RecordingDeletePrinterConnectionW));
    ScopedImportPatch del("winspool.drv", "DeletePrinter", reinterpret_cast<void*>(&CountingDeletePrinter));
    ScopedImportPatch open("winspool.drv", "OpenPrinterW", reinterpret_cast<void*>(&CountingOpenPrinterW));
    g_pRealOpen = reinterpret_cast<decltype(&OpenPrinterW)>(open.Original());
    ScopedImportPatch list("winspool.drv", "EnumPrintersW", reinterpret_cast<void*>(&ListingWithAConnection));
    g_pRealEnum = reinterpret_cast<decltype(&EnumPrintersW)>(list.Original());

    // Known by its name, or by its attributes.
    EXPECT_TRUE(RemovePrinter(L"\\\\tvserver\\TV Queue"));
    EXPECT_TRUE(RemovePrinter(kPrinter));
    EXPECT_EQ((std::vector<std::wstring>{L"\\\\tvserver\\TV Queue", kPrinter}), g_connectionDeletes);
    EXPECT_EQ(0, g_nOpens) << "no queue is opened, so none can be deleted on its server";
    EXPECT_EQ(0, g_nPrinterDeletes);
    EXPECT_TRUE(LogTexts().empty());

    // A connection already gone counts as removed; any other refusal is logged and fails.
    g_dwFailError = ERROR_INVALID_PRINTER_NAME;
    EXPECT_TRUE(RemovePrinter(L"\\\\tvserver\\Gone"));
    EXPECT_TRUE(LogTexts().empty());
    g_dwFailError = ERROR_ACCESS_DENIED;
    EXPECT_FALSE(RemovePrinter(L"\\\\tvserver\\TV Queue"));
    EXPECT_EQ(std::vector<std::string>{ErrorRecordText(L"DeletePrinterConnection", ERROR_ACCESS_DENIED)}, LogTexts());
    g_shownAsConnection.clear();
}

TEST_F(PrinterRemovalTest, FailedDeletionIsLoggedAndClosesThePrinter)
{
    ScopedTestPrinter printer(kPrinter, kDriver);
    {
        g_dwFailError = ERROR_ACCESS_DENIED;
        ScopedImportPatch del("winspool.drv", "DeletePrinter", reinterpret_cast<void*>(&FailingDeletePrinter));
        g_nCloses = 0;
        EXPECT_FALSE(RemovePrinter(kPrinter));
    }
    EXPECT_EQ(1, g_nCloses) << "the open printer must be closed on the failure path too";
    std::vector<std::string> expected = {ErrorRecordText(L"DeletePrinter", ERROR_ACCESS_DENIED)};
    EXPECT_EQ(expected, LogTexts());
    EXPECT_TRUE(PrinterExists(kPrinter));
}

}  // namespace
