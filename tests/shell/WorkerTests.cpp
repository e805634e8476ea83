// The worker's runs that remove nothing, in the test program (no selected row, a driver row
// whose driver a printer still uses): its boxes, the progress bar, the button, the list
// rebuild and the one-worker flag.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <algorithm>

#include "GuiDriver.h"
#include "ImportPatch.h"
#include "ShellWindows.h"
#include "SpoolerSetup.h"
#include "TestSupport.h"
#include "shell/Dialog.h"
#include "shell/DriverList.h"
#include "shell/Worker.h"

namespace {

struct BoxCall {
    HWND hOwner;
    std::wstring text;
    bool bHasCaption;
    UINT uType;
    BOOL bButtonEnabled;   // the Uninstall button while the box is up
    LONG nProgress;        // g_nProgress while the box is up
    LONG nAfterLateTick;   // g_nProgress after a tick that arrives while the box is up
};
std::vector<BoxCall> g_boxes;
SpoolerSetup* g_pSpooler = nullptr;

// Stands in for the box the user answers; meanwhile a tick that was already on its way when
// the timer was stopped arrives, and a printer is added so that the rebuild can be seen.
int WINAPI AnsweredBox(HWND hOwner, LPCWSTR pText, LPCWSTR pCaption, UINT uType)
{
    BoxCall call{hOwner, pText ? pText : L"", pCaption != nullptr, uType, IsWindowEnabled(g_pUninstallButton), g_nProgress, 0};
    ProgressTimerProc(g_hDlg, WM_TIMER, 1, GetTickCount());
    call.nAfterLateTick = g_nProgress;
    if (g_pSpooler)
        g_pSpooler->InstallPrinter(L"Tavrel Added Meanwhile", L"Tavrel Worker");
    g_boxes.push_back(call);
    return IDOK;
}

class WorkerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_boxes.clear();
        g_nProgress = 0;
        ASSERT_EQ(0u, m_spooler.InstallDriver(L"Tavrel Worker"));
        ASSERT_EQ(0u, m_spooler.InstallPrinter(L"Tavrel Worker Printer", L"Tavrel Worker"));
        FindSpoolerEnvironment();  // as the program does at start: the x64 drivers, also from a 32-bit test program
        FillDriverList();
    }
    void TearDown() override
    {
        g_pSpoolerEnvironment = nullptr;
        g_pSpooler = nullptr;
        g_driverList.clear();
        g_driverUseCount.clear();
    }

    SpoolerSetup m_spooler;
    ShellWindows m_windows;
};

TEST_F(WorkerTest, RunWithoutSelectionInformsResetsAndRebuilds)
{
    ASSERT_EQ(LB_ERR, SelectedRow(g_pListBox));
    g_pSpooler = &m_spooler;
    g_bWorkerRunning = 1;  // as the message loop sets it on the press
    {
        ScopedImportPatch box("user32.dll", "MessageBoxW", reinterpret_cast<void*>(&AnsweredBox));
        ASSERT_TRUE(RunServingMessages(UninstallThread, kUiStepMs));
    }

    ASSERT_EQ(1u, g_boxes.size());
    const BoxCall& call = g_boxes[0];
    EXPECT_EQ(L"请选择当前需要卸载的打印机驱动程序！", call.text);
    EXPECT_EQ(nullptr, call.hOwner) << "the information box has no owner";
    EXPECT_FALSE(call.bHasCaption) << "the system's default caption";
    EXPECT_EQ(static_cast<UINT>(MB_OK | MB_ICONINFORMATION), call.uType);
    EXPECT_FALSE(call.bButtonEnabled) << "disabled while the worker runs";
    EXPECT_EQ(0, call.nProgress) << "the bar is back at 0 before the box";
    EXPECT_EQ(0, call.nAfterLateTick) << "a tick after the timer was stopped must not move the bar";

    // The bar showed the press's 2, then the 0; nothing after.
    const std::vector<int> positions = m_windows.Positions();
    ASSERT_GE(positions.size(), 2u);
    EXPECT_EQ(2, positions.front());
    EXPECT_EQ(0, positions.back());
    EXPECT_EQ(0, SendMessageW(g_pProgress, PBM_GETPOS, 0, 0));
    EXPECT_EQ(0, g_nProgress);

    EXPECT_TRUE(IsWindowEnabled(g_pUninstallButton));
    EXPECT_EQ(0, g_bWorkerRunning) << "the worker gives the flag back as its last step";
    const std::vector<std::wstring> rows = m_windows.Rows();
    EXPECT_NE(rows.end(), std::find(rows.begin(), rows.end(), L"Tavrel Added Meanwhile")) << "the list is rebuilt";
    EXPECT_EQ(rows.size(), g_driverList.size());
}

