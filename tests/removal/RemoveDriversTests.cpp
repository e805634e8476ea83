// The removal sequence in-process, on the real spooler and real files of the throwaway prefix,
// with stand-ins for the calls Wine lacks. Pauses are recorded and shortened so that the
// order and length of every fixed pause can be checked without waiting for it.
#include <gtest/gtest.h>
#include <windows.h>
#include <setupapi.h>
#include <winspool.h>

#include <algorithm>
#include <mutex>

#include "ImportPatch.h"
#include "SpoolerSetup.h"
#include "SpoolerStandIns.h"
#include "TestSupport.h"
#include "WindowsStandIns.h"
#include "engine/RemoveDrivers.h"
#include "shell/CommandLine.h"
#include "log/Log.h"

namespace {

std::mutex g_sleepMutex;
std::vector<DWORD> g_sleeps;
void WINAPI RecordingSleep(DWORD ms)
{
    {
        std::lock_guard<std::mutex> lock(g_sleepMutex);
        g_sleeps.push_back(ms);
    }
    ::SleepEx(std::min<DWORD>(ms, 100), FALSE);
}

// True when `needle` occurs in `hay` in this order (other elements may stand between).
bool InOrder(const std::vector<DWORD>& hay, const std::vector<DWORD>& needle)
{
    size_t i = 0;
    for (DWORD v : hay)
        if (i < needle.size() && v == needle[i])
            ++i;
    return i == needle.size();
}

bool StartsWith(const std::wstring& s, const std::wstring& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

std::vector<std::wstring> CallsStartingWith(const std::wstring& prefix)
{
    std::vector<std::wstring> out;
    for (const std::wstring& c : StandInCalls())
        if (StartsWith(c, prefix))
            out.push_back(c);
    return out;
}

const wchar_t kDriver[] = L"RD Laser 100";
const wchar_t kPrinter[] = L"RD Office Printer";

class RemoveDriversTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ClearLogs();
        ClearStandInCalls();
        StandInReset();
        SetStandInDevNodeResults(CR_SUCCESS, CR_SUCCESS);
        g_sleeps.clear();
        ASSERT_TRUE(StartServiceAndWait(L"Spooler"));
    }
    void TearDown() override
    {
        StartServiceAndWait(L"Spooler");
        DeletePrinterByName(kPrinter);
        DeletePrinterByName(L"RD Second Printer");
        DeletePrinterByName(kDriver);
        DeleteTestDriver(kDriver);
        DeleteTestDriver(L"RD Job Driver");
        for (const wchar_t* f : {L"RDL100.DLL", L"RDL100.GPD", L"RDL100RES.DLL", L"RDJOB.DLL", L"RDJOB.GPD"}) {
            SetFileAttributesW((DriverFolder() + f).c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW((DriverFolder() + f).c_str());
        }
        ClearLogs();
    }
    // The driver with its files and a printer of another name that uses it.
    void InstallPrinterRow(DriverListEntry& entry)
    {
        ASSERT_TRUE(AddTestDriver(kDriver, L"RDL100.DLL", L"RDL100.GPD", {L"RDL100RES.DLL"}));
        ASSERT_EQ(0u, AddTestPrinter(kPrinter, kDriver));
        m_record = PrinterDriverRecord(kPrinter);
        ASSERT_FALSE(m_record.empty());
        entry.pDriverInfo = reinterpret_cast<DRIVER_INFO_6W*>(m_record.data());
        entry.strPrinterName = kPrinter;
        entry.bIsPrinter = 1;
        entry.strDriverName = kDriver;
    }

    std::vector<BYTE> m_record;
    ScopedImportPatch m_sleep{"kernel32.dll", "Sleep", reinterpret_cast<void*>(&RecordingSleep)};
    ScopedImportPatch m_enumJobs{"winspool.drv", "EnumJobsW", reinterpret_cast<void*>(&StandInEnumJobsW)};
    ScopedImportPatch m_setJob{"winspool.drv", "SetJobW", reinterpret_cast<void*>(&StandInSetJobW)};
    ScopedImportPatch m_deleteDriver{"winspool.drv", "DeletePrinterDriverExW",
                                     reinterpret_cast<void*>(&StandInDeletePrinterDriverExW)};
    ScopedImportPatch m_locate{"setupapi.dll", "CM_Locate_DevNodeW", reinterpret_cast<void*>(&StandInCM_Locate_DevNodeW)};
    ScopedImportPatch m_reenumerate{"setupapi.dll", "CM_Reenumerate_DevNode",
                                    reinterpret_cast<void*>(&StandInCM_Reenumerate_DevNode)};
    ScopedImportPatch m_oemInf{"setupapi.dll", "SetupUninstallOEMInfW",
                               reinterpret_cast<void*>(&StandInSetupUninstallOEMInfW)};
};

TEST_F(RemoveDriversTest, EmptyListCyclesTheSpoolerAndReenumerates)
{
    std::wstring spl = SystemFolder() + L"\\spool\\PRINTERS\\00042.SPL";
    WriteFileBytes(spl, "job");
    EXPECT_TRUE(RemoveDrivers({}));
    EXPECT_TRUE(InOrder(g_sleeps, {2000, 1000, 1000, 1000})) << "restart pause, then the three 1000 ms pauses";
    EXPECT_FALSE(FileExists(spl)) << "the spool files go with every removal";
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), ServiceState(L"Spooler"));
    EXPECT_TRUE(CallsStartingWith(L"DeletePrinterDriverExW").empty());
    EXPECT_EQ((std::vector<std::wstring>{L"CM_Locate_DevNodeW|(null)|0", L"CM_Reenumerate_DevNode|1|4"}), StandInCalls());
    EXPECT_EQ(0u, StandInEnumJobsCalls());
    EXPECT_TRUE(LogTexts().empty());
}

