// Job deletion against a real printer of the sandbox's spooler, with the job calls that
// Wine lacks played by the stand-ins; spool file deletion in the real spool folder.
#include <gtest/gtest.h>
#include <windows.h>
#include <shlobj.h>
#include <winspool.h>

#include <memory>

#include "CallRecorder.h"
#include "FileTree.h"
#include "FolderLookup.h"
#include "ImportPatch.h"
#include "SpoolerStandIns.h"
#include "TestPrinter.h"
#include "TestSupport.h"
#include "engine/PrintQueue.h"

namespace {

const wchar_t kPrinter[] = L"TV Queue Printer";

class PrintQueueTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_pPrinter = new ScopedTestPrinter(kPrinter, L"TV Queue Driver"); }
    static void TearDownTestSuite()
    {
        delete s_pPrinter;
        s_pPrinter = nullptr;
    }
    void SetUp() override
    {
        StandInReset();
        ClearLogs();
        m_pEnum.reset(new ScopedImportPatch("winspool.drv", "EnumJobsW", reinterpret_cast<void*>(&StandInEnumJobsW)));
        m_pSet.reset(new ScopedImportPatch("winspool.drv", "SetJobW", reinterpret_cast<void*>(&StandInSetJobW)));
    }
    void TearDown() override
    {
        m_pEnum.reset();
        m_pSet.reset();
        StandInReset();
        ClearLogs();
    }

    static ScopedTestPrinter* s_pPrinter;
    std::unique_ptr<ScopedImportPatch> m_pEnum;
    std::unique_ptr<ScopedImportPatch> m_pSet;
};
ScopedTestPrinter* PrintQueueTest::s_pPrinter = nullptr;

// A test of the stand-ins themselves, not of the product: the job calls that Wine lacks behave
// as Windows documents them, so that what the tests below see of the product holds on Windows.
TEST_F(PrintQueueTest, StandInsBehaveAsWindowsDocumentsThem)
{
    std::vector<DWORD> ids = StandInQueueJobs(kPrinter, 2);
    HANDLE hPrinter = nullptr;
    std::wstring name = kPrinter;
    ASSERT_TRUE(OpenPrinterW(&name[0], &hPrinter, nullptr));
    DWORD dwNeeded = 0, dwReturned = 7;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(StandInEnumJobsW(hPrinter, 0, 10, 2, nullptr, 0, &dwNeeded, &dwReturned));
    EXPECT_EQ(DWORD(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    EXPECT_GT(dwNeeded, 2 * sizeof(JOB_INFO_2W));
    EXPECT_EQ(0u, dwReturned);
    std::vector<BYTE> buffer(dwNeeded);
    EXPECT_TRUE(StandInEnumJobsW(hPrinter, 0, 10, 2, buffer.data(), dwNeeded, &dwNeeded, &dwReturned));
    ASSERT_EQ(2u, dwReturned);
    auto* pJobs = reinterpret_cast<JOB_INFO_2W*>(buffer.data());
    EXPECT_EQ(ids[0], pJobs[0].JobId);
    EXPECT_EQ(ids[1], pJobs[1].JobId);
    EXPECT_STREQ(kPrinter, pJobs[1].pPrinterName);
    EXPECT_GE(reinterpret_cast<BYTE*>(pJobs[1].pDocument), buffer.data() + 2 * sizeof(JOB_INFO_2W));
    EXPECT_LT(reinterpret_cast<BYTE*>(pJobs[1].pDocument), buffer.data() + buffer.size());
    EXPECT_TRUE(StandInEnumJobsW(hPrinter, 1, 10, 2, buffer.data(), dwNeeded, &dwNeeded, &dwReturned));
    ASSERT_EQ(1u, dwReturned) << "FirstJob is a position in the queue";
    EXPECT_EQ(ids[1], pJobs[0].JobId);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(StandInEnumJobsW(hPrinter, 0, 10, 1, buffer.data(), dwNeeded, &dwNeeded, &dwReturned));
    EXPECT_EQ(DWORD(ERROR_INVALID_LEVEL), GetLastError());

    SetLastError(0xdeadbeef);
    EXPECT_FALSE(StandInSetJobW(hPrinter, 999999, 0, nullptr, JOB_CONTROL_DELETE));
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_TRUE(StandInSetJobW(hPrinter, ids[0], 0, nullptr, JOB_CONTROL_DELETE));
    EXPECT_EQ(std::vector<DWORD>{ids[1]}, StandInJobIds(kPrinter));
    ClosePrinter(hPrinter);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(StandInEnumJobsW(nullptr, 0, 10, 2, nullptr, 0, &dwNeeded, &dwReturned));
    EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), GetLastError());
}

