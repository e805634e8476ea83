// The spooler driver folder clean-up against the real folder "spool\drivers" under
// C:\windows\system32 of the sandbox prefix. Every file name made here starts with TV (or is a kept name that
// Wine does not ship), so nothing of Wine's own is touched; each test removes what it made.
#include <gtest/gtest.h>
#include <shlobj.h>

#include <winspool.h>

#include <algorithm>
#include <cstring>

#include "CallRecorder.h"
#include "ImportPatch.h"
#include "SpoolerSetup.h"
#include "FileTree.h"
#include "FolderLookup.h"
#include "TestSupport.h"
#include "cleanup/OtherDrivers.h"
#include "cleanup/SpoolDriverFiles.h"

namespace {

class SpoolDriverFilesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_root = WindowsFolder() + L"\\System32\\spool\\drivers\\";
        ASSERT_TRUE(PathExists(m_root));
        for (const wchar_t* pFolder : {L"x64\\", L"x64\\3\\", L"W32X86\\", L"W32X86\\3\\", L"W32X86\\2\\", L"tavrel\\",
                                       L"tavrel\\sub\\"}) {
            if (!PathExists(m_root + pFolder)) {
                MakeFolder(m_root + pFolder);
                m_madeFolders.push_back(m_root + pFolder);
            }
        }
        ClearLogs();
        ClearRecordedCalls();
    }
    void TearDown() override
    {
        for (const std::wstring& file : m_madeFiles) {
            SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(file.c_str());
        }
        for (auto it = m_madeFolders.rbegin(); it != m_madeFolders.rend(); ++it)
            RemoveDirectoryW(it->c_str());
        ClearLogs();
    }
    // Makes a file below the driver root and returns its path.
    std::wstring Make(const std::wstring& relative)
    {
        std::wstring path = m_root + relative;
        EXPECT_FALSE(PathExists(path)) << "test set-up: " << path << " exists already";
        MakeFile(path);
        m_madeFiles.push_back(path);
        return path;
    }

    std::wstring m_root;
    std::vector<std::wstring> m_madeFolders;
    std::vector<std::wstring> m_madeFiles;
};

// A driver record as the spooler delivers it: the dependent files one after another, each
// with its zero, and one more zero at the end.
struct Driver {
    std::wstring strDependent;
    std::wstring strMonitor;
    std::wstring strDataFile;
    DRIVER_INFO_6W info = {};

    Driver(const std::vector<std::wstring>& dependent, const wchar_t* pMonitor, const wchar_t* pDataFile)
    {
        for (const std::wstring& file : dependent)
            strDependent += file + L'\0';
        strDependent += L'\0';
        strMonitor = pMonitor ? pMonitor : L"";
        strDataFile = pDataFile;
        info.cVersion = 3;
        info.pName = const_cast<LPWSTR>(L"TV Test Driver");
        info.pEnvironment = const_cast<LPWSTR>(L"Windows x64");
        info.pDriverPath = const_cast<LPWSTR>(L"C:\\d\\TVDRV.DLL");
        info.pDataFile = &strDataFile[0];
        info.pDependentFiles = &strDependent[0];
        info.pMonitorName = pMonitor ? &strMonitor[0] : nullptr;
    }
};

TEST(GetFileNameFromPath, NameAfterTheLastBackslash)
{
    EXPECT_EQ(L"UNIDRV.DLL", GetFileNameFromPath(L"C:\\Windows\\System32\\spool\\drivers\\x64\\3\\UNIDRV.DLL"));
    EXPECT_EQ(L"a", GetFileNameFromPath(L"\\a"));
    EXPECT_EQ(L"", GetFileNameFromPath(L"UNIDRV.DLL")) << "no backslash, no name";
    EXPECT_EQ(L"", GetFileNameFromPath(L""));
    EXPECT_EQ(L"", GetFileNameFromPath(L"C:\\drivers\\"));
}

