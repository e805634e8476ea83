// Whole removals through the real Uninstall.exe, driven as a user would, on a prefix prepared
// like a PC with the maker's drivers installed. The calls Wine lacks are stood in for by
// standins.dll, loaded into the running program; the program itself is the one that ships.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>
#include <setupapi.h>

#include <algorithm>
#include <iterator>
#include <cstdio>
#include <memory>
#include <thread>

#include "FileTree.h"
#include "GuiDriver.h"
#include "Inject.h"
#include "SpoolerSetup.h"
#include "TestSupport.h"
#include "shell/CommandLine.h"
#include "shell/RemovalLock.h"

namespace {

const wchar_t kTitle[] = L"Printer Driver Uninstaller";
const wchar_t kWarning[] = L"卸载驱动前请确认已关闭打印机设备，并退出所有应用程序！";
const wchar_t kSuccess[] = L"驱动卸载成功，立即重启电脑！";
const wchar_t kFailure[] = L"驱动卸载失败！\r\n请检查是否有其他应用程序正在使用打印机！请重启电脑后再次卸载驱动！";
const wchar_t kLaser[] = L"TAVREL Laser 100";     // its printer bears its name
const wchar_t kShared[] = L"TAVREL Shared 200";   // two printers use it
const wchar_t kFax[] = L"TAVREL Fax 300";         // installed, no printer
const wchar_t kOther[] = L"Office Copier Driver";  // another maker's, must stay
const wchar_t kCopier[] = L"TAVREL Copier 500";     // shares a file with the laser driver, must stay
const wchar_t kPlus[] = L"TAVREL Laser 100 Plus";   // the laser's name is a part of its name; must stay
const wchar_t kChinese[] = L"塔维 办公室打印机";       // a printer with a Chinese name (for /list)
// A removal takes 30 s here and in the guest when idle; the guest with its host busy is several
// times slower. The wait ends with the box.
const DWORD kRemovalTimeoutMs = 600000;

std::wstring SpoolDrivers() { return SystemFolder() + L"\\spool\\drivers\\"; }
// An environment's folder, named as on disk where it is there already (a 32-bit Wine prefix has
// its own "w32x86"): the log records name the folders as the walk lists them.
std::wstring Env(const std::wstring& environment)
{
    WIN32_FIND_DATAW found;
    HANDLE hFind = FindFirstFileW((SpoolDrivers() + environment).c_str(), &found);
    const std::wstring name = hFind != INVALID_HANDLE_VALUE ? found.cFileName : environment;
    if (hFind != INVALID_HANDLE_VALUE)
        FindClose(hFind);
    return SpoolDrivers() + name + L"\\3\\";
}
// A file below the spooler's driver folder as the clean-up names it in its log records.
std::wstring Walked(const std::wstring& path)
{
    return WindowsFolder() + L"\\System32\\spool\\drivers\\" + path.substr(SpoolDrivers().size());
}

// The native store: from a 32-bit test program under WOW64 through Sysnative, as the program reaches it.
std::wstring Repository() { return NativeSystemFolder() + L"\\DriverStore\\FileRepository\\"; }
std::wstring InfFolder() { return WindowsFolder() + L"\\inf\\"; }
std::wstring SpoolFolder() { return SystemFolder() + L"\\spool\\PRINTERS\\"; }
std::wstring RecordFile() { return L"C:\\e2e\\calls.txt"; }

void Put(const std::wstring& path, const std::string& content)
{
    MakeDirs(path.substr(0, path.rfind(L'\\') + 1));
    WriteFileBytes(path, content);
}

std::string Utf16Bytes(const std::wstring& text)
{
    std::string bytes("\xFF\xFE", 2);
    for (wchar_t c : text) {
        bytes.push_back(static_cast<char>(c & 0xFF));
        bytes.push_back(static_cast<char>(c >> 8));
    }
    return bytes;
}

std::string Inf(const std::wstring& model, const std::wstring& secondModel = L"")
{
    std::string text = "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=Printer\r\n\r\n[Models]\r\n\"" + Ansi(model) +
                       "\" = INSTALL,USBPRINT\\TAVREL\r\n";
    if (!secondModel.empty())
        text += "\"" + Ansi(secondModel) + "\" = INSTALL2,USBPRINT\\TAVREL2\r\n";
    return text;
}

std::vector<std::wstring> ReadRecordFile()
{
    std::wstring text = Wide(ReadFileBytes(RecordFile()));
    std::vector<std::wstring> lines;
    size_t start = 0;
    for (size_t end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

// A PC with the maker's drivers installed, and another maker's printer beside them.
class RemovalEndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        ClearLogs();
        ASSERT_TRUE(StartServiceAndWait(L"Spooler"));
        MakeDirs(L"C:\\e2e\\");
        DeleteFileW(RecordFile().c_str());

        // Drivers and printers, through the spooler.
        ASSERT_TRUE(AddTestDriver(kLaser, L"TVL100.DLL", L"TVL100.GPD",
                                  {L"TVL100RES.DLL", L"TVL100UI.DLL", L"UNIDRV.DLL", L"TAVRELCOM.DLL"}));
        // Its data file's name contains the laser driver's (TVL100.GPD).
        ASSERT_TRUE(AddTestDriver(kCopier, L"TVC500.DLL", L"XTVL100.GPD", {L"TAVRELCOM.DLL"}));
        ASSERT_TRUE(AddTestDriver(kShared, L"TVS200.DLL", L"TVS200.GPD", {L"TVS200UI.DLL", L"UNIDRV.DLL"}));
        ASSERT_TRUE(AddTestDriver(kFax, L"TVF300.DLL", L"TVF300.GPD", {L"TVF300UI.DLL"}));
        ASSERT_TRUE(AddTestDriver(kOther, L"OCD.DLL", L"OCD.GPD", {L"OCDUI.DLL", L"UNIDRV.DLL"}));
        ASSERT_TRUE(AddTestDriver(kPlus, L"TVL100P.DLL", L"TVL100P.GPD"));
        ASSERT_EQ(0u, AddTestPrinter(kLaser, kLaser));
        ASSERT_EQ(0u, AddTestPrinter(L"Shared Front", kShared));
        ASSERT_EQ(0u, AddTestPrinter(L"Shared Back", kShared));
        ASSERT_EQ(0u, AddTestPrinter(L"Office Copier", kOther));

        // Copies and look-alikes of the laser driver's files in the 32-bit environment folder.
        for (const wchar_t* f : {L"TVL100RES.DLL", L"XTVL100RES.DLL", L"TVL100.GPD.BAK", L"tvl100ui.dll", L"OTHER.DLL"})
            Put(Env(L"W32X86") + f, "copy");

        // OEM INF files: mentioning the laser driver (in lower case), another driver's, one in
        // UTF-16 and one with an upper-case name that mention it too.
        Put(InfFolder() + L"oem90.inf", Inf(L"tavrel laser 100"));
        // Its precompiled twin holds its strings in UTF-16, so it does not match itself.
        Put(InfFolder() + L"oem90.pnf", std::string("PNF\x02\x00", 5) + Utf16Bytes(kLaser));
        Put(InfFolder() + L"oem91.inf", Inf(kOther));
        Put(InfFolder() + L"oem92.inf", Utf16Bytes(L"[Models]\r\n\"TAVREL Laser 100\"\r\n"));
        Put(InfFolder() + L"OEM93.INF", Inf(kLaser));
        // The family INF of the laser and the fax driver, published and in the store.
        Put(InfFolder() + L"oem94.inf", Inf(kLaser, kFax));

        // Driver-store packages: the laser driver's, another maker's, and a suite whose
        // sub-folder holds an INF for the laser driver.
        Put(Repository() + L"tvl100.inf_amd64_1a2b3c\\tvl100.inf", Inf(kLaser));
        Put(Repository() + L"tvl100.inf_amd64_1a2b3c\\amd64\\TVL100.DLL", "MZ");
        Put(Repository() + L"office.inf_amd64_4d5e6f\\office.inf", Inf(kOther));
        Put(Repository() + L"suite.inf_amd64_7a8b9c\\suite.inf", Inf(L"TAVREL Suite"));
        Put(Repository() + L"suite.inf_amd64_7a8b9c\\laser\\tvl100sub.inf", Inf(kLaser));
        // The family package, which the fax driver still comes from, and the Plus driver's own.
        Put(Repository() + L"tvfamily.inf_amd64_3c4d5e\\tvfamily.inf", Inf(kLaser, kFax));
        Put(Repository() + L"tvl100p.inf_amd64_2b3c4d\\tvl100p.inf", Inf(kPlus));
        // One of Windows' own packages, whose INF lists the laser among many models.
        Put(InfFolder() + L"tvprnms.inf", Inf(L"Generic"));
        Put(Repository() + L"tvprnms.inf_amd64_9d8e7f\\tvprnms.inf", Inf(kLaser));

        // Spool files of queued jobs.
        for (const wchar_t* f : {L"00011.SPL", L"00011.SHD", L"sub\\00012.SPL", L"00013.spl"})
            Put(SpoolFolder() + f, "job data");
    }

    void TearDown() override
    {
        if (m_pProcess)
            m_pProcess->Terminate();
        StartServiceAndWait(L"Spooler");
        for (const wchar_t* p : {kLaser, L"Shared Front", L"Shared Back", L"Office Copier", kChinese})
            DeletePrinterByName(p);
        for (const wchar_t* d : {kLaser, kShared, kFax, kOther, kCopier, kPlus})
            DeleteTestDriver(d);
        for (const wchar_t* f : {L"TVL100.DLL", L"TVL100.GPD", L"TVL100RES.DLL", L"TVL100UI.DLL", L"UNIDRV.DLL",
                                 L"TVS200.DLL", L"TVS200.GPD", L"TVS200UI.DLL", L"TVF300.DLL", L"TVF300.GPD",
                                 L"TVF300UI.DLL", L"OCD.DLL", L"OCD.GPD", L"OCDUI.DLL", L"TAVRELCOM.DLL",
                                 L"TVC500.DLL", L"XTVL100.GPD", L"TVL100P.DLL", L"TVL100P.GPD"}) {
            SetFileAttributesW((DriverFolder() + f).c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW((DriverFolder() + f).c_str());
        }
        // Only what the test put there: the folder may be the prefix's own (a 32-bit prefix has one).
        for (const wchar_t* f : {L"TVL100RES.DLL", L"XTVL100RES.DLL", L"TVL100.GPD.BAK", L"tvl100ui.dll", L"OTHER.DLL"}) {
            SetFileAttributesW((Env(L"W32X86") + f).c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW((Env(L"W32X86") + f).c_str());
        }
        RemoveDirectoryW(Env(L"W32X86").c_str());
        RemoveDirectoryW((SpoolDrivers() + L"W32X86").c_str());
        for (const wchar_t* f :
             {L"oem90.inf", L"oem90.pnf", L"oem91.inf", L"oem92.inf", L"OEM93.INF", L"oem94.inf", L"tvprnms.inf"})
            DeleteFileW((InfFolder() + f).c_str());
        RemoveTree(Repository());
        RemoveTree(SpoolFolder());
        MakeDirs(SpoolFolder());
        RemoveTree(L"C:\\e2e");
        SetEnvironmentVariableW(L"STANDIN_JOBS", nullptr);
        SetEnvironmentVariableW(L"STANDIN_RECORD", nullptr);
        ClearLogs();
    }

    // Starts Uninstall.exe (the one beside the tests, or a copy elsewhere), loads the
    // stand-ins into it and dismisses its warning.
    void Start(const std::wstring& program = TestBinFolder() + L"Uninstall.exe")
    {
        SetEnvironmentVariableW(L"STANDIN_RECORD", RecordFile().c_str());
        SetEnvironmentVariableW(L"STANDIN_JOBS", (std::wstring(kLaser) + L"=2").c_str());
        // Loading the stand-ins can fail under Wine for reasons of its own (see InjectDll): a
        // fresh process is then started, as the program has done nothing yet.
        HWND hWarning = nullptr;
        bool bInjected = false;
        for (int nTry = 0; nTry < 3 && !bInjected; ++nTry) {
            DeleteFileW(RecordFile().c_str());
            m_pProcess.reset(new GuiProcess(program));
            ASSERT_TRUE(m_pProcess->Started()) << "CreateProcess failed with " << m_pProcess->StartError();
            hWarning = WaitForMessageBox(m_pProcess->Pid(), kWarning, kProgramStartMs);
            ASSERT_TRUE(hWarning) << "the warning box did not appear";
            bInjected = InjectDll(m_pProcess->Handle(), TestBinFolder() + L"standins.dll");
            if (!bInjected && nTry < 2)
                std::printf("[ retry   ] the stand-ins did not load; Uninstall.exe is started again\n");
        }
        ASSERT_TRUE(bInjected) << "the stand-ins were not loaded in three tries";
        ASSERT_EQ(std::vector<std::wstring>{L"StandIns|loaded"}, ReadRecordFile());
        ASSERT_TRUE(AnswerMessageBox(hWarning, IDOK));
        m_hDialog = WaitForDialog(m_pProcess->Pid(), kTitle, 1000, kUiStepMs);
        ASSERT_TRUE(m_hDialog);
        m_hList = GetDlgItem(m_hDialog, 1000);
        m_hUninstall = GetDlgItem(m_hDialog, IDOK);
        m_hProgress = GetDlgItem(m_hDialog, 1001);
        ASSERT_TRUE(WaitUntil([&] { return IsWindowEnabled(m_hDialog) != FALSE; }, kUiStepMs));
    }

    // Selects the row, presses Uninstall and waits for the result box; its wall time goes to m_msRemoval.
    HWND Remove(const std::wstring& row, const wchar_t* expectedBox)
    {
        std::vector<std::wstring> rows = ListRows(m_hList);
        auto it = std::find(rows.begin(), rows.end(), row);
        EXPECT_NE(rows.end(), it) << "no row " << Ansi(row);
        if (it == rows.end())
            return nullptr;
        EXPECT_TRUE(SelectRow(m_hList, static_cast<int>(it - rows.begin())));
        ULONGLONG start = GetTickCount64();
        PressButton(m_hUninstall);
        // The worker disables the button, then moves the bar: each is waited for.
        EXPECT_TRUE(WaitUntil([&] { return IsDisabled(m_hUninstall); }, kUiStepMs)) << "the button is disabled";
        const bool bBarMoved = WaitUntil([&] { return Progress() >= 2; }, kUiStepMs);
        EXPECT_TRUE(bBarMoved) << "the bar shows the press";
        // A run already failed need not wait a whole removal's bound to say which box it shows.
        HWND hBox = WaitForMessageBox(m_pProcess->Pid(), expectedBox, bBarMoved ? kRemovalTimeoutMs : kUiStepMs);
        m_msRemoval = GetTickCount64() - start;
        if (!hBox) {  // what the removal got to
            DWORD dwExitCode = STILL_ACTIVE;
            if (GetExitCodeProcess(m_pProcess->Handle(), &dwExitCode) && dwExitCode != STILL_ACTIVE)
                std::printf("[ process ] Uninstall.exe has ended, exit code 0x%08lx\n", dwExitCode);
            for (const std::string& text : LogTexts())
                std::printf("[ log     ] %s\n", Utf8(Wide(text, CP_ACP)).c_str());
        }
        return hBox;
    }

    long Progress() { return static_cast<long>(SendMessageW(m_hProgress, PBM_GETPOS, 0, 0)); }

    // After the result box: the bar back at 0, the button enabled, the list rebuilt: every
    // printer, then every driver not named like one, as the spooler now lists them. (The
    // button is enabled before the rebuild, so the wait is for the whole list, not a part.)
    void ExpectIdleAgainWithout(const std::wstring& goneRow)
    {
        EXPECT_TRUE(WaitUntil([&] { return IsWindowEnabled(m_hUninstall) != FALSE; }, kUiStepMs));
        std::vector<std::wstring> expected = SpoolerPrinterNames();
        const size_t nPrinters = expected.size();
        for (const std::wstring& driver : SpoolerDriverNames())
            if (std::find(expected.begin(), expected.begin() + nPrinters, driver) == expected.begin() + nPrinters)
                expected.push_back(driver);
        EXPECT_EQ(expected.end(), std::find(expected.begin(), expected.end(), goneRow)) << Ansi(goneRow) << " is gone";
        EXPECT_TRUE(WaitUntil([&] { return ListRows(m_hList) == expected; }, kUiStepMs))
            << "the rebuilt list shows what the spooler lists";
        EXPECT_EQ(0, Progress());
        EXPECT_EQ(LB_ERR, SelectedRow(m_hList)) << "the rebuilt list has no selection";
    }

    // Everything of the other drivers, and what the rules keep, is where it was.
    void ExpectOthersUntouched()
    {
        EXPECT_TRUE(PrinterExists(L"Office Copier"));
        EXPECT_TRUE(DriverExists(kOther));
        for (const wchar_t* f : {L"OCD.DLL", L"OCD.GPD", L"OCDUI.DLL", L"UNIDRV.DLL"})
            EXPECT_TRUE(FileExists(DriverFolder() + f)) << Ansi(f);
        EXPECT_TRUE(FileExists(Env(L"W32X86") + L"OTHER.DLL"));
        EXPECT_TRUE(FileExists(InfFolder() + L"oem91.inf"));
        EXPECT_TRUE(FileExists(Repository() + L"office.inf_amd64_4d5e6f\\office.inf"));
        EXPECT_TRUE(FileExists(Repository() + L"suite.inf_amd64_7a8b9c\\suite.inf"));
        EXPECT_TRUE(FileExists(Repository() + L"tvprnms.inf_amd64_9d8e7f\\tvprnms.inf")) << "Windows' own package";
        // What other installed drivers still come from: a family INF that names another
        // installed model, and a package whose model name merely contains the laser's.
        EXPECT_TRUE(DriverExists(kPlus));
        EXPECT_TRUE(FileExists(InfFolder() + L"oem94.inf"));
        EXPECT_TRUE(FileExists(Repository() + L"tvfamily.inf_amd64_3c4d5e\\tvfamily.inf"));
        EXPECT_TRUE(FileExists(Repository() + L"tvl100p.inf_amd64_2b3c4d\\tvl100p.inf"));
        // The copier driver and what it shares with the laser driver.
        EXPECT_TRUE(DriverExists(kCopier));
        for (const wchar_t* f : {L"TVC500.DLL", L"XTVL100.GPD", L"TAVRELCOM.DLL"})
            EXPECT_TRUE(FileExists(DriverFolder() + f)) << Ansi(f);
    }

    // Runs Uninstall.exe with these arguments, its output into a pipe, until it ends. With
    // bStandIns the test holds the removal lock while the program starts, so that it waits for
    // the lock before it changes anything: the stand-ins are loaded into it then, and the lock
    // is let go. Whether it ever had a window meanwhile goes to m_bWindowSeen.
    void RunUnattended(const std::wstring& arguments, bool bStandIns, DWORD* pExitCode, std::string* pOutput)
    {
        SetEnvironmentVariableW(L"STANDIN_RECORD", RecordFile().c_str());
        SetEnvironmentVariableW(L"STANDIN_JOBS", (std::wstring(kLaser) + L"=2").c_str());
        struct HeldLock {
            ~HeldLock() { ReleaseRemovalLock(lock); }
            RemovalLock lock;
        } held;
        const std::wstring program = TestBinFolder() + L"Uninstall.exe";
        if (bStandIns) {
            ASSERT_EQ(kRemovalLockAcquired, AcquireRemovalLock(0, held.lock));
            bool bInjected = false;
            for (int nTry = 0; nTry < 3 && !bInjected; ++nTry) {
                DeleteFileW(RecordFile().c_str());
                m_pProcess.reset(new GuiProcess(program, arguments, true));
                ASSERT_TRUE(m_pProcess->Started()) << "CreateProcess failed with " << m_pProcess->StartError();
                ASSERT_TRUE(m_pProcess->WaitForOutput("Another removal is running", 30000))
                    << "it does not wait for the lock: " << m_pProcess->Output();
                bInjected = InjectDll(m_pProcess->Handle(), TestBinFolder() + L"standins.dll");
                if (!bInjected && nTry < 2) {
                    m_pProcess->Terminate();
                    std::printf("[ retry   ] the stand-ins did not load; Uninstall.exe is started again\n");
                }
            }
            ASSERT_TRUE(bInjected) << "the stand-ins were not loaded in three tries";
            ASSERT_EQ(std::vector<std::wstring>{L"StandIns|loaded"}, ReadRecordFile());
            ReleaseRemovalLock(held.lock);
        } else {
            m_pProcess.reset(new GuiProcess(program, arguments, true));
            ASSERT_TRUE(m_pProcess->Started()) << "CreateProcess failed with " << m_pProcess->StartError();
        }
        const ULONGLONG start = GetTickCount64();
        while (!m_pProcess->WaitForExit(50, pExitCode) && GetTickCount64() - start < kRemovalTimeoutMs)
            m_bWindowSeen = m_bWindowSeen || !m_pProcess->Windows().empty();
        m_msRemoval = GetTickCount64() - start;
        ASSERT_TRUE(m_pProcess->WaitForExit(0, pExitCode)) << "still running after " << kRemovalTimeoutMs << " ms";
        *pOutput = m_pProcess->Output();
    }

    // What a refused run must not have touched: every row, and the spool files a removal's
    // first steps delete.
    void ExpectNothingChanged()
    {
        for (const wchar_t* p : {kLaser, L"Shared Front", L"Shared Back", L"Office Copier"})
            EXPECT_TRUE(PrinterExists(p)) << Ansi(p);
        for (const wchar_t* d : {kLaser, kShared, kFax, kOther})
            EXPECT_TRUE(DriverExists(d)) << Ansi(d);
        EXPECT_TRUE(FileExists(SpoolFolder() + L"00011.SPL")) << "no removal step ran";
    }

    std::unique_ptr<GuiProcess> m_pProcess;
    bool m_bWindowSeen = false;
    HWND m_hDialog = nullptr, m_hList = nullptr, m_hUninstall = nullptr, m_hProgress = nullptr;
    ULONGLONG m_msRemoval = 0;
};

TEST_F(RemovalEndToEnd, PrinterWithItsOwnDriverGoesCompletely)
{
    // Started, as users often do, from a download folder where files named like a DLL it uses
    // and like the programs it starts lie beside it: none of them may be loaded or run.
    const std::wstring download = L"C:\\e2e\\download\\";
    MakeDirs(download);
    ASSERT_TRUE(CopyFileW((TestBinFolder() + L"Uninstall.exe").c_str(), (download + L"Uninstall.exe").c_str(), FALSE));
    WriteFileBytes(download + L"winspool.drv", "not a DLL");
    for (const wchar_t* pPlanted : {L"cmd.exe", L"takeown.exe", L"icacls.exe"})  // each records that it ran
        ASSERT_TRUE(CopyFileW((TestBinFolder() + L"setup_stub.exe").c_str(), (download + pPlanted).c_str(), FALSE));
    ASSERT_NO_FATAL_FAILURE(Start(download + L"Uninstall.exe"));
    HWND hBox = Remove(kLaser, kSuccess);
    ASSERT_TRUE(hBox) << "no success box";
    std::printf("[ measure ] one removal, press to success box: %llu ms\n", static_cast<unsigned long long>(m_msRemoval));

    // The box: caption, Yes and No, owned by the dialog; the bar full while it shows.
    EXPECT_EQ(std::wstring(kTitle), WindowText(hBox));
    EXPECT_EQ((std::vector<int>{IDYES, IDNO}), ButtonIds(hBox));
    EXPECT_EQ(m_hDialog, GetWindow(hBox, GW_OWNER));
    EXPECT_EQ(100, Progress());

    // The printer, the driver and everything of the driver's is gone.
    EXPECT_FALSE(PrinterExists(kLaser));
    EXPECT_FALSE(DriverExists(kLaser));
    for (const wchar_t* f : {L"TVL100.DLL", L"TVL100.GPD", L"TVL100RES.DLL", L"TVL100UI.DLL"})
        EXPECT_FALSE(FileExists(DriverFolder() + f)) << Ansi(f);
    for (const wchar_t* f : {L"TVL100RES.DLL", L"XTVL100RES.DLL", L"TVL100.GPD.BAK"})
        EXPECT_FALSE(FileExists(Env(L"W32X86") + f)) << "copies and look-alikes go too: " << Ansi(f);
    EXPECT_TRUE(FileExists(Env(L"W32X86") + L"tvl100ui.dll")) << "names are matched case-sensitively";
    EXPECT_FALSE(FileExists(InfFolder() + L"oem90.inf"));
    EXPECT_FALSE(FileExists(InfFolder() + L"oem90.pnf")) << "Windows takes the .pnf with its INF";
    EXPECT_TRUE(FileExists(InfFolder() + L"oem92.inf")) << "a UTF-16 INF does not match";
    EXPECT_TRUE(FileExists(InfFolder() + L"OEM93.INF")) << "an upper-case name is no candidate";
    EXPECT_FALSE(FileExists(Repository() + L"tvl100.inf_amd64_1a2b3c"));
    EXPECT_FALSE(FileExists(Repository() + L"suite.inf_amd64_7a8b9c\\laser"));
    EXPECT_FALSE(FileExists(SpoolFolder() + L"00011.SPL"));
    EXPECT_FALSE(FileExists(SpoolFolder() + L"00011.SHD"));
    EXPECT_FALSE(FileExists(SpoolFolder() + L"sub\\00012.SPL"));
    EXPECT_TRUE(FileExists(SpoolFolder() + L"00013.spl"));
    ExpectOthersUntouched();
    EXPECT_TRUE(PrinterExists(L"Shared Front"));
    EXPECT_TRUE(DriverExists(kShared));
    EXPECT_TRUE(DriverExists(kFax));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), ServiceState(L"Spooler"));

    // What the program asked of the calls that Wine lacks: the first of the printer's two
    // queued jobs deleted through the spooler (the other goes with the spool files), ...
    std::wstring env = NativeEnvironment();
    EXPECT_EQ((std::vector<std::wstring>{L"StandIns|loaded", L"SetJobW|TAVREL Laser 100|1|5",
                                         L"SetupUninstallOEMInfW|oem90.inf|1",
                                         L"DeletePrinterDriverExW|(null)|" + env + L"|" + kLaser + L"|1|3",
                                         L"CM_Locate_DevNodeW|(null)|0", L"CM_Reenumerate_DevNode|1|4"}),
              ReadRecordFile());

    ASSERT_TRUE(AnswerMessageBox(hBox, IDNO));
    ExpectIdleAgainWithout(kLaser);
    EXPECT_TRUE(LogTexts().empty()) << "a clean removal logs nothing";
    std::vector<std::wstring> calls = ReadRecordFile();
    EXPECT_EQ(calls.end(), std::find_if(calls.begin(), calls.end(), [](const std::wstring& c) {
                  return c.compare(0, 13, L"ExitWindowsEx") == 0;
              })) << "No: no restart";
    EXPECT_FALSE(FileExists(download + L"started.txt")) << "no program lying beside Uninstall.exe ran";
}

TEST_F(RemovalEndToEnd, OneOfTwoPrintersOnADriverLeavesTheDriverAndASecondPressStartsNothing)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    // Another removal holds the lock for the first 6 s: the worker waits, its bar moving,
    // before anything changes.
    HANDLE hHolding = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    bool bBarMovedWhileWaiting = false;
    bool bUntouchedWhileWaiting = false;
    std::thread otherRemoval([&] {
        RemovalLock lock;
        const bool bHeld = AcquireRemovalLock(0, lock) == kRemovalLockAcquired;
        SetEvent(hHolding);
        if (!bHeld)
            return;
        // Held until a timer tick has moved the bar on from the press's 2, however slow the
        // machine; meanwhile the removal's first step, the spooler's stop, must not come.
        bool bSpoolerRan = true;
        bBarMovedWhileWaiting = WaitUntil(
            [&] {
                bSpoolerRan = bSpoolerRan && ServiceState(L"Spooler") == SERVICE_RUNNING;
                return Progress() >= 4;
            },
            kUiStepMs);
        bUntouchedWhileWaiting = bSpoolerRan && PrinterExists(L"Shared Front");
        ReleaseRemovalLock(lock);
    });
    WaitForSingleObject(hHolding, kUiStepMs);
    CloseHandle(hHolding);
    // A second press on the (disabled) button while the removal waits for the lock. It waits for
    // the first press to have started the removal: after a fixed pause, on a slow machine, it
    // once came before the row was selected, and was itself the press that found no selection.
    std::thread secondPress([&] {
        if (WaitUntil([&] { return IsDisabled(m_hUninstall); }, 2 * kUiStepMs))
            PressButton(m_hUninstall);
    });
    HWND hBox = Remove(L"Shared Front", kSuccess);
    secondPress.join();
    otherRemoval.join();
    EXPECT_TRUE(bBarMovedWhileWaiting) << "the bar moves while the worker waits for the lock";
    EXPECT_TRUE(bUntouchedWhileWaiting) << "the removal does not start before it has the lock";
    ASSERT_TRUE(hBox);
    EXPECT_EQ(1u, FindMessageBoxes(m_pProcess->Pid(), kSuccess).size());
    EXPECT_FALSE(PrinterExists(L"Shared Front"));
    EXPECT_TRUE(PrinterExists(L"Shared Back"));
    EXPECT_TRUE(DriverExists(kShared));
    for (const wchar_t* f : {L"TVS200.DLL", L"TVS200.GPD", L"TVS200UI.DLL"})
        EXPECT_TRUE(FileExists(DriverFolder() + f)) << Ansi(f);
    EXPECT_TRUE(FileExists(InfFolder() + L"oem90.inf"));
    EXPECT_TRUE(FileExists(Repository() + L"tvl100.inf_amd64_1a2b3c\\tvl100.inf"));
    EXPECT_FALSE(FileExists(SpoolFolder() + L"00011.SPL")) << "spool files go with every removal";
    ExpectOthersUntouched();
    std::vector<std::wstring> calls = ReadRecordFile();
    EXPECT_EQ(calls.end(), std::find_if(calls.begin(), calls.end(), [](const std::wstring& c) {
                  return c.compare(0, 22, L"DeletePrinterDriverExW") == 0;
              })) << "the shared driver is not deleted";
    ASSERT_TRUE(AnswerMessageBox(hBox, IDNO));
    ExpectIdleAgainWithout(L"Shared Front");
    std::vector<std::wstring> rows = ListRows(m_hList);
    EXPECT_NE(rows.end(), std::find(rows.begin(), rows.end(), L"Shared Back"));
    // A second worker would disable the button again as its first step.
    EXPECT_FALSE(WaitUntil([&] { return !IsWindowEnabled(m_hUninstall) || !FindMessageBoxes(m_pProcess->Pid(), kSuccess).empty(); },
                           3000))
        << "one worker, one result";
    EXPECT_EQ(1, std::count(calls.begin(), calls.end(), L"CM_Locate_DevNodeW|(null)|0"));
}