TEST_F(RemoveDriversTest, PrinterRowWithItsDriverRemovesBoth)
{
    DriverListEntry entry;
    ASSERT_NO_FATAL_FAILURE(InstallPrinterRow(entry));
    std::wstring env = entry.pDriverInfo->pEnvironment;
    DWORD version = entry.pDriverInfo->cVersion;
    EXPECT_TRUE(RemoveDrivers({entry}));

    EXPECT_FALSE(PrinterExists(kPrinter));
    EXPECT_FALSE(DriverExists(kDriver));
    for (const wchar_t* f : {L"RDL100.DLL", L"RDL100.GPD", L"RDL100RES.DLL"})
        EXPECT_FALSE(FileExists(DriverFolder() + f)) << Ansi(f);
    EXPECT_EQ(std::vector<std::wstring>{L"DeletePrinterDriverExW|(null)|" + env + L"|" + kDriver + L"|1|" +
                                        std::to_wstring(version)},
              CallsStartingWith(L"DeletePrinterDriverExW"));
    EXPECT_EQ(0u, StandInEnumJobsCalls()) << "no printer bears the driver's name: no queue to read";
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), ServiceState(L"Spooler"));
    EXPECT_TRUE(LogTexts().empty());
}

TEST_F(RemoveDriversTest, PrinterRowWithoutRecordLeavesTheDriver)
{
    DriverListEntry entry;
    ASSERT_NO_FATAL_FAILURE(InstallPrinterRow(entry));
    entry.pDriverInfo = nullptr;  // the driver is shared with another row
    EXPECT_TRUE(RemoveDrivers({entry}));
    EXPECT_FALSE(PrinterExists(kPrinter));
    EXPECT_TRUE(DriverExists(kDriver));
    EXPECT_TRUE(FileExists(DriverFolder() + L"RDL100.DLL"));
    EXPECT_TRUE(CallsStartingWith(L"DeletePrinterDriverExW").empty());
}