TEST_F(SpoolDriverFilesTest, KeepListIsACaseSensitiveSubstringTestOfTheWholeString)
{
    std::wstring kept[] = {Make(L"x64\\3\\UNIDRV.DLL"), Make(L"x64\\3\\NAMES.GPD"), Make(L"x64\\3\\UNIDRV"),
                           Make(L"tavrel\\XDLL;UNIDRVUI.TXT")};
    // Wine's file names ignore case like Windows: the lower-case file lies in another folder.
    std::wstring gone[] = {Make(L"W32X86\\3\\unidrv.dll"), Make(L"tavrel\\xunidrv.dll.bak"), Make(L"x64\\3\\TVDATA.GPD")};
    Driver driver({L"C:\\d\\UNIDRV.DLL", L"C:\\d\\DRV.DLL", L"C:\\d\\NAMES.GPD", L"C:\\d\\UNIDRV",
                   L"C:\\d\\DLL;UNIDRVUI", L"C:\\d\\unidrv.dll"},
                  nullptr, L"C:\\d\\TVDATA.GPD");
    {
        ScopedCallRecorder opens("CreateFileW", RecordAndForward);
        EXPECT_TRUE(CleanSpoolDriverFiles(&driver.info, FileNameSet()));
    }
    for (const std::wstring& file : kept)
        EXPECT_TRUE(PathExists(file)) << file << " must be spared: its listed name occurs in the keep list";
    for (const std::wstring& file : gone)
        EXPECT_FALSE(PathExists(file)) << file << " must be deleted";
    const std::vector<std::wstring> opens = RecordedCalls(L"CreateFileW");
    EXPECT_EQ(2, std::count(opens.begin(), opens.end(), m_root.substr(0, m_root.size() - 1)))
        << "one walk for unidrv.dll, one for the data file";
    EXPECT_TRUE(LogTexts().empty());
}

TEST_F(SpoolDriverFilesTest, DataFileIsDeletedEvenWhenKeptAndComesAlone)
{
    std::wstring files[] = {Make(L"x64\\3\\STDSCHMX.GDL"), Make(L"tavrel\\sub\\STDSCHMX.GDL.old")};
    Driver driver({}, nullptr, L"C:\\d\\STDSCHMX.GDL");
    driver.info.pDependentFiles = nullptr;
    EXPECT_TRUE(CleanSpoolDriverFiles(&driver.info, FileNameSet()));
    for (const std::wstring& file : files)
        EXPECT_FALSE(PathExists(file)) << file;
    EXPECT_TRUE(PathExists(m_root + L"tavrel\\sub\\")) << "folders are never removed here";

    // Nothing listed at all: no walk, TRUE.
    Driver empty({}, nullptr, L"");
    empty.info.pDependentFiles = nullptr;
    ScopedCallRecorder lists("GetFileInformationByHandleEx", RecordAndForward);
    EXPECT_TRUE(CleanSpoolDriverFiles(&empty.info, FileNameSet()));
    EXPECT_TRUE(RecordedCalls().empty());
}

TEST_F(SpoolDriverFilesTest, DependentWalkStopsAtANameWithoutBackslashAndAfterTheMonitor)
{
    std::wstring a = Make(L"x64\\3\\TVA.DLL");
    std::wstring b = Make(L"x64\\3\\TVB.DLL");
    std::wstring c = Make(L"x64\\3\\TVC.DLL");
    Driver noSlash({L"C:\\d\\TVA.DLL", L"TVB.DLL", L"C:\\d\\TVC.DLL"}, nullptr, L"C:\\d\\TVDATA.GPD");
    EXPECT_TRUE(CleanSpoolDriverFiles(&noSlash.info, FileNameSet()));
    EXPECT_FALSE(PathExists(a));
    EXPECT_TRUE(PathExists(b)) << "an item without a backslash ends the list";
    EXPECT_TRUE(PathExists(c)) << "nothing after it is listed";

    a = Make(L"x64\\3\\TVA2.DLL");
    std::wstring monitor = Make(L"x64\\3\\TVMON.DLL");
    std::wstring after = Make(L"x64\\3\\TVAFTER.DLL");
    Driver withMonitor({L"C:\\d\\TVA2.DLL", L"C:\\d\\TVMON.DLL", L"C:\\d\\TVAFTER.DLL"}, L"TVMON.DLL",
                       L"C:\\d\\TVDATA.GPD");
    EXPECT_TRUE(CleanSpoolDriverFiles(&withMonitor.info, FileNameSet()));
    EXPECT_FALSE(PathExists(a));
    EXPECT_FALSE(PathExists(monitor)) << "the monitor's own file is still listed";
    EXPECT_TRUE(PathExists(after)) << "the list ends after the monitor's file";

    // The monitor comparison is case-sensitive: "tvmon.dll" does not end the list.
    monitor = Make(L"x64\\3\\TVMON2.DLL");
    after = Make(L"x64\\3\\TVAFTER2.DLL");
    Driver otherCase({L"C:\\d\\TVMON2.DLL", L"C:\\d\\TVAFTER2.DLL"}, L"tvmon2.dll", L"C:\\d\\TVDATA.GPD");
    EXPECT_TRUE(CleanSpoolDriverFiles(&otherCase.info, FileNameSet()));
    EXPECT_FALSE(PathExists(monitor));
    EXPECT_FALSE(PathExists(after));
}

