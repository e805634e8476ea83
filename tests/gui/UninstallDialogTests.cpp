// Uninstall.exe driven from outside as a person would: its dialog, warning box, list rows,
// buttons, keys and the compatibility-service threads around start-up.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <memory>

#include "GuiDriver.h"
#include "Inject.h"
#include "PeResources.h"
#include "SpoolerSetup.h"
#include "TestSupport.h"

namespace {

const wchar_t kTitle[] = L"Printer Driver Uninstaller";
const wchar_t kWarning[] = L"卸载驱动前请确认已关闭打印机设备，并退出所有应用程序！";
const wchar_t kSelectFirst[] = L"请选择当前需要卸载的打印机驱动程序！";
const int kListId = 1000;
const int kProgressId = 1001;

std::wstring UninstallPath()
{
    return TestBinFolder() + L"Uninstall.exe";
}

std::string Utf8(const std::wstring& text)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n : 0, '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
    return out;
}

std::string Join(const std::vector<std::wstring>& rows)
{
    std::string out;
    for (const std::wstring& row : rows)
        out += "[" + Utf8(row) + "] ";
    return out;
}

// The rows the dialog must show for what the spooler enumerates now: every printer in its
// order, then every driver whose name is not exactly a printer's name.
std::vector<std::wstring> ExpectedRows()
{
    std::vector<std::wstring> rows = SpoolerPrinterNames();
    const std::vector<std::wstring> printers = rows;
    for (const std::wstring& driver : SpoolerDriverNames())
        if (std::find(printers.begin(), printers.end(), driver) == printers.end())
            rows.push_back(driver);
    return rows;
}

size_t CountOf(const std::vector<std::wstring>& rows, const std::wstring& name)
{
    return static_cast<size_t>(std::count(rows.begin(), rows.end(), name));
}

// A running Uninstall.exe and its controls.
class UninstallTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (m_pProcess)
            m_pProcess->Terminate();
    }

    // Starts the program and waits for the dialog and its warning box.
    void Start()
    {
        m_pProcess.reset(new GuiProcess(UninstallPath()));
        ASSERT_TRUE(m_pProcess->Started()) << "CreateProcess failed with " << m_pProcess->StartError();
        m_hWarning = WaitForMessageBox(m_pProcess->Pid(), kWarning, kProgramStartMs);
        ASSERT_TRUE(m_hWarning) << "the warning box did not appear";
        m_hDialog = WaitForDialog(m_pProcess->Pid(), kTitle, kListId, kUiStepMs);
        ASSERT_TRUE(m_hDialog) << "no visible dialog titled \"Printer Driver Uninstaller\" with the list";
        m_hList = GetDlgItem(m_hDialog, kListId);
        m_hUninstall = GetDlgItem(m_hDialog, IDOK);
        m_hCancel = GetDlgItem(m_hDialog, IDCANCEL);
        m_hProgress = GetDlgItem(m_hDialog, kProgressId);
        ASSERT_TRUE(m_hList && m_hUninstall && m_hCancel && m_hProgress);
    }

    // Starts the program and dismisses its warning, as a user does before anything else.
    void StartPastWarning()
    {
        ASSERT_NO_FATAL_FAILURE(Start());
        ASSERT_TRUE(AnswerMessageBox(m_hWarning, IDOK)) << "the warning box did not close on OK";
        ASSERT_TRUE(WaitUntil([&] { return IsWindowEnabled(m_hDialog) != FALSE; }, kUiStepMs));
    }

    void ExpectEndsWithExitCodeZero(const char* what)
    {
        DWORD dwExitCode = 0xFFFF;
        ASSERT_TRUE(m_pProcess->WaitForExit(kUiStepMs, &dwExitCode)) << what << " should end the program";
        EXPECT_EQ(0u, dwExitCode) << what;
    }

    std::vector<HWND> SelectFirstBoxes() { return FindMessageBoxes(m_pProcess->Pid(), kSelectFirst); }

    // Presses Uninstall with no row selected and waits for the information box of its worker.
    // A worker that has enabled the button may still be rebuilding the list, and then a press
    // rightly starts nothing: the press is repeated until a box shows. A second box cannot
    // come of it, as no box is answered meanwhile.
    HWND PressWithoutSelection()
    {
        EXPECT_EQ(LB_ERR, SelectedRow(m_hList));
        HWND hBox = nullptr;
        WaitUntil(
            [&] {
                PressButton(m_hUninstall);
                return (hBox = WaitForMessageBox(m_pProcess->Pid(), kSelectFirst, 2000)) != nullptr;
            },
            kUiStepMs);
        return hBox;
    }

    long ProgressPosition() { return static_cast<long>(SendMessageW(m_hProgress, PBM_GETPOS, 0, 0)); }

    std::unique_ptr<GuiProcess> m_pProcess;
    HWND m_hWarning = nullptr, m_hDialog = nullptr, m_hList = nullptr;
    HWND m_hUninstall = nullptr, m_hCancel = nullptr, m_hProgress = nullptr;
};