TEST_F(WorkerTest, DriverRowWhoseDriverAPrinterUsesRemovesNothingAndSaysItFailed)
{
    ClearLogs();
    const std::wstring spoolFolder = SystemFolder() + L"\\spool\\PRINTERS\\";
    MakeDirs(spoolFolder);
    WriteFileBytes(spoolFolder + L"tvworker.SPL", "job");
    const std::vector<std::wstring> rows = m_windows.Rows();
    const auto it = std::find(rows.begin(), rows.end(), L"Tavrel Worker");
    ASSERT_NE(rows.end(), it) << "the driver has a row of its own beside its printer";
    ASSERT_TRUE(SelectRow(g_pListBox, static_cast<int>(it - rows.begin())));
    g_bWorkerRunning = 1;
    {
        ScopedImportPatch box("user32.dll", "MessageBoxW", reinterpret_cast<void*>(&AnsweredBox));
        ASSERT_TRUE(RunServingMessages(UninstallThread, kUiStepMs));
    }

    ASSERT_EQ(1u, g_boxes.size());
    EXPECT_EQ(L"驱动卸载失败！\r\n请检查是否有其他应用程序正在使用打印机！请重启电脑后再次卸载驱动！", g_boxes[0].text);
    EXPECT_EQ(g_hDlg, g_boxes[0].hOwner);
    EXPECT_EQ(static_cast<UINT>(MB_OK), g_boxes[0].uType);
    EXPECT_EQ(0, g_boxes[0].nProgress);
    EXPECT_TRUE(DriverExists(L"Tavrel Worker"));
    EXPECT_TRUE(PrinterExists(L"Tavrel Worker Printer"));
    EXPECT_TRUE(FileExists(spoolFolder + L"tvworker.SPL")) << "no removal step ran, not even the spool purge";
    EXPECT_EQ(std::vector<std::string>{Ansi(L"驱动仍被打印机使用，未卸载：Tavrel Worker")}, LogTexts());
    DeleteFileW((spoolFolder + L"tvworker.SPL").c_str());
    ClearLogs();
}

// A printer whose driver has a row of its own: the driver is counted twice, so the printer
// goes and the driver stays, even though no other printer uses it (the fresh check of printers
// before the removal would not keep it). The spooler's pauses are cut short.
void WINAPI ShortSleep(DWORD dwMs)
{
    SleepEx(std::min<DWORD>(dwMs, 100), FALSE);
}

TEST_F(WorkerTest, PrinterWhoseDriverHasItsOwnRowLeavesTheDriver)
{
    const std::vector<std::wstring> rows = m_windows.Rows();
    const auto it = std::find(rows.begin(), rows.end(), L"Tavrel Worker Printer");
    ASSERT_NE(rows.end(), it);
    ASSERT_EQ(2, g_driverUseCount[L"Tavrel Worker"]) << "test set-up: the printer's row and the driver's";
    ASSERT_TRUE(SelectRow(g_pListBox, static_cast<int>(it - rows.begin())));
    g_bWorkerRunning = 1;
    {
        ScopedImportPatch box("user32.dll", "MessageBoxW", reinterpret_cast<void*>(&AnsweredBox));
        ScopedImportPatch sleep("kernel32.dll", "Sleep", reinterpret_cast<void*>(&ShortSleep));
        ASSERT_TRUE(RunServingMessages(UninstallThread, 10 * kUiStepMs));
    }
    ASSERT_EQ(1u, g_boxes.size());
    EXPECT_EQ(L"驱动卸载成功，立即重启电脑！", g_boxes[0].text);
    EXPECT_FALSE(PrinterExists(L"Tavrel Worker Printer"));
    EXPECT_TRUE(DriverExists(L"Tavrel Worker"));
}

TEST_F(WorkerTest, TicksOutsideARunDoNothing)
{
    g_nProgress = 0;
    ProgressTimerProc(g_hDlg, WM_TIMER, 1, GetTickCount());
    EXPECT_EQ(0, g_nProgress);
    EXPECT_TRUE(m_windows.Positions().empty());
}

// The timer of a run whose box stays up long enough ticks on the main thread... unless the run
// has already stopped it: a run without selection stops the timer before its box, so however
// long the box stays up, no tick adds to the bar.
TEST_F(WorkerTest, NoTickAfterTheTimerIsStopped)
{
    struct SlowBox {
        static int WINAPI Box(HWND, LPCWSTR, LPCWSTR, UINT)
        {
            Sleep(4500);  // more than two timer periods
            return IDOK;
        }
    };
    g_bWorkerRunning = 1;
    {
        ScopedImportPatch box("user32.dll", "MessageBoxW", reinterpret_cast<void*>(&SlowBox::Box));
        ASSERT_TRUE(RunServingMessages(UninstallThread, kUiStepMs));
    }
    EXPECT_EQ(0, g_nProgress);
    EXPECT_EQ(0, m_windows.Positions().back());
    for (size_t i = 1; i < m_windows.Positions().size(); ++i)
        EXPECT_EQ(0, m_windows.Positions()[i]) << "only the press's 2 may precede the zeros";
}

}  // namespace