TEST_F(RemovalEndToEnd, DriverRowRemovesTheDriverAndYesAsksForARestart)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    HWND hBox = Remove(kFax, kSuccess);
    ASSERT_TRUE(hBox);
    EXPECT_FALSE(DriverExists(kFax));
    for (const wchar_t* f : {L"TVF300.GPD", L"TVF300UI.DLL", L"TVF300.DLL"})
        EXPECT_FALSE(FileExists(DriverFolder() + f)) << Ansi(f);
    EXPECT_TRUE(DriverExists(kLaser));
    EXPECT_TRUE(PrinterExists(kLaser));
    ExpectOthersUntouched();

    // Yes: the restart is requested (the stand-in records it and restarts nothing).
    ASSERT_TRUE(AnswerMessageBox(hBox, IDYES));
    ExpectIdleAgainWithout(kFax);
    std::vector<std::wstring> calls = ReadRecordFile();
    EXPECT_EQ(L"ExitWindowsEx|2|0", calls.back());
}

TEST_F(RemovalEndToEnd, FailingStepShowsTheFailureAndStopsThere)
{
    // A read-only copy of a dependent file, and the read-only data file whose walk decides.
    std::wstring copy = Env(L"W32X86") + L"TVL100RES.DLL";
    std::wstring data = DriverFolder() + L"TVL100.GPD";
    SetFileAttributesW(copy.c_str(), FILE_ATTRIBUTE_READONLY);
    SetFileAttributesW(data.c_str(), FILE_ATTRIBUTE_READONLY);
    SYSTEMTIME before;
    GetLocalTime(&before);

    ASSERT_NO_FATAL_FAILURE(Start());
    HWND hBox = Remove(kLaser, kFailure);
    ASSERT_TRUE(hBox) << "no failure box";
    EXPECT_EQ(std::wstring(kTitle), WindowText(hBox));
    EXPECT_EQ(std::vector<int>{IDOK}, ButtonIds(hBox));
    EXPECT_EQ(0, Progress());

    // The steps after the spool driver files did not run; the spooler stays stopped.
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), ServiceState(L"Spooler"));
    EXPECT_FALSE(FileExists(SpoolFolder() + L"00011.SPL")) << "the spool files were deleted before";
    EXPECT_TRUE(FileExists(InfFolder() + L"oem90.inf"));
    EXPECT_TRUE(FileExists(Repository() + L"tvl100.inf_amd64_1a2b3c\\tvl100.inf"));
    EXPECT_EQ((std::vector<std::wstring>{L"StandIns|loaded", L"SetJobW|TAVREL Laser 100|1|5"}), ReadRecordFile());

    // The log: one record per failed deletion, in the order of the walk, each stamped and ended by NUL.
    std::vector<std::string> records = LogRecords();
    ASSERT_EQ(2u, records.size());
    const std::vector<std::string> expected = {ErrorRecordText(L"DeleteFile" + Walked(copy), ERROR_ACCESS_DENIED),
                                               ErrorRecordText(L"DeleteFile" + Walked(data), ERROR_ACCESS_DENIED)};
    std::string bytes = ReadFileBytes(LogFilePath(1));
    EXPECT_EQ(2, std::count(bytes.begin(), bytes.end(), '\0'));
    EXPECT_EQ('\0', bytes.back());
    SYSTEMTIME after;
    GetLocalTime(&after);
    FILETIME ftBefore, ftAfter, ftPrevious = {};
    SystemTimeToFileTime(&before, &ftBefore);
    SystemTimeToFileTime(&after, &ftAfter);
    for (size_t i = 0; i < records.size(); ++i) {
        std::string text;
        SYSTEMTIME stamp;
        ASSERT_TRUE(SplitRecord(records[i], text, stamp)) << records[i];
        EXPECT_EQ(expected[i], text);
        FILETIME ft;
        SystemTimeToFileTime(&stamp, &ft);
        EXPECT_GE(CompareFileTime(&ft, &ftBefore), 0);
        EXPECT_LE(CompareFileTime(&ft, &ftAfter), 0);
        EXPECT_GE(CompareFileTime(&ft, &ftPrevious), 0) << "records in the order the steps ran";
        ftPrevious = ft;
    }

    ASSERT_TRUE(AnswerMessageBox(hBox, IDOK));
    EXPECT_TRUE(WaitUntil([&] { return IsWindowEnabled(m_hUninstall) != FALSE; }, kUiStepMs));
    EXPECT_EQ(0, Progress());
    ASSERT_TRUE(StartServiceAndWait(L"Spooler"));
    EXPECT_TRUE(PrinterExists(kLaser)) << "nothing after the failing step was done";
    EXPECT_TRUE(DriverExists(kLaser));
}