TEST_F(UninstallTest, StartsWithTheTitledDialogAndTheWarningOverIt)
{
    ASSERT_NO_FATAL_FAILURE(Start());

    // The warning box: its text, caption and a lone OK button, owned by the visible dialog.
    EXPECT_EQ(std::wstring(kTitle), WindowText(m_hWarning));
    EXPECT_EQ(std::vector<int>{IDOK}, ButtonIds(m_hWarning));
    EXPECT_EQ(m_hDialog, GetWindow(m_hWarning, GW_OWNER)) << "the warning box must be owned by the dialog";
    EXPECT_TRUE(IsWindowVisible(m_hDialog)) << "the dialog is shown before the warning";
    EXPECT_FALSE(IsWindowEnabled(m_hDialog)) << "the warning box is modal over the dialog";

    // The dialog: its title replaces the template's, its controls carry the template's texts.
    EXPECT_EQ(std::wstring(kTitle), WindowText(m_hDialog));
    EXPECT_EQ(L"卸载", WindowText(m_hUninstall));
    EXPECT_EQ(L"取消", WindowText(m_hCancel));
    std::vector<std::wstring> statics = StaticTexts(m_hDialog);
    EXPECT_NE(statics.end(), std::find(statics.begin(), statics.end(), L"驱动列表："));
    EXPECT_EQ(0, SendMessageW(m_hProgress, PBM_GETRANGE, TRUE, 0)) << "progress range starts at 0";
    EXPECT_EQ(100, SendMessageW(m_hProgress, PBM_GETRANGE, FALSE, 0)) << "progress range ends at 100";
    EXPECT_EQ(0, ProgressPosition());

    ASSERT_TRUE(AnswerMessageBox(m_hWarning, IDOK));
    EXPECT_TRUE(WaitUntil([&] { return IsWindowEnabled(m_hDialog) != FALSE; }, kUiStepMs));
    EXPECT_TRUE(m_pProcess->IsRunning()) << "dismissing the warning leads to the idle dialog";
    EXPECT_TRUE(IsWindowEnabled(m_hUninstall));
    EXPECT_EQ(std::wstring(kTitle), WindowText(m_hDialog));
}