TEST_F(SpoolDriverFilesTest, NameRemovesEveryFileContainingItInEveryFolder)
{
    std::wstring gone[] = {Make(L"x64\\3\\TVABC.DLL"),     Make(L"W32X86\\3\\TVABC.DLL"),
                           Make(L"W32X86\\2\\TVABC.DLL"),  Make(L"tavrel\\sub\\XTVABC.DLL"),
                           Make(L"x64\\3\\TVABC.DLL.BAK"), Make(L"TVABC.DLL")};
    std::wstring kept[] = {Make(L"tavrel\\tvabc.dll"), Make(L"W32X86\\3\\TVAB.DLL")};
    Driver driver({L"C:\\Windows\\System32\\spool\\drivers\\x64\\3\\TVABC.DLL"}, nullptr, L"C:\\d\\TVDATA.GPD");
    EXPECT_TRUE(CleanSpoolDriverFiles(&driver.info, FileNameSet()));
    for (const std::wstring& file : gone)
        EXPECT_FALSE(PathExists(file)) << file;
    for (const std::wstring& file : kept)
        EXPECT_TRUE(PathExists(file)) << file;
    EXPECT_TRUE(PathExists(m_root + L"x64\\3\\wineps.drv")) << "another driver's file stays";
}

TEST_F(SpoolDriverFilesTest, AnyWalkThatLeavesAFileFailsTheCleanUp)
{
    // A name listed twice is walked twice; its read-only file fails both times. The data
    // file's walk comes last and succeeds: the clean-up fails all the same.
    std::wstring readOnly = Make(L"x64\\3\\TVRO.DLL");
    MakeReadOnly(readOnly);
    Make(L"x64\\3\\TVDATA.GPD");
    Driver driver({L"C:\\d\\TVRO.DLL", L"C:\\d\\TVRO.DLL"}, nullptr, L"C:\\d\\TVDATA.GPD");
    EXPECT_FALSE(CleanSpoolDriverFiles(&driver.info, FileNameSet())) << "an earlier walk's failure counts";
    EXPECT_FALSE(PathExists(m_root + L"x64\\3\\TVDATA.GPD"));
    std::vector<std::string> expected(2, ErrorRecordText(L"DeleteFile" + readOnly, ERROR_ACCESS_DENIED));
    EXPECT_EQ(expected, LogTexts());

    // No file matches any name: TRUE.
    ClearLogs();
    Driver none({L"C:\\d\\TVNONE1.DLL", L"C:\\d\\TVNONE2.DLL"}, nullptr, L"C:\\d\\TVNONE.GPD");
    EXPECT_TRUE(CleanSpoolDriverFiles(&none.info, FileNameSet()));

    // The data file's walk fails: FALSE, though a folder listed after the one that holds the
    // read-only copy is cleaned without fault (a walk fails for any step that failed).
    const std::vector<std::wstring> order = ListingOrder(m_root);
    const bool bTavrelFirst =
        std::find(order.begin(), order.end(), L"tavrel") < std::find(order.begin(), order.end(), L"x64");
    std::wstring dataFile = Make(bTavrelFirst ? L"tavrel\\TVDATA2.GPD" : L"x64\\3\\TVDATA2.GPD");
    std::wstring later = Make(bTavrelFirst ? L"x64\\3\\TVDATA2.GPD" : L"tavrel\\TVDATA2.GPD");
    MakeReadOnly(dataFile);
    Driver failing({L"C:\\d\\TVOK.DLL"}, nullptr, L"C:\\d\\TVDATA2.GPD");
    EXPECT_FALSE(CleanSpoolDriverFiles(&failing.info, FileNameSet()));
    EXPECT_FALSE(PathExists(later));
    expected = {ErrorRecordText(L"DeleteFile" + dataFile, ERROR_ACCESS_DENIED)};
    EXPECT_EQ(expected, LogTexts());
}