// The printer listing with no driver named for one printer (a connection whose server is off):
// stood in, as Wine's names every printer's driver.
std::wstring g_strUnnamedDriverOf;
void* g_pRealEnumPrinters = nullptr;
BOOL WINAPI ListingWithoutADriverName(DWORD dwFlags, LPWSTR pName, DWORD level, LPBYTE pBuffer, DWORD cb,
                                      LPDWORD pcbNeeded, LPDWORD pcReturned)
{
    const BOOL bListed = reinterpret_cast<decltype(&EnumPrintersW)>(g_pRealEnumPrinters)(dwFlags, pName, level, pBuffer,
                                                                                       cb, pcbNeeded, pcReturned);
    auto* pInfos = reinterpret_cast<PRINTER_INFO_2W*>(pBuffer);
    for (DWORD i = 0; bListed && level == 2 && i < *pcReturned; ++i)
        if (g_strUnnamedDriverOf == pInfos[i].pPrinterName)
            pInfos[i].pDriverName = nullptr;
    return bListed;
}

// Before its first step the removal lists the printers afresh: a driver row whose driver a
// printer uses (a connection whose driver the list could not learn, a printer added since)
// removes nothing and fails; a printer row whose driver another printer uses, or may use (the
// listing names none for it), removes only its printer. Each kept driver is logged and
// reported. A printer may spell its driver's name in another case (Wine keeps the spelling).
TEST_F(RemoveDriversTest, DriverAPrinterStillUsesIsNeverRemoved)
{
    DriverListEntry entry;
    ASSERT_NO_FATAL_FAILURE(InstallPrinterRow(entry));
    entry.bIsPrinter = 0;
    entry.strPrinterName.clear();
    const std::string kept = Ansi(std::wstring(L"驱动仍被打印机使用，未卸载：") + kDriver);
    EXPECT_FALSE(RemoveDrivers({entry}));
    EXPECT_TRUE(g_sleeps.empty()) << "nothing was done, not even the spooler restart";
    EXPECT_TRUE(PrinterExists(kPrinter));
    EXPECT_TRUE(DriverExists(kDriver));
    EXPECT_TRUE(FileExists(DriverFolder() + L"RDL100.GPD"));
    EXPECT_EQ(std::vector<std::string>{kept}, LogTexts());

    const wchar_t kSecond[] = L"RD Second Printer";
    ASSERT_TRUE(AddTestDriver(L"RD Job Driver", L"RDJOB.DLL", L"RDJOB.GPD"));
    ScopedImportPatch listing("winspool.drv", "EnumPrintersW", reinterpret_cast<void*>(&ListingWithoutADriverName));
    g_pRealEnumPrinters = listing.Original();
    entry.bIsPrinter = 1;
    entry.strPrinterName = kPrinter;
    for (const wchar_t* pSecondsDriver : {L"rd LASER 100", L"RD Job Driver"}) {
        SCOPED_TRACE(Ansi(pSecondsDriver));
        ClearLogs();
        ASSERT_EQ(0u, AddTestPrinter(kPrinter, kDriver));
        ASSERT_EQ(0u, AddTestPrinter(kSecond, pSecondsDriver));
        g_strUnnamedDriverOf = std::wstring(pSecondsDriver) == L"RD Job Driver" ? kSecond : L"";
        RemovalReport report;
        EXPECT_TRUE(RemoveDrivers({entry}, &report));
        EXPECT_FALSE(PrinterExists(kPrinter));
        EXPECT_TRUE(DriverExists(kDriver)) << "the second printer uses it, or may";
        EXPECT_TRUE(FileExists(DriverFolder() + L"RDL100.GPD"));
        EXPECT_TRUE(CallsStartingWith(L"DeletePrinterDriverExW").empty());
        EXPECT_EQ(std::vector<std::string>{kept}, LogTexts());
        ASSERT_EQ(1u, report.rows.size());
        EXPECT_TRUE(report.rows[0].bPrinterRemoved);
        EXPECT_FALSE(report.rows[0].bDriverRemoved);
        EXPECT_EQ(kSecond, report.rows[0].strDriverKeptFor);
        EXPECT_EQ(!g_strUnnamedDriverOf.empty(), report.rows[0].bDriverUnknown);
        DeletePrinterByName(kSecond);
    }

    // Unattended, a named driver that the fresh check keeps is no success.
    ASSERT_EQ(0u, AddTestPrinter(kPrinter, kDriver));
    ASSERT_EQ(0u, AddTestPrinter(kSecond, L"RD Job Driver"));
    EXPECT_EQ(kExitFailed, RunCommandLine({L"/quiet", L"/printer", kPrinter, L"/driver", kDriver}));
    EXPECT_FALSE(PrinterExists(kPrinter));
    EXPECT_TRUE(DriverExists(kDriver));
    DeletePrinterByName(kSecond);
}

