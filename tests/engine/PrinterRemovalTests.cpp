// Printer removal against the sandbox's real spooler.
#include <gtest/gtest.h>
#include <windows.h>
#include <winspool.h>

#include <memory>

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