// The cases of naming between printers and drivers, each against what the spooler lists.
TEST_F(UninstallTest, RowsArePrintersThenDriversNotNamedLikeAPrinter)
{
    SpoolerSetup spooler;
    for (const wchar_t* pDriver : {L"Tavrel Alpha", L"Tavrel Shared", L"Tavrel Other", L"TAVREL CASE", L"Tavrel Hidden",
                                   L"Tavrel Mixed"})
        ASSERT_EQ(0u, spooler.InstallDriver(pDriver)) << Utf8(pDriver);
    const struct {
        const wchar_t* pPrinter;
        const wchar_t* pDriver;
    } printers[] = {
        {L"Tavrel Alpha", L"Tavrel Alpha"},      // named like its own driver
        {L"Tavrel Shared B", L"Tavrel Shared"},  // two printers on one driver
        {L"Tavrel Shared A", L"Tavrel Shared"},
        {L"Tavrel Office", L"Tavrel Other"},     // a driver used by a printer of another name
        {L"Tavrel Case", L"Tavrel Alpha"},       // differs from the driver "TAVREL CASE" in case only
        {L"Tavrel Hidden", L"Tavrel Alpha"},     // named like a driver it does not use
        {L"Zulu Mixed 1", L"Tavrel Mixed"},      // the same driver named in two cases
        {L"Zulu Mixed 2", L"tavrel mixed"},
    };
    for (const auto& p : printers)
        ASSERT_EQ(0u, spooler.InstallPrinter(p.pPrinter, p.pDriver)) << Utf8(p.pPrinter);
    ASSERT_EQ(L"tavrel mixed", PrinterDriverName(L"Zulu Mixed 2")) << "the spooler keeps the case a printer names";

    ASSERT_NO_FATAL_FAILURE(StartPastWarning());
    const std::vector<std::wstring> rows = ListRows(m_hList);
    const std::vector<std::wstring> expected = ExpectedRows();
    EXPECT_EQ(expected, rows) << "rows: " << Join(rows) << "\nexpected: " << Join(expected);

    EXPECT_EQ(1u, CountOf(rows, L"Tavrel Alpha")) << "a printer named like its driver is one row";
    EXPECT_EQ(1u, CountOf(rows, L"Tavrel Shared A"));
    EXPECT_EQ(1u, CountOf(rows, L"Tavrel Shared B"));
    EXPECT_EQ(1u, CountOf(rows, L"Tavrel Shared")) << "the shared driver keeps a row of its own";
    EXPECT_EQ(1u, CountOf(rows, L"Tavrel Office"));
    EXPECT_EQ(1u, CountOf(rows, L"Tavrel Other")) << "a driver used by a printer of another name has its row";
    EXPECT_EQ(1u, CountOf(rows, L"Tavrel Case"));
    EXPECT_EQ(1u, CountOf(rows, L"TAVREL CASE")) << "names that differ in case only are different";
    EXPECT_EQ(1u, CountOf(rows, L"Tavrel Hidden")) << "the printer row, and no row for the driver of that name";
    EXPECT_EQ(1u, CountOf(rows, L"Tavrel Mixed"));
    EXPECT_EQ(0u, CountOf(rows, L"tavrel mixed")) << "only drivers, not the names printers give them, have rows";

    // Printers come first even where the sorted list box would put a driver before them.
    auto position = [&](const wchar_t* pName) { return std::find(rows.begin(), rows.end(), pName) - rows.begin(); };
    EXPECT_LT(position(L"Zulu Mixed 2"), position(L"Tavrel Other"));
    EXPECT_LT(position(L"Tavrel Shared B"), position(L"Tavrel Other"));
    EXPECT_EQ(std::wstring(kTitle), WindowText(m_hDialog));
}

// Each fill starts from an empty list: a rebuild after a worker shows the spooler as it is then.
TEST_F(UninstallTest, EveryFillShowsTheSpoolerAnewWithoutAccumulating)
{
    SpoolerSetup spooler;
    ASSERT_EQ(0u, spooler.InstallDriver(L"Tavrel Refill"));
    ASSERT_EQ(0u, spooler.InstallPrinter(L"Tavrel Refill One", L"Tavrel Refill"));
    ASSERT_NO_FATAL_FAILURE(StartPastWarning());
    const std::vector<std::wstring> first = ListRows(m_hList);
    ASSERT_EQ(ExpectedRows(), first);

    // A printer added while the worker's box is up shows after the worker's rebuild.
    HWND hBox = PressWithoutSelection();
    ASSERT_TRUE(hBox);
    ASSERT_EQ(0u, spooler.InstallPrinter(L"Tavrel Refill Two", L"Tavrel Refill"));
    std::vector<std::wstring> withSecond = ExpectedRows();
    ASSERT_EQ(first.size() + 1, withSecond.size());
    ASSERT_TRUE(AnswerMessageBox(hBox, IDOK));
    EXPECT_TRUE(WaitUntil([&] { return ListRows(m_hList) == withSecond; }, kUiStepMs))
        << "rows: " << Join(ListRows(m_hList)) << "\nexpected: " << Join(withSecond);

    // Back to the first spooler state: the third fill equals the first, not a sum of fills.
    ASSERT_TRUE(DeletePrinterByName(L"Tavrel Refill Two"));
    ASSERT_TRUE(WaitUntil([&] { return IsWindowEnabled(m_hUninstall) != FALSE; }, kUiStepMs));
    hBox = PressWithoutSelection();
    ASSERT_TRUE(hBox);
    ASSERT_TRUE(AnswerMessageBox(hBox, IDOK));
    EXPECT_TRUE(WaitUntil([&] { return ListRows(m_hList) == first; }, kUiStepMs))
        << "rows: " << Join(ListRows(m_hList)) << "\nexpected: " << Join(first);
    EXPECT_FALSE(WaitUntil([&] { return ListRows(m_hList) != first; }, 500)) << "the list stays as the spooler lists it";
    EXPECT_EQ(std::wstring(kTitle), WindowText(m_hDialog));
}