// A removal of several rows deletes what any row's clean-up deletes: in its plan a remove
// outweighs a keep of the same item and target, in either order, paths compared as Windows does.
TEST(RemovalPlan, ARemoveOutweighsAKeepOfTheSameTarget)
{
    RemovalPlan plan;
    AddToPlan(plan, L"driver-file", L"C:\\A\\X.DLL", {false, L"file-of-another-driver", L"B"});
    AddToPlan(plan, L"driver-file", L"c:\\a\\x.dll", {true, L"file-of-driver", L"A"});
    AddToPlan(plan, L"driver-file", L"C:\\A\\X.DLL", {false, L"core-file", L""});
    AddToPlan(plan, L"oem-inf", L"C:\\A\\X.DLL", {false, L"unreadable", L""});
    ASSERT_EQ(2u, plan.size());
    EXPECT_TRUE(plan[0].decision.bRemove);
    EXPECT_EQ(std::wstring(L"file-of-driver"), plan[0].decision.pRule);
    EXPECT_EQ(L"A", plan[0].decision.strBecause);
    EXPECT_FALSE(plan[1].decision.bRemove) << "another item is another line";
}

// Under WOW64 pnputil may finish an OEM INF's uninstall only at the next restart (3010). That is
// no failure: the unattended run ends with 3010, which management tools read as "restart to
// finish", and the log says why instead of recording a failure.
const wchar_t kRestartInf[] = L"oem9601.inf";
void* g_pRealCreateProcess = nullptr;
BOOL WINAPI RefusingA32BitCaller(PCWSTR, DWORD, PVOID)
{
    SetLastError(ERROR_IN_WOW64);
    return FALSE;
}
BOOL WINAPI PnpUtilAskingForARestart(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES pProcess, LPSECURITY_ATTRIBUTES pThread,
                                     BOOL bInherit, DWORD dwFlags, LPVOID pEnvironment, LPCWSTR pDirectory,
                                     LPSTARTUPINFOW pStartup, LPPROCESS_INFORMATION pInfo)
{
    DeleteFileW((WindowsFolder() + L"\\inf\\" + kRestartInf).c_str());
    std::wstring command = SystemFolder() + L"\\cmd.exe /c exit 3010";
    return reinterpret_cast<decltype(&CreateProcessW)>(g_pRealCreateProcess)(
        nullptr, &command[0], pProcess, pThread, bInherit, dwFlags, pEnvironment, pDirectory, pStartup, pInfo);
}

TEST_F(RemoveDriversTest, PnpUtilAskingForARestartEndsAnUnattendedRunWith3010)
{
    DriverListEntry entry;
    ASSERT_NO_FATAL_FAILURE(InstallPrinterRow(entry));
    WriteFileBytes(WindowsFolder() + L"\\inf\\" + kRestartInf, "[Strings]\r\nName=\"RD Laser 100\"\r\n");
    ScopedImportPatch setup("setupapi.dll", "SetupUninstallOEMInfW", reinterpret_cast<void*>(&RefusingA32BitCaller));
    ScopedImportPatch start("kernel32.dll", "CreateProcessW", reinterpret_cast<void*>(&PnpUtilAskingForARestart));
    g_pRealCreateProcess = start.Original();
    EXPECT_EQ(kExitRestartNeeded, RunCommandLine({L"/quiet", L"/printer", kPrinter, L"/driver", kDriver}));
    EXPECT_FALSE(PrinterExists(kPrinter));
    EXPECT_FALSE(DriverExists(kDriver));
    EXPECT_EQ(std::vector<std::string>{Ansi(std::wstring(L"卸载完成，需要重新启动计算机：pnputil ") + kRestartInf)},
              LogTexts());
}