TEST_F(RemovalEndToEnd, CancelDuringARemovalEndsTheProgramAtOnce)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    std::vector<std::wstring> rows = ListRows(m_hList);
    auto it = std::find(rows.begin(), rows.end(), L"Shared Back");
    ASSERT_NE(rows.end(), it);
    ASSERT_TRUE(SelectRow(m_hList, static_cast<int>(it - rows.begin())));
    PressButton(m_hUninstall);
    ASSERT_TRUE(WaitUntil([&] { return IsDisabled(m_hUninstall); }, kUiStepMs));
    Sleep(3000);  // inside the spooler restart
    ASSERT_TRUE(m_pProcess->IsRunning());

    // Cancel in the middle of the removal ends the program at once, with exit code 0: well
    // before the worker could finish (the spooler restart alone sleeps 10 s of Wine's wait
    // hint, and the removal goes on for 25 s more), with room for a slow process exit.
    ULONGLONG start = GetTickCount64();
    PressButton(GetDlgItem(m_hDialog, IDCANCEL));
    DWORD exitCode = 0xFFFF;
    ASSERT_TRUE(m_pProcess->WaitForExit(kUiStepMs, &exitCode));
    EXPECT_LT(GetTickCount64() - start, 8000u);
    EXPECT_EQ(0u, exitCode);
    EXPECT_TRUE(PrinterExists(L"Shared Back")) << "the removal was cut off before the printer step";
}