TEST_F(UninstallTest, PressWithoutSelectionShowsInformationAndEnablesTheButtonAgain)
{
    ASSERT_NO_FATAL_FAILURE(StartPastWarning());
    ASSERT_EQ(LB_ERR, SelectedRow(m_hList));

    // The work starts on the press, even when the mouse is released outside the button.
    RECT rc = {};
    GetClientRect(m_hUninstall, &rc);
    PostMessageW(m_hUninstall, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(rc.right / 2, rc.bottom / 2));
    PostMessageW(m_hUninstall, WM_LBUTTONUP, 0, MAKELPARAM(rc.right + 40, rc.bottom + 40));
    HWND hBox = WaitForMessageBox(m_pProcess->Pid(), kSelectFirst, kUiStepMs);
    ASSERT_TRUE(hBox) << "no information box after a press without a selected row";

    EXPECT_EQ(nullptr, GetWindow(hBox, GW_OWNER)) << "the information box has no owner";
    EXPECT_NE(std::wstring(kTitle), WindowText(hBox)) << "the system's default caption, not the program's";
    EXPECT_FALSE(WindowText(hBox).empty());
    EXPECT_EQ(std::vector<int>{IDOK}, ButtonIds(hBox));
    EXPECT_FALSE(IsWindowEnabled(m_hUninstall)) << "the button stays disabled while the worker runs";
    EXPECT_EQ(0, ProgressPosition()) << "the bar is back at 0 when the box shows";
    EXPECT_TRUE(IsWindowEnabled(m_hDialog)) << "a box without owner leaves the dialog usable";

    ASSERT_TRUE(AnswerMessageBox(hBox, IDOK));
    EXPECT_TRUE(WaitUntil([&] { return IsWindowEnabled(m_hUninstall) != FALSE; }, kUiStepMs));
    // Longer than one timer period: no tick may move the bar after the worker.
    EXPECT_FALSE(WaitUntil([&] { return ProgressPosition() != 0; }, 2500)) << "the bar moved after the worker";
    EXPECT_EQ(LB_ERR, SelectedRow(m_hList));
    EXPECT_TRUE(m_pProcess->IsRunning());
}

TEST_F(UninstallTest, EnterEscSpaceAndTabDoNothing)
{
    ASSERT_NO_FATAL_FAILURE(StartPastWarning());
    const std::vector<std::wstring> rows = ListRows(m_hList);
    GUITHREADINFO before = {};
    before.cbSize = sizeof(before);
    GetGUIThreadInfo(GetWindowThreadProcessId(m_hDialog, nullptr), &before);

    for (HWND hTarget : {m_hDialog, m_hUninstall, m_hCancel, m_hList}) {
        for (WPARAM key : {VK_RETURN, VK_ESCAPE, VK_SPACE, VK_TAB}) {
            PostMessageW(hTarget, WM_KEYDOWN, key, 1);
            if (key != VK_TAB)
                PostMessageW(hTarget, WM_CHAR, key == VK_SPACE ? L' ' : key, 1);
            PostMessageW(hTarget, WM_KEYUP, key, 0xC0000001);
        }
    }
    Sleep(3000);
    EXPECT_TRUE(m_pProcess->IsRunning()) << "Esc must not end the program";
    EXPECT_TRUE(IsWindowVisible(m_hDialog));
    EXPECT_TRUE(SelectFirstBoxes().empty()) << "Enter or Space must not start the uninstall";
    EXPECT_TRUE(IsWindowEnabled(m_hUninstall));
    EXPECT_EQ(rows, ListRows(m_hList));
    GUITHREADINFO after = {};
    after.cbSize = sizeof(after);
    GetGUIThreadInfo(GetWindowThreadProcessId(m_hDialog, nullptr), &after);
    EXPECT_EQ(before.hwndFocus, after.hwndFocus) << "Tab must not move the focus";
}

TEST_F(UninstallTest, CancelPressEndsTheProgramWithExitCodeZero)
{
    ASSERT_NO_FATAL_FAILURE(StartPastWarning());
    PressButton(m_hCancel);
    ExpectEndsWithExitCodeZero("a press on Cancel");
}