TEST_F(SpoolDriverFilesTest, UnknownWindowsFolderFailsWithoutWalking)
{
    std::wstring file = Make(L"x64\\3\\TVLOST.DLL");
    Driver driver({L"C:\\d\\TVLOST.DLL"}, nullptr, L"C:\\d\\TVLOST.DLL");
    for (bool bEmpty : {false, true}) {
        ClearLogs();
        ScopedFolderLookupFailure failure(CSIDL_WINDOWS, bEmpty, ERROR_PATH_NOT_FOUND);
        ScopedCallRecorder lists("GetFileInformationByHandleEx", RecordAndForward);
        ClearRecordedCalls();
        EXPECT_FALSE(CleanSpoolDriverFiles(&driver.info, FileNameSet())) << (bEmpty ? "empty answer" : "failed look-up");
        EXPECT_EQ(1, failure.Calls());
        EXPECT_TRUE(RecordedCalls().empty()) << "no walk on a path relative to the current drive";
        std::vector<std::string> expected = {ErrorRecordText(L"SHGetSpecialFolderPath", ERROR_PATH_NOT_FOUND)};
        EXPECT_EQ(expected, LogTexts());
    }
    EXPECT_TRUE(PathExists(file));
}

// Files that another installed driver lists stay, compared without regard to case: a name of
// the removed driver's own list, and a file that its substring match would reach.
TEST_F(SpoolDriverFilesTest, FilesOtherDriversListStay)
{
    std::wstring gone[] = {Make(L"x64\\3\\TVOWN.DLL"), Make(L"x64\\3\\TVOWNDATA.GPD"), Make(L"tavrel\\TVOWNDATA.GPD.BAK")};
    std::wstring kept[] = {Make(L"x64\\3\\TVSHARED.DLL"), Make(L"tavrel\\sub\\tvshared.dll"),
                           Make(L"x64\\3\\XTVOWNDATA.GPD")};
    Driver driver({L"C:\\d\\TVOWN.DLL", L"C:\\d\\TVSHARED.DLL"}, nullptr, L"C:\\d\\TVOWNDATA.GPD");
    const FileNameSet others = {L"tvshared.DLL", L"xtvowndata.gpd"};
    EXPECT_TRUE(CleanSpoolDriverFiles(&driver.info, others)) << "a file passed over is no failure";
    for (const std::wstring& path : gone)
        EXPECT_FALSE(PathExists(path)) << path;
    for (const std::wstring& path : kept)
        EXPECT_TRUE(PathExists(path)) << path;
    EXPECT_TRUE(LogTexts().empty());
}

// What the real spooler lists of the other drivers: every file name of theirs, the removed
// driver's twin of another environment included, none of the removed driver's own.
TEST_F(SpoolDriverFilesTest, OtherDriversFilesAreReadFromEveryEnvironment)
{
    const wchar_t kOwn[] = L"TV Read Own", kSibling[] = L"TV Read Sibling";
    const std::wstring x86 = L"Windows NT x86";
    ASSERT_TRUE(AddTestDriver(kOwn, L"TVRO.DLL", L"TVRO.GPD", {L"TVROSHARED.DLL", L"TVROX64ONLY.DLL"}));
    ASSERT_TRUE(AddTestDriver(kSibling, L"TVRS.DLL", L"XTVRO.GPD", {L"TVROSHARED.DLL"}));
    ASSERT_TRUE(AddTestDriver(kOwn, L"TVRO.DLL", L"TVRO.GPD", {L"TVROX86.HLP"}, L"", x86))
        << "the same driver for a second environment";
    std::vector<BYTE> record;
    {
        DWORD cb = 0, n = 0;
        std::wstring env = NativeEnvironment();
        EnumPrinterDriversW(nullptr, &env[0], 6, nullptr, 0, &cb, &n);
        record.resize(cb);
        ASSERT_TRUE(EnumPrinterDriversW(nullptr, &env[0], 6, record.data(), cb, &cb, &n));
        auto* p = reinterpret_cast<DRIVER_INFO_6W*>(record.data());
        auto own = std::find_if(p, p + n, [&](const DRIVER_INFO_6W& d) { return std::wstring(d.pName) == kOwn; });
        ASSERT_NE(p + n, own);
        std::memmove(record.data(), &*own, sizeof(DRIVER_INFO_6W));  // its strings stay where they are
    }
    const auto* pOwn = reinterpret_cast<const DRIVER_INFO_6W*>(record.data());

    OtherDrivers others;
    ASSERT_TRUE(ReadOtherDrivers(pOwn, others));
    for (const wchar_t* pName : {L"TVROSHARED.DLL", L"TVRS.DLL", L"XTVRO.GPD", L"TVRO.DLL", L"TVRO.GPD", L"TVROX86.HLP"})
        EXPECT_EQ(1u, others.fileNames.count(pName)) << pName;
    EXPECT_EQ(0u, others.fileNames.count(L"TVROX64ONLY.DLL")) << "only the removed driver itself lists it";
    EXPECT_EQ(1, std::count(others.names.begin(), others.names.end(), kSibling));
    EXPECT_EQ(1, std::count(others.names.begin(), others.names.end(), kOwn)) << "the twin, not the driver itself";

    // The twin gone, its names are the removed driver's own again.
    ASSERT_TRUE(DeleteTestDriver(kOwn, x86));
    ASSERT_TRUE(ReadOtherDrivers(pOwn, others));
    EXPECT_EQ(0u, others.fileNames.count(L"TVRO.DLL"));
    EXPECT_EQ(1u, others.fileNames.count(L"TVROSHARED.DLL"));
    EXPECT_EQ(0, std::count(others.names.begin(), others.names.end(), kOwn));
    EXPECT_TRUE(LogTexts().empty());
    DeleteTestDriver(kSibling);
    DeleteTestDriver(kOwn);
    for (const wchar_t* pFile : {L"TVRO.DLL", L"TVRO.GPD", L"TVROSHARED.DLL", L"TVROX64ONLY.DLL", L"TVRS.DLL", L"XTVRO.GPD"})
        DeleteFileW((DriverFolder() + pFile).c_str());
    for (const wchar_t* pFile : {L"TVRO.DLL", L"TVRO.GPD", L"TVROX86.HLP"})
        DeleteFileW((DriverFolder(x86) + pFile).c_str());
}