TEST_F(RemovalEndToEnd, UnattendedRemovalOfANamedPrinterTakesItsOwnDriverWithNoWindow)
{
    DWORD exitCode = 0xFFFF;
    std::string output;
    ASSERT_NO_FATAL_FAILURE(RunUnattended(L"/quiet /printer \"tavrel LASER 100\"", true, &exitCode, &output));
    std::printf("[ measure ] unattended removal, lock let go to exit: %llu ms\n",
                static_cast<unsigned long long>(m_msRemoval));
    EXPECT_EQ(0u, exitCode) << output;
    EXPECT_FALSE(m_bWindowSeen) << "no window, no box";
    EXPECT_NE(std::string::npos,
              output.find("Removed printer \"TAVREL Laser 100\" and its driver \"TAVREL Laser 100\".\r\n"))
        << output;
    EXPECT_FALSE(PrinterExists(kLaser));
    EXPECT_FALSE(DriverExists(kLaser));
    for (const wchar_t* f : {L"TVL100.DLL", L"TVL100.GPD", L"TVL100RES.DLL", L"TVL100UI.DLL"})
        EXPECT_FALSE(FileExists(DriverFolder() + f)) << Ansi(f);
    EXPECT_FALSE(FileExists(InfFolder() + L"oem90.inf"));
    EXPECT_FALSE(FileExists(Repository() + L"tvl100.inf_amd64_1a2b3c"));
    ExpectOthersUntouched();
    EXPECT_TRUE(PrinterExists(L"Shared Front"));
    std::wstring env = NativeEnvironment();
    EXPECT_EQ((std::vector<std::wstring>{L"StandIns|loaded", L"SetJobW|TAVREL Laser 100|1|5",
                                         L"SetupUninstallOEMInfW|oem90.inf|1",
                                         L"DeletePrinterDriverExW|(null)|" + env + L"|" + kLaser + L"|1|3",
                                         L"CM_Locate_DevNodeW|(null)|0", L"CM_Reenumerate_DevNode|1|4"}),
              ReadRecordFile())
        << "the dialog's removal, and no restart";
    EXPECT_TRUE(LogTexts().empty());
}