TEST_F(RemoveDriversTest, FailedFileCleanupLeavesTheSpoolerStopped)
{
    DriverListEntry entry;
    ASSERT_NO_FATAL_FAILURE(InstallPrinterRow(entry));
    std::wstring data = DriverFolder() + L"RDL100.GPD";
    SetFileAttributesW(data.c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_FALSE(RemoveDrivers({entry}));
    // The walk names the file as it builds the path: Windows folder + "\System32\spool\drivers\".
    std::wstring below = data.substr((SystemFolder() + L"\\spool\\drivers\\").size());
    std::wstring walked = WindowsFolder() + L"\\System32\\spool\\drivers\\" + below;
    EXPECT_EQ(std::vector<std::string>{ErrorRecordText(L"DeleteFile" + walked, ERROR_ACCESS_DENIED)}, LogTexts());
    EXPECT_TRUE(WaitServiceState(L"Spooler", SERVICE_STOPPED, 60000)) << "nothing starts the spooler again";
    ASSERT_TRUE(StartServiceAndWait(L"Spooler"));
    EXPECT_TRUE(PrinterExists(kPrinter));
    EXPECT_TRUE(DriverExists(kDriver));
    EXPECT_TRUE(StandInCalls().empty());

    // Unattended, no one is there to restart the PC: the same failure leaves the spooler
    // running, and says so.
    ClearLogs();
    EXPECT_EQ(kExitFailed, RunCommandLine({L"/quiet", L"/printer", kPrinter, L"/driver", kDriver}));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), ServiceState(L"Spooler"));
    EXPECT_EQ(Ansi(L"卸载失败，已重新开启打印服务"), LogTexts().back());
    EXPECT_TRUE(PrinterExists(kPrinter));
}

TEST_F(RemoveDriversTest, JobDeletionFailureStopsBeforeTheSpoolerStop)
{
    DriverListEntry entry;
    ASSERT_NO_FATAL_FAILURE(InstallPrinterRow(entry));
    // A printer named like the driver, with a job; it prints with a driver of its own, or the
    // removal would keep the driver for it and delete no job.
    ASSERT_TRUE(AddTestDriver(L"RD Job Driver", L"RDJOB.DLL", L"RDJOB.GPD"));
    ASSERT_EQ(0u, AddTestPrinter(kDriver, L"RD Job Driver"));
    StandInQueueJobs(kDriver, 2);
    StandInFailSetJob(10, ERROR_ACCESS_DENIED);
    EXPECT_FALSE(RemoveDrivers({entry}));
    EXPECT_EQ((std::vector<std::string>{ErrorRecordText(L"SetJob", ERROR_ACCESS_DENIED), Ansi(L"删除打印作业失败")}),
              LogTexts());
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), ServiceState(L"Spooler"));
    EXPECT_TRUE(PrinterExists(kPrinter));
    EXPECT_TRUE(FileExists(DriverFolder() + L"RDL100.DLL"));
}

// The configuration manager answers through its result code, not the thread's last error, which
// the record appends as it finds it: here a known one, so that the record can be read whole.
CONFIGRET WINAPI LocateLeavingKnownError(PDEVINST pdnDevInst, DEVINSTID_W pDeviceID, ULONG ulFlags)
{
    const CONFIGRET cr = StandInCM_Locate_DevNodeW(pdnDevInst, pDeviceID, ulFlags);
    SetLastError(ERROR_NOT_FOUND);
    return cr;
}