TEST_F(UninstallTest, CancelPressWhileAWorkerWaitsEndsTheProgramAtOnce)
{
    ASSERT_NO_FATAL_FAILURE(StartPastWarning());
    ASSERT_TRUE(PressWithoutSelection());
    PressButton(m_hCancel);
    ExpectEndsWithExitCodeZero("a press on Cancel during a worker");
}

TEST_F(UninstallTest, CloseBoxEndsTheProgramWithExitCodeZero)
{
    ASSERT_NO_FATAL_FAILURE(StartPastWarning());
    PostMessageW(m_hDialog, WM_SYSCOMMAND, SC_CLOSE, 0);  // the title bar's close box
    ExpectEndsWithExitCodeZero("the close box");
    EXPECT_FALSE(IsWindow(m_hDialog)) << "closing destroys the dialog";
}

TEST_F(UninstallTest, PostedCloseEndsTheProgramWithExitCodeZero)
{
    ASSERT_NO_FATAL_FAILURE(StartPastWarning());
    PostMessageW(m_hDialog, WM_CLOSE, 0, 0);
    ExpectEndsWithExitCodeZero("a posted WM_CLOSE");
}

TEST_F(UninstallTest, RightPressStartsNothing)
{
    ASSERT_NO_FATAL_FAILURE(StartPastWarning());
    RECT rc = {};
    GetClientRect(m_hUninstall, &rc);
    PostMessageW(m_hUninstall, WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(rc.right / 2, rc.bottom / 2));
    PostMessageW(m_hUninstall, WM_RBUTTONUP, 0, MAKELPARAM(rc.right / 2, rc.bottom / 2));
    EXPECT_FALSE(WaitUntil([&] { return !SelectFirstBoxes().empty(); }, 3000)) << "a right-button press started a worker";
    EXPECT_TRUE(IsWindowEnabled(m_hUninstall));
}

TEST_F(UninstallTest, DoubleClickAndRepeatedPressesStartOneWorker)
{
    ASSERT_NO_FATAL_FAILURE(StartPastWarning());
    RECT rc = {};
    GetClientRect(m_hUninstall, &rc);
    const LPARAM lPoint = MAKELPARAM(rc.right / 2, rc.bottom / 2);
    // A double click: press, release, the second press as WM_LBUTTONDBLCLK, release.
    PostMessageW(m_hUninstall, WM_LBUTTONDOWN, MK_LBUTTON, lPoint);
    PostMessageW(m_hUninstall, WM_LBUTTONUP, 0, lPoint);
    PostMessageW(m_hUninstall, WM_LBUTTONDBLCLK, MK_LBUTTON, lPoint);
    PostMessageW(m_hUninstall, WM_LBUTTONUP, 0, lPoint);
    // More presses while that worker runs, which a posted press reaches even on the disabled button.
    for (int i = 0; i < 5; ++i)
        PressButton(m_hUninstall);
    HWND hBox = WaitForMessageBox(m_pProcess->Pid(), kSelectFirst, kUiStepMs);
    ASSERT_TRUE(hBox);
    EXPECT_FALSE(WaitUntil([&] { return SelectFirstBoxes().size() > 1; }, 3000)) << "a second worker ran";
    ASSERT_TRUE(AnswerMessageBox(hBox, IDOK));
    EXPECT_FALSE(WaitUntil([&] { return !SelectFirstBoxes().empty(); }, 3000))
        << "a press queued during the first worker started another one afterwards";
}

// Presses keep coming while boxes are answered, until three workers have followed one another
// (however slow the machine): never two at once (two would show two information boxes).
TEST_F(UninstallTest, PressesDuringRebuildNeverOverlapWorkers)
{
    SpoolerSetup spooler;  // some rows, so that each rebuild takes a moment
    ASSERT_EQ(0u, spooler.InstallDriver(L"Tavrel Busy"));
    for (int i = 0; i < 6; ++i)
        ASSERT_EQ(0u, spooler.InstallPrinter(L"Tavrel Busy " + std::to_wstring(i), L"Tavrel Busy"));
    ASSERT_NO_FATAL_FAILURE(StartPastWarning());

    size_t nMostAtOnce = 0;
    int nAnswered = 0;
    const ULONGLONG end = GetTickCount64() + 3 * kUiStepMs;
    while (nAnswered < 3 && GetTickCount64() < end) {
        PressButton(m_hUninstall);
        std::vector<HWND> boxes = SelectFirstBoxes();
        nMostAtOnce = std::max(nMostAtOnce, boxes.size());
        if (!boxes.empty()) {
            // Answer with the keyboard-free press, then keep pressing at once.
            PressButton(GetDlgItem(boxes.front(), IDOK));
            WaitForWindowGone(boxes.front(), kUiStepMs);
            ++nAnswered;
        }
        Sleep(20);
    }
    EXPECT_LE(nMostAtOnce, 1u) << "two workers ran at the same time";
    EXPECT_EQ(3, nAnswered) << "workers should follow one another";
}