TEST_F(RemovalEndToEnd, UnattendedPrintersAndTheirSharedDriverGoTogetherInOneRemoval)
{
    DWORD exitCode = 0xFFFF;
    std::string output;
    ASSERT_NO_FATAL_FAILURE(RunUnattended(
        L"-QUIET -Printer \"Shared Front\" /printer \"shared back\" /DRIVER \"TAVREL Shared 200\"", true, &exitCode,
        &output));
    EXPECT_EQ(0u, exitCode) << output;
    EXPECT_FALSE(PrinterExists(L"Shared Front"));
    EXPECT_FALSE(PrinterExists(L"Shared Back"));
    EXPECT_FALSE(DriverExists(kShared));
    for (const wchar_t* f : {L"TVS200.DLL", L"TVS200.GPD", L"TVS200UI.DLL"})
        EXPECT_FALSE(FileExists(DriverFolder() + f)) << Ansi(f);
    EXPECT_TRUE(PrinterExists(kLaser));
    ExpectOthersUntouched();
    std::vector<std::wstring> calls = ReadRecordFile();
    EXPECT_EQ(1, std::count(calls.begin(), calls.end(),
                            L"DeletePrinterDriverExW|(null)|" + NativeEnvironment() + L"|" + kShared + L"|1|3"))
        << "the driver is deleted once";
    EXPECT_EQ(1, std::count(calls.begin(), calls.end(), L"CM_Locate_DevNodeW|(null)|0")) << "one removal for all";
}