TEST_F(PrintQueueTest, NoSuchPrinterOrEmptyQueueIsNothingToDo)
{
    EXPECT_TRUE(DeletePrinterJobs(L"TV No Such Printer"));
    EXPECT_EQ(0u, StandInEnumJobsCalls()) << "no job call without a printer";

    EXPECT_TRUE(DeletePrinterJobs(kPrinter));
    EXPECT_EQ(1u, StandInEnumJobsCalls()) << "an empty queue ends after the size query";
    EXPECT_EQ(0u, StandInSetJobCalls());
    EXPECT_TRUE(LogTexts().empty());
}

TEST_F(PrintQueueTest, OnlyTheFirstOfThreeJobsIsDeleted)
{
    std::vector<DWORD> ids = StandInQueueJobs(kPrinter, 3);
    EXPECT_TRUE(DeletePrinterJobs(kPrinter));
    EXPECT_EQ(2u, StandInEnumJobsCalls());
    EXPECT_EQ(1u, StandInSetJobCalls());
    std::vector<DWORD> left = {ids[1], ids[2]};
    EXPECT_EQ(left, StandInJobIds(kPrinter));
    EXPECT_TRUE(LogTexts().empty());
}

TEST_F(PrintQueueTest, DeletionIsTriedTenTimes)
{
    std::vector<DWORD> ids = StandInQueueJobs(kPrinter, 1);
    StandInFailSetJob(9, ERROR_ACCESS_DENIED);
    EXPECT_TRUE(DeletePrinterJobs(kPrinter)) << "the tenth call succeeded";
    EXPECT_EQ(10u, StandInSetJobCalls());
    EXPECT_TRUE(StandInJobIds(kPrinter).empty());
    EXPECT_TRUE(LogTexts().empty());

    StandInReset();
    ids = StandInQueueJobs(kPrinter, 1);
    StandInFailSetJob(10, ERROR_ACCESS_DENIED);
    EXPECT_FALSE(DeletePrinterJobs(kPrinter));
    EXPECT_EQ(10u, StandInSetJobCalls()) << "no eleventh call";
    EXPECT_EQ(ids, StandInJobIds(kPrinter));
    std::vector<std::string> expected = {ErrorRecordText(L"SetJob", ERROR_ACCESS_DENIED)};
    EXPECT_EQ(expected, LogTexts());
}

TEST_F(PrintQueueTest, UnreadableQueueIsLoggedAndFails)
{
    StandInQueueJobs(kPrinter, 1);
    StandInFailEnumJobs(0, 1, ERROR_ACCESS_DENIED);
    EXPECT_FALSE(DeletePrinterJobs(kPrinter));
    EXPECT_EQ(1u, StandInEnumJobsCalls());
    std::vector<std::string> expected = {Ansi(L"分配打印任务信息缓存函数失败！")};
    EXPECT_EQ(expected, LogTexts());

    ClearLogs();
    StandInFailEnumJobs(1, 1, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_FALSE(DeletePrinterJobs(kPrinter));
    EXPECT_EQ(0u, StandInSetJobCalls());
    expected = {Ansi(L"枚举打印任务失败！")};
    EXPECT_EQ(expected, LogTexts());

    // A failing size query that sets no error of its own (Wine's stub) must not pass for
    // "buffer too small" because of an older code.
    ClearLogs();
    struct Stub {
        static BOOL WINAPI EnumJobsW(HANDLE, DWORD, DWORD, DWORD, LPBYTE, DWORD, LPDWORD, LPDWORD) { return FALSE; }
    };
    ScopedImportPatch stub("winspool.drv", "EnumJobsW", reinterpret_cast<void*>(&Stub::EnumJobsW));
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    EXPECT_FALSE(DeletePrinterJobs(kPrinter));
    expected = {Ansi(L"分配打印任务信息缓存函数失败！")};
    EXPECT_EQ(expected, LogTexts());
}

TEST_F(PrintQueueTest, QueueEmptiedBetweenTheTwoCallsDeletesNothing)
{
    StandInQueueJobs(kPrinter, 2);
    StandInOnEnumJobs([](DWORD nCall) {
        if (nCall == 1)
            StandInClearQueue(kPrinter);
    });
    EXPECT_TRUE(DeletePrinterJobs(kPrinter));
    EXPECT_EQ(2u, StandInEnumJobsCalls());
    EXPECT_EQ(0u, StandInSetJobCalls()) << "no job is left to delete";
    EXPECT_TRUE(LogTexts().empty());
}

class SpoolFilesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_spool = SystemFolder() + L"\\spool\\PRINTERS\\";
        ASSERT_TRUE(ListingOrder(m_spool).empty()) << "test set-up: the spool folder should start empty";
        ClearLogs();
    }
    void TearDown() override
    {
        for (const std::wstring& name : ListingOrder(m_spool)) {
            SetFileAttributesW((m_spool + name).c_str(), FILE_ATTRIBUTE_NORMAL);
            if (!DeleteFileW((m_spool + name).c_str()))
                RemoveTree(m_spool + name);
        }
        ClearLogs();
    }
    std::wstring m_spool;
};