// A spooler that does not serve "all" is asked environment by environment; one that cannot
// list its drivers at all makes the read fail, with the call in the log.
DWORD g_dwAllError = 0, g_dwEveryError = 0;
void* g_pRealEnumDrivers = nullptr;
BOOL WINAPI PickyEnumDrivers(LPWSTR pServer, LPWSTR pEnv, DWORD level, LPBYTE pBuffer, DWORD cb, LPDWORD pcbNeeded,
                             LPDWORD pcReturned)
{
    DWORD dwError = pEnv && std::wstring(pEnv) == L"all" ? g_dwAllError : g_dwEveryError;
    if (dwError) {
        SetLastError(dwError);
        return FALSE;
    }
    return reinterpret_cast<decltype(&EnumPrinterDriversW)>(g_pRealEnumDrivers)(pServer, pEnv, level, pBuffer, cb,
                                                                                pcbNeeded, pcReturned);
}

TEST_F(SpoolDriverFilesTest, OtherDriversFilesWithoutAllOrWithoutAnyList)
{
    ASSERT_TRUE(AddTestDriver(L"TV Picky Other", L"TVPO.DLL", L"TVPO.GPD"));
    Driver removed({L"C:\\d\\TVPR.DLL"}, nullptr, L"C:\\d\\TVPR.GPD");
    ScopedImportPatch patch("winspool.drv", "EnumPrinterDriversW", reinterpret_cast<void*>(&PickyEnumDrivers));
    g_pRealEnumDrivers = patch.Original();
    OtherDrivers others;
    g_dwAllError = ERROR_INVALID_ENVIRONMENT;
    EXPECT_TRUE(ReadOtherDrivers(&removed.info, others));
    EXPECT_EQ(1u, others.fileNames.count(L"TVPO.GPD"));
    EXPECT_TRUE(LogTexts().empty());

    g_dwEveryError = RPC_S_SERVER_UNAVAILABLE;
    EXPECT_FALSE(ReadOtherDrivers(&removed.info, others));
    EXPECT_TRUE(others.fileNames.empty());
    EXPECT_TRUE(others.names.empty());
    g_dwAllError = ERROR_ACCESS_DENIED;
    EXPECT_FALSE(ReadOtherDrivers(&removed.info, others));
    std::vector<std::string> expected = {ErrorRecordText(L"EnumPrinterDrivers", RPC_S_SERVER_UNAVAILABLE),
                                         ErrorRecordText(L"EnumPrinterDrivers", ERROR_ACCESS_DENIED)};
    EXPECT_EQ(expected, LogTexts());
    g_dwAllError = g_dwEveryError = 0;
    DeleteTestDriver(L"TV Picky Other");
    for (const wchar_t* pFile : {L"TVPO.DLL", L"TVPO.GPD"})
        DeleteFileW((DriverFolder() + pFile).c_str());
}

}  // namespace