TEST_F(RemovalEndToEnd, UnattendedRunsThatCannotRemoveChangeNothing)
{
    struct Case {
        const wchar_t* pArguments;
        DWORD exitCode;
        const char* pSaid;
    };
    const Case cases[] = {
        {L"/quiet /printer \"TAVREL Laser 100\" /driver \"TAVREL Fax\"", 1605, "Not found: driver \"TAVREL Fax\""},
        {L"/quiet /driver \"TAVREL Shared 200\"", 1603, "\"TAVREL Shared 200\" is still used by printer \"Shared"},
        {L"/whatif /driver \"TAVREL Shared 200\"", 1603,
         "item\ttarget\tdecision\trule\tbecause\r\ndriver\tTAVREL Shared 200\tkeep\tused-by-printer\tprinter \"Shared"},
        {L"/whatif /quiet /printer \"Shared Front\"", 87, "Usage:"},
        {L"/printer \"Shared Front\"", 87, "Usage:"},
        {L"/quiet /printer", 87, "Usage:"},
    };
    for (const Case& c : cases) {
        DWORD exitCode = 0xFFFF;
        std::string output;
        ASSERT_NO_FATAL_FAILURE(RunUnattended(c.pArguments, false, &exitCode, &output));
        EXPECT_EQ(c.exitCode, exitCode) << Ansi(c.pArguments) << ": " << output;
        EXPECT_NE(std::string::npos, output.find(c.pSaid)) << output;
        ExpectNothingChanged();
    }
    EXPECT_FALSE(m_bWindowSeen);
    EXPECT_EQ(std::vector<std::string>{Ansi(L"驱动仍被打印机使用，未卸载：TAVREL Shared 200")}, LogTexts())
        << "the in-use refusal's record, as the dialog writes it";
}