TEST_F(SpoolFilesTest, ShadowAndSpoolFilesGoAtAnyDepthInCapitalsOnly)
{
    EXPECT_TRUE(DeleteSpoolFiles()) << "an empty spool folder";

    MakeFile(m_spool + L"00012.SHD");
    MakeFile(m_spool + L"00012.SPL");
    MakeFile(m_spool + L"tvsub\\00013.SPL");
    MakeFile(m_spool + L"00014.spl");
    MakeFile(m_spool + L"FP00015.TMP");
    EXPECT_TRUE(DeleteSpoolFiles());
    EXPECT_FALSE(PathExists(m_spool + L"00012.SHD"));
    EXPECT_FALSE(PathExists(m_spool + L"00012.SPL"));
    EXPECT_FALSE(PathExists(m_spool + L"tvsub\\00013.SPL"));
    EXPECT_TRUE(PathExists(m_spool + L"tvsub\\")) << "folders stay";
    EXPECT_TRUE(PathExists(m_spool + L"00014.spl"));
    EXPECT_TRUE(PathExists(m_spool + L"FP00015.TMP"));
    EXPECT_TRUE(LogTexts().empty());
}

TEST_F(SpoolFilesTest, AFileLeftByEitherPassFails)
{
    // A shadow file held open cannot go: logged, and a failure though the .SPL walk succeeds.
    MakeFile(m_spool + L"00020.SHD");
    MakeFile(m_spool + L"00020.SPL");
    HANDLE hHeld = CreateFileW((m_spool + L"00020.SHD").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, hHeld);
    EXPECT_FALSE(DeleteSpoolFiles());
    EXPECT_FALSE(PathExists(m_spool + L"00020.SPL"));
    CloseHandle(hHeld);
    std::vector<std::string> expected = {ErrorRecordText(L"DeleteFile" + m_spool + L"00020.SHD", ERROR_SHARING_VIOLATION)};
    EXPECT_EQ(expected, LogTexts());

    ClearLogs();
    MakeFile(m_spool + L"00021.SPL");
    MakeReadOnly(m_spool + L"00021.SPL");
    EXPECT_FALSE(DeleteSpoolFiles());
    expected = {ErrorRecordText(L"DeleteFile" + m_spool + L"00021.SPL", ERROR_ACCESS_DENIED)};
    EXPECT_EQ(expected, LogTexts());
}

TEST_F(SpoolFilesTest, UnknownSystemFolderFailsWithoutWalking)
{
    MakeFile(m_spool + L"00030.SPL");
    {
        ScopedFolderLookupFailure failure(CSIDL_SYSTEM, false, ERROR_PATH_NOT_FOUND);
        ScopedCallRecorder lists("GetFileInformationByHandleEx", RecordAndForward);
        ClearRecordedCalls();
        EXPECT_FALSE(DeleteSpoolFiles());
        EXPECT_EQ(1, failure.Calls());
        EXPECT_TRUE(RecordedCalls().empty());
    }
    std::vector<std::string> expected = {ErrorRecordText(L"SHGetSpecialFolderPath", ERROR_PATH_NOT_FOUND)};
    EXPECT_EQ(expected, LogTexts());
    EXPECT_TRUE(PathExists(m_spool + L"00030.SPL"));
}

}  // namespace