TEST(UninstallServiceThreads, CompatibilityServiceStoppedAtStartAndStartedAfterTheWarning)
{
    TestService service(L"PcaSvc", L"normal");
    ASSERT_TRUE(StartServiceAndWait(L"PcaSvc"));

    GuiProcess process(UninstallPath());
    ASSERT_TRUE(process.Started());
    HWND hWarning = WaitForMessageBox(process.Pid(), kWarning, kProgramStartMs);
    ASSERT_TRUE(hWarning);
    EXPECT_TRUE(WaitServiceState(L"PcaSvc", SERVICE_STOPPED, kUiStepMs)) << "PcaSvc should be stopped at start-up";
    Sleep(1500);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), ServiceState(L"PcaSvc"))
        << "PcaSvc must not start again before the warning is dismissed";

    ASSERT_TRUE(AnswerMessageBox(hWarning, IDOK));
    EXPECT_TRUE(WaitServiceState(L"PcaSvc", SERVICE_RUNNING, kUiStepMs)) << "PcaSvc should run again after the warning";

    HWND hDialog = WaitForDialog(process.Pid(), kTitle, kListId, kUiStepMs);
    ASSERT_TRUE(hDialog);
    PressButton(GetDlgItem(hDialog, IDCANCEL));
    DWORD dwExitCode = 0xFFFF;
    ASSERT_TRUE(process.WaitForExit(kUiStepMs, &dwExitCode));
    EXPECT_EQ(0u, dwExitCode);
}

// A copy of the program whose dialog template 101 is gone cannot create its dialog. (The copy
// is rebuilt from all other resources: Wine cannot delete a single resource.)
TEST(UninstallStartup, WithoutItsDialogTheProgramWritesTheFailureAndEndsWithZero)
{
    wchar_t szTemp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, szTemp);
    const std::wstring folder = std::wstring(szTemp) + L"tavrel-nodialog\\";
    MakeDirs(folder);
    const std::wstring copy = folder + L"Uninstall.exe";
    const std::vector<ResourceEntry> resources = ReadResources(UninstallPath());
    ASSERT_GE(resources.size(), 5u);
    ASSERT_TRUE(CopyFileW(UninstallPath().c_str(), copy.c_str(), FALSE)) << GetLastError();
    HANDLE hUpdate = BeginUpdateResourceW(copy.c_str(), TRUE);
    ASSERT_TRUE(hUpdate) << GetLastError();
    size_t nLeftOut = 0;
    for (const ResourceEntry& r : resources) {
        if (r.type == L"#5" && r.name == L"#101") {
            ++nLeftOut;
            continue;
        }
        ASSERT_TRUE(UpdateResourceW(hUpdate, ResourceIdArgument(r.type), ResourceIdArgument(r.name), r.wLanguage,
                                    const_cast<char*>(r.bytes.data()), static_cast<DWORD>(r.bytes.size())))
            << GetLastError();
    }
    ASSERT_EQ(1u, nLeftOut) << "the program should hold template 101 once";
    ASSERT_TRUE(EndUpdateResourceW(hUpdate, FALSE)) << GetLastError();
    const std::vector<ResourceEntry> left = ReadResources(copy);
    EXPECT_EQ(resources.size() - 1, left.size());
    for (const ResourceEntry& r : left)
        EXPECT_FALSE(r.type == L"#5" && r.name == L"#101") << "template 101 should be gone";

    {
        GuiProcess process(copy, L"", true);
        ASSERT_TRUE(process.Started()) << process.StartError();
        bool bWindowSeen = false;
        DWORD dwExitCode = 0xFFFF;
        const ULONGLONG end = GetTickCount64() + kProgramStartMs;
        while (!process.WaitForExit(20, &dwExitCode) && GetTickCount64() < end)
            bWindowSeen = bWindowSeen || !DialogWindows(process.Pid()).empty();
        ASSERT_FALSE(process.IsRunning()) << "the program should end by itself";
        EXPECT_EQ(0u, dwExitCode);
        EXPECT_FALSE(bWindowSeen) << "nothing is shown";
        EXPECT_EQ("Failed to create dialog/n", process.Output());
    }
    DeleteFileW(copy.c_str());
    RemoveDirectoryW(folder.c_str());
}