TEST_F(RemovalEndToEnd, ListPrintsTheDialogsRowsInUtf8ThroughAPipe)
{
    ASSERT_EQ(0u, AddTestPrinter(kChinese, kOther));
    DWORD exitCode = 0xFFFF;
    std::string output;
    ASSERT_NO_FATAL_FAILURE(RunUnattended(L"/LIST", false, &exitCode, &output));
    EXPECT_EQ(0u, exitCode);
    std::vector<std::wstring> expected;
    const std::vector<std::wstring> printers = SpoolerPrinterNames();
    for (const std::wstring& printer : printers)
        expected.push_back(L"printer\t" + printer);
    for (const std::wstring& driver : SpoolerDriverNames())
        if (std::find(printers.begin(), printers.end(), driver) == printers.end())
            expected.push_back(L"driver\t" + driver + L"\t" + NativeEnvironment());
    ASSERT_NE(expected.end(), std::find(expected.begin(), expected.end(), std::wstring(L"printer\t") + kChinese));
    std::wstring text = Wide(output);  // UTF-8, no byte-order mark
    std::vector<std::wstring> lines;
    size_t start = 0;
    for (size_t end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    EXPECT_EQ(expected, lines) << output;
    EXPECT_EQ(text.size(), start) << "every line ends with CR LF";
    EXPECT_TRUE(PrinterExists(kChinese));
}

// Every file below the folders a removal cleans, sorted: what a run changed is the difference.
void AddFiles(const std::wstring& folder, std::vector<std::wstring>& files)
{
    for (const std::wstring& name : ListingOrder(folder)) {
        if (GetFileAttributesW((folder + name).c_str()) & FILE_ATTRIBUTE_DIRECTORY)
            AddFiles(folder + name + L"\\", files);
        else
            files.push_back(folder + name);
    }
}
std::vector<std::wstring> Snapshot()
{
    std::vector<std::wstring> files = SpoolerPrinterNames();
    for (const std::wstring& driver : SpoolerDriverNames())
        files.push_back(L"driver " + driver);
    for (const std::wstring& folder : {SpoolDrivers(), SpoolFolder(), InfFolder(), Repository()})
        AddFiles(folder, files);
    std::sort(files.begin(), files.end());
    return files;
}
DWORD SpoolerProcess()
{
    SC_HANDLE hManager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE hService = hManager ? OpenServiceW(hManager, L"Spooler", SERVICE_QUERY_STATUS) : nullptr;
    SERVICE_STATUS_PROCESS status = {};
    DWORD cbNeeded = 0;
    if (hService)
        QueryServiceStatusEx(hService, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status), &cbNeeded);
    if (hService)
        CloseServiceHandle(hService);
    if (hManager)
        CloseServiceHandle(hManager);
    return status.dwProcessId;
}