TEST_F(RemoveDriversTest, DeviceReenumerationFailuresAreLoggedAndTolerated)
{
    ScopedImportPatch locate("setupapi.dll", "CM_Locate_DevNodeW", reinterpret_cast<void*>(&LocateLeavingKnownError));
    SetStandInDevNodeResults(0x1F, CR_SUCCESS);
    EXPECT_TRUE(RemoveDrivers({}));
    EXPECT_EQ(std::vector<std::wstring>{L"CM_Locate_DevNodeW|(null)|0"}, StandInCalls()) << "no re-enumeration";
    EXPECT_EQ(std::vector<std::string>{ErrorRecordText(L"CM_Locate_DevNode   failed:   1f\n ", ERROR_NOT_FOUND)},
              LogTexts());

    ClearLogs();
    ClearStandInCalls();
    SetStandInDevNodeResults(CR_SUCCESS, 0x13);
    EXPECT_TRUE(RemoveDrivers({}));
    std::vector<std::string> texts = LogTexts();
    ASSERT_EQ(1u, texts.size());
    EXPECT_EQ(0u, texts[0].find("CM_Reenumerate_DevNode   failed:   13\n ")) << texts[0];
}

// When the other drivers' files cannot be listed, nothing in the spooler's driver folder is
// deleted on the walk's account; the rest of the removal goes on (the spooler's own deletion
// takes the driver's unused files).
void* g_pRealEnumDrivers = nullptr;
BOOL WINAPI AllUnreadable(LPWSTR pServer, LPWSTR pEnv, DWORD level, LPBYTE pBuffer, DWORD cb, LPDWORD pcbNeeded,
                          LPDWORD pcReturned)
{
    if (pEnv && std::wstring(pEnv) == L"all") {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return reinterpret_cast<decltype(&EnumPrinterDriversW)>(g_pRealEnumDrivers)(pServer, pEnv, level, pBuffer, cb,
                                                                                pcbNeeded, pcReturned);
}

// Without the other drivers, no file clean-up can tell what is theirs: none runs.
// The file clean-ups passed over: the removal goes on to its end (the spooler must come back)
// and ends as a failure, with the record of the failed listing.
TEST_F(RemoveDriversTest, UnreadableDriverListLeavesTheDriversFilesGoesOnAndFails)
{
    DriverListEntry entry;
    ASSERT_NO_FATAL_FAILURE(InstallPrinterRow(entry));
    const std::wstring copy = DriverFolder(L"Windows NT x86") + L"RDL100RES.DLL";
    MakeDirs(DriverFolder(L"Windows NT x86"));
    WriteFileBytes(copy, "a copy");
    const std::string inf = "[Strings]\r\nDriverName=\"" + Ansi(kDriver) + "\"\r\n";
    const std::wstring oem = WindowsFolder() + L"\\inf\\oem9301.inf";
    const std::wstring package = NativeSystemFolder() + L"\\DriverStore\\FileRepository\\rdl100.inf_amd64_9301\\";
    WriteFileBytes(oem, inf);
    MakeDirs(package);
    WriteFileBytes(package + L"rdl100.inf", inf);
    ScopedImportPatch patch("winspool.drv", "EnumPrinterDriversW", reinterpret_cast<void*>(&AllUnreadable));
    g_pRealEnumDrivers = patch.Original();
    EXPECT_FALSE(RemoveDrivers({entry})) << "the driver's files were left: no success";
    EXPECT_TRUE(FileExists(copy)) << "the walk did not run";
    EXPECT_TRUE(FileExists(oem)) << "the INF was not uninstalled";
    EXPECT_TRUE(FileExists(package + L"rdl100.inf")) << "the package was not deleted";
    DeleteFileW(oem.c_str());
    RemoveTree(package);
    EXPECT_FALSE(PrinterExists(kPrinter));
    EXPECT_FALSE(DriverExists(kDriver));
    EXPECT_EQ(1u, CallsStartingWith(L"CM_Reenumerate_DevNode").size()) << "the removal went on to its end";
    EXPECT_EQ(std::vector<std::string>{ErrorRecordText(L"EnumPrinterDrivers", ERROR_ACCESS_DENIED)}, LogTexts());
    DeleteFileW(copy.c_str());
}

}  // namespace