// A management tool's SYSTEM runs where no one sees a window (the services' station): started
// there without arguments, the program ends at once with 87 and opens nothing. Under Wine only
// the station WinSta0 is visible, so one of the test's own stands for that one.
BOOL CALLBACK NoteWindowOf(HWND hWnd, LPARAM lParam)
{
    auto* pSeen = reinterpret_cast<std::pair<DWORD, bool>*>(lParam);
    DWORD dwPid = 0;
    GetWindowThreadProcessId(hWnd, &dwPid);
    pSeen->second = pSeen->second || dwPid == pSeen->first;
    return TRUE;
}

TEST(UninstallStartup, WithoutArgumentsWhereNoOneSeesItTheProgramEndsWith87)
{
    UnseenDesktop unseen;
    ASSERT_TRUE(unseen.Handle()) << GetLastError();
    GuiProcess process(UninstallPath(), L"", false, UnseenDesktop::kName);
    std::pair<DWORD, bool> seen(process.Pid(), false);
    DWORD dwExitCode = 0xFFFF;
    const ULONGLONG end = GetTickCount64() + kProgramStartMs;
    while (!seen.second && !process.WaitForExit(20, &dwExitCode) && GetTickCount64() < end)
        EnumDesktopWindows(unseen.Handle(), NoteWindowOf, reinterpret_cast<LPARAM>(&seen));
    EXPECT_FALSE(seen.second) << "no window, not even a hidden one";
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), dwExitCode) << "ended by itself, with 87";
}

// Started from a download folder, where any file may lie beside it: after its start-up a DLL
// named bare comes from the system folder only; and where the system lacks that restriction
// (Windows 7 without KB2533623: a copy asks for it by another name), winspool.drv still does.
TEST(UninstallStartup, DllsLyingBesideTheProgramAreNotLoaded)
{
    const std::wstring folder = L"C:\\tavrel-download\\";
    MakeDirs(folder);
    WriteFileBytes(folder + L"winspool.drv", "not a DLL");
    for (const wchar_t* pCopy : {L"planted.dll", L"proof.dll"})
        ASSERT_TRUE(CopyFileW((TestBinFolder() + L"standins.dll").c_str(), (folder + pCopy).c_str(), FALSE));
    std::string program = ReadFileBytes(UninstallPath());
    WriteFileBytes(folder + L"Uninstall.exe", program);
    // Its list, read through winspool.drv, comes before its warning.
    auto ShowsWarning = [](const GuiProcess& process) {
        return WaitUntil([&] { return !FindMessageBoxes(process.Pid(), kWarning).empty() || !process.IsRunning(); },
                         kProgramStartMs) &&
               process.IsRunning();
    };
    // A copy named by its path shows that a load can be made in the process; Wine now and then
    // refuses one for reasons of its own (see InjectDll), and a fresh process is then started.
    bool bLoadable = false;
    for (int nTry = 0; nTry < 3 && !bLoadable; ++nTry) {
        GuiProcess process(folder + L"Uninstall.exe");
        ASSERT_TRUE(ShowsWarning(process));
        bLoadable = InjectDll(process.Handle(), folder + L"proof.dll");
        if (bLoadable) {
            EXPECT_FALSE(InjectDll(process.Handle(), L"planted.dll")) << "a DLL named bare is not taken from beside it";
        }
    }
    ASSERT_TRUE(bLoadable) << "named by its path, a DLL loads";
    const size_t nAt = program.find("SetDefaultDllDirectories");
    ASSERT_NE(std::string::npos, nAt) << "the program asks for the restriction";
    ASSERT_EQ(std::string::npos, program.find("SetDefaultDllDirectories", nAt + 1)) << "by that name, once";
    program[nAt] = 'X';
    WriteFileBytes(folder + L"UninstallWin7.exe", program);
    GuiProcess win7(folder + L"UninstallWin7.exe");
    EXPECT_TRUE(ShowsWarning(win7)) << "without the restriction, winspool.drv still came from the system folder";
    win7.Terminate();
    RemoveTree(folder);
}

}  // namespace