// The plan of a removal changes nothing; the removal that follows removes exactly what the plan
// said it would remove, and nothing it said it would keep. A device node installed from the
// laser's OEM INF is listed as left in place.
TEST_F(RemovalEndToEnd, UnattendedPlanChangesNothingAndTheRemovalDoesWhatItSaid)
{
    const GUID printerClass = {0x4d36e979, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
    HDEVINFO hDevices = SetupDiCreateDeviceInfoList(&printerClass, nullptr);
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    ASSERT_TRUE(SetupDiCreateDeviceInfoW(hDevices, L"ROOT\\TAVRELTEST\\0000", &printerClass, nullptr, nullptr, 0,
                                         &device));
    ASSERT_TRUE(SetupDiRegisterDeviceInfo(hDevices, &device, 0, nullptr, nullptr, nullptr));
    HKEY hDriverKey = SetupDiCreateDevRegKeyW(hDevices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, nullptr, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, hDriverKey);
    RegSetValueExW(hDriverKey, L"InfPath", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"oem90.inf"), 20);
    RegCloseKey(hDriverKey);
    struct DeviceGone {
        ~DeviceGone() { SetupDiRemoveDevice(hSet, pDevice), SetupDiDestroyDeviceInfoList(hSet); }
        HDEVINFO hSet;
        SP_DEVINFO_DATA* pDevice;
    } deviceGone = {hDevices, &device};

    const std::vector<std::wstring> before = Snapshot();
    const DWORD dwSpooler = SpoolerProcess();
    DWORD exitCode = 0xFFFF;
    std::string output;
    ASSERT_NO_FATAL_FAILURE(RunUnattended(L"/whatif /printer \"TAVREL Laser 100\"", true, &exitCode, &output));
    EXPECT_EQ(0u, exitCode) << output;
    std::printf("[ measure ] plan, lock let go to exit: %llu ms\n[ plan    ] as printed:\n%s",
                static_cast<unsigned long long>(m_msRemoval), output.c_str());
    EXPECT_EQ(before, Snapshot()) << "the plan changed nothing";
    EXPECT_EQ(dwSpooler, SpoolerProcess()) << "nor stopped or started the spooler";
    EXPECT_EQ(std::vector<std::wstring>{L"StandIns|loaded"}, ReadRecordFile()) << "no job, INF, driver or device call";
    EXPECT_TRUE(LogTexts().empty());
    EXPECT_FALSE(m_bWindowSeen);

    // The table after the lock's wait line: a header, then five fields a line.
    const std::wstring text = Wide(output);
    std::vector<std::wstring> lines;
    size_t start = text.find(L"item\t");
    ASSERT_NE(std::wstring::npos, start) << output;
    for (size_t end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    EXPECT_EQ(L"item\ttarget\tdecision\trule\tbecause", lines[0]);
    const std::wstring inf = InfFolder();
    for (const std::wstring& line : std::vector<std::wstring>{
             L"printer\tTAVREL Laser 100\tremove\tnamed\t",
          L"driver\tTAVREL Laser 100\tremove\tdriver-of-named-printer\t" + NativeEnvironment() + L", version 3",
          L"driver-file\t" + Walked(DriverFolder() + L"XTVL100.GPD") + L"\tkeep\tfile-of-another-driver\t" + kCopier,
          L"oem-inf\t" + inf + L"oem94.inf\tkeep\tnames-another-driver\t" + kFax,
          L"package\t" + Repository() + L"tvprnms.inf_amd64_9d8e7f\\\tkeep\twindows-package\t" + inf + L"tvprnms.inf",
          L"device\tROOT\\TAVRELTEST\\0000\tkeep\tdevice-left\t" + inf + L"oem90.inf"})
        EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), line)) << Utf8(line) << "\n" << output;
    std::vector<std::wstring> planned;  // what goes, as the snapshot names it
    for (size_t i = 1; i < lines.size(); ++i) {
        std::vector<std::wstring> fields;
        for (size_t from = 0, tab;; from = tab + 1) {
            tab = lines[i].find(L'\t', from);
            fields.push_back(lines[i].substr(from, tab == std::wstring::npos ? tab : tab - from));
            if (tab == std::wstring::npos)
                break;
        }
        ASSERT_EQ(5u, fields.size()) << Utf8(lines[i]);
        if (fields[2] != L"remove")
            continue;
        if (fields[0] == L"printer")
            planned.push_back(fields[1]);
        else if (fields[0] == L"driver")
            planned.push_back(L"driver " + fields[1]);
        else  // a path; a package is its folder, and an OEM INF takes its .pnf twin along
            for (const std::wstring& file : before)
                if (_wcsicmp(file.c_str(), fields[1].c_str()) == 0 ||
                    (fields[1].back() == L'\\' && _wcsnicmp(file.c_str(), fields[1].c_str(), fields[1].size()) == 0) ||
                    (fields[0] == L"oem-inf" && _wcsicmp(file.c_str(), (fields[1].substr(0, fields[1].size() - 4) + L".pnf").c_str()) == 0))
                    planned.push_back(file);
    }

    ASSERT_NO_FATAL_FAILURE(RunUnattended(L"/quiet /printer \"TAVREL Laser 100\"", true, &exitCode, &output));
    EXPECT_EQ(0u, exitCode) << output;
    const std::vector<std::wstring> after = Snapshot();
    std::vector<std::wstring> gone;
    std::set_difference(before.begin(), before.end(), after.begin(), after.end(), std::back_inserter(gone));
    std::sort(planned.begin(), planned.end());
    planned.erase(std::unique(planned.begin(), planned.end()), planned.end());
    EXPECT_EQ(planned, gone) << "the removal did what the plan said";
}

TEST_F(RemovalEndToEnd, UnattendedRemovalWhileAnotherRunsEndsWith1618)
{
    // Another removal holds the lock for longer than the unattended run waits.
    RemovalLock lock;
    ASSERT_EQ(kRemovalLockAcquired, AcquireRemovalLock(0, lock));
    DWORD exitCode = 0xFFFF;
    std::string output;
    RunUnattended(L"/quiet /printer \"Shared Front\"", false, &exitCode, &output);
    ReleaseRemovalLock(lock);
    std::printf("[ measure ] unattended run against a held lock: %llu ms\n", static_cast<unsigned long long>(m_msRemoval));
    EXPECT_EQ(1618u, exitCode) << output;
    EXPECT_GE(m_msRemoval, 60000u) << "the documented wait: 60 s";
    EXPECT_NE(std::string::npos, output.find("Another removal is still running")) << output;
    ExpectNothingChanged();
}

}  // namespace
