// Installer: the architecture choice and the started path with stand-ins for the system calls
// (the program's steps are linked into this test), then the real Installer.exe under Wine.
#include <gtest/gtest.h>
#include <windows.h>
#include <shellapi.h>

#include "GuiDriver.h"
#include "ImportPatch.h"
#include "Installer.h"
#include "TestSupport.h"

namespace {

// ---- stand-ins ----

struct ShellCall {
    HWND hWnd;
    std::wstring verb, file;
    bool bHasParameters, bHasDirectory;
    INT nShow;
    ULONG fMask;
};
std::vector<ShellCall> g_shellCalls;
DWORD g_dwStartError = 0;  // nonzero: the start fails with it

// Starts nothing: as a start handed on without a process (0 then), or one that fails.
BOOL WINAPI RecordShellExecuteEx(SHELLEXECUTEINFOW* p)
{
    g_shellCalls.push_back({p->hwnd, p->lpVerb ? p->lpVerb : L"<null>", p->lpFile ? p->lpFile : L"<null>",
                            p->lpParameters != nullptr, p->lpDirectory != nullptr, p->nShow, p->fMask});
    SetLastError(g_dwStartError);
    return !g_dwStartError;
}

WORD g_wNative = 0;         // what GetNativeSystemInfo reports
WORD g_wEmulated = 0;       // what GetSystemInfo reports (a 32-bit process's view)
bool g_bHasNative = true;   // whether kernel32 has GetNativeSystemInfo
int g_nNativeCalls = 0;
int g_nSystemInfoCalls = 0;
void* g_pGetProcAddress = nullptr;

void WINAPI FakeGetNativeSystemInfo(LPSYSTEM_INFO pInfo)
{
    ++g_nNativeCalls;
    ZeroMemory(pInfo, sizeof(*pInfo));
    pInfo->wProcessorArchitecture = g_wNative;
}

void WINAPI FakeGetSystemInfo(LPSYSTEM_INFO pInfo)
{
    ++g_nSystemInfoCalls;
    ZeroMemory(pInfo, sizeof(*pInfo));
    pInfo->wProcessorArchitecture = g_wEmulated;
}

// What IsWow64Process2 says of the machine; 0: kernel32 lacks the call (before Windows 10 1709).
USHORT g_nWow64Native = 0;
BOOL WINAPI FakeIsWow64Process2(HANDLE, USHORT* pProcessMachine, USHORT* pNativeMachine)
{
    *pProcessMachine = IMAGE_FILE_MACHINE_I386;
    *pNativeMachine = g_nWow64Native;
    return TRUE;
}

FARPROC WINAPI FakeGetProcAddress(HMODULE hModule, LPCSTR pName)
{
    if (!IS_INTRESOURCE(pName) && lstrcmpA(pName, "IsWow64Process2") == 0) {
        if (hModule != GetModuleHandleW(L"kernel32.dll") || !g_nWow64Native) {
            SetLastError(ERROR_PROC_NOT_FOUND);
            return nullptr;
        }
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&FakeIsWow64Process2));
    }
    if (!IS_INTRESOURCE(pName) && lstrcmpA(pName, "GetNativeSystemInfo") == 0) {
        if (hModule != GetModuleHandleW(L"kernel32.dll")) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return nullptr;  // looked up anywhere but kernel32: not found
        }
        if (!g_bHasNative) {
            SetLastError(ERROR_PROC_NOT_FOUND);
            return nullptr;
        }
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&FakeGetNativeSystemInfo));
    }
    return reinterpret_cast<decltype(&GetProcAddress)>(g_pGetProcAddress)(hModule, pName);
}

// The module path GetModuleFileNameW hands out, as Windows does for a buffer too small: the
// path cut to the buffer (with a terminating zero, or without one as Windows XP did), the
// buffer size as result and ERROR_INSUFFICIENT_BUFFER.
std::wstring g_strModulePath;
bool g_bXpTruncation = false;
DWORD g_dwModuleError = 0;  // nonzero: the call fails with it
std::vector<DWORD> g_moduleBufferSizes;

DWORD WINAPI FakeGetModuleFileName(HMODULE hModule, LPWSTR pBuffer, DWORD nSize)
{
    g_moduleBufferSizes.push_back(nSize);
    if (hModule != nullptr || g_dwModuleError) {
        SetLastError(g_dwModuleError ? g_dwModuleError : ERROR_MOD_NOT_FOUND);
        return 0;
    }
    const DWORD nLength = static_cast<DWORD>(g_strModulePath.size());
    if (nLength < nSize) {
        memcpy(pBuffer, g_strModulePath.c_str(), (nLength + 1) * sizeof(wchar_t));
        SetLastError(ERROR_SUCCESS);
        return nLength;
    }
    if (g_bXpTruncation) {
        memcpy(pBuffer, g_strModulePath.c_str(), nSize * sizeof(wchar_t));
        SetLastError(ERROR_SUCCESS);
    } else {
        memcpy(pBuffer, g_strModulePath.c_str(), (nSize - 1) * sizeof(wchar_t));
        pBuffer[nSize - 1] = L'\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
    }
    return nSize;
}

// Whether the ARM64 setup lies beside the program (the others always do), and the boxes shown.
bool g_bArm64SetupThere = true;
DWORD WINAPI FakeGetFileAttributes(LPCWSTR pPath)
{
    SetLastError(ERROR_FILE_NOT_FOUND);
    const bool bArm64 = std::wstring(pPath).find(L"PrinterDriver\\Setup_ARM64.exe") != std::wstring::npos;
    return bArm64 && !g_bArm64SetupThere ? INVALID_FILE_ATTRIBUTES : FILE_ATTRIBUTE_NORMAL;
}
std::vector<std::wstring> g_boxes;
int WINAPI RecordBox(HWND, LPCWSTR pText, LPCWSTR, UINT)
{
    g_boxes.push_back(pText);
    return IDOK;
}

class InstallerStepsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_strOwnFolder = TestBinFolder();  // before GetModuleFileNameW may be replaced
        g_shellCalls.clear();
        g_bHasNative = true;
        g_nNativeCalls = g_nSystemInfoCalls = 0;
        m_pShell.reset(
            new ScopedImportPatch("shell32.dll", "ShellExecuteExW", reinterpret_cast<void*>(&RecordShellExecuteEx)));
        m_pProc.reset(new ScopedImportPatch("kernel32.dll", "GetProcAddress", reinterpret_cast<void*>(&FakeGetProcAddress)));
        g_pGetProcAddress = m_pProc->Original();
        m_pInfo.reset(new ScopedImportPatch("kernel32.dll", "GetSystemInfo", reinterpret_cast<void*>(&FakeGetSystemInfo)));
        m_pAttributes.reset(
            new ScopedImportPatch("kernel32.dll", "GetFileAttributesW", reinterpret_cast<void*>(&FakeGetFileAttributes)));
        m_pBox.reset(new ScopedImportPatch("user32.dll", "MessageBoxW", reinterpret_cast<void*>(&RecordBox)));
        g_boxes.clear();
    }
    void TearDown() override
    {
        m_pBox.reset();
        m_pAttributes.reset();
        m_pInfo.reset();
        m_pProc.reset();
        m_pShell.reset();
    }

    // Runs the whole program once; the one file it started, or "<none>".
    std::wstring StartedFile(int nExpectedExit = 0)
    {
        g_shellCalls.clear();
        EXPECT_EQ(nExpectedExit, RunInstaller());
        if (g_shellCalls.empty())
            return L"<none>";
        EXPECT_EQ(1u, g_shellCalls.size());
        const ShellCall& call = g_shellCalls.front();
        EXPECT_EQ(nullptr, call.hWnd);
        EXPECT_EQ(L"open", call.verb);
        EXPECT_FALSE(call.bHasParameters) << "no arguments are passed on";
        EXPECT_FALSE(call.bHasDirectory);
        EXPECT_EQ(SW_SHOW, call.nShow);
        // A process to wait for, and no error box of the shell's (one, unseen, would hold a management tool).
        EXPECT_EQ(static_cast<ULONG>(SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC), call.fMask);
        return call.file;
    }

    std::wstring m_strOwnFolder;
    std::unique_ptr<ScopedImportPatch> m_pShell, m_pProc, m_pInfo, m_pAttributes, m_pBox;
};

TEST_F(InstallerStepsTest, NativeArchitectureChoosesTheSetupProgram)
{
    const struct {
        WORD wArchitecture;
        const wchar_t* pSetup;
    } cases[] = {
        {PROCESSOR_ARCHITECTURE_INTEL, L"PrinterDriver\\Setup_i386.exe"},  // 0
        {PROCESSOR_ARCHITECTURE_ARM, L"PrinterDriver\\Setup_i386.exe"},    // 5
        {PROCESSOR_ARCHITECTURE_IA64, L"PrinterDriver\\Setup_X64.exe"},    // 6
        {PROCESSOR_ARCHITECTURE_AMD64, L"PrinterDriver\\Setup_X64.exe"},   // 9
        {12, L"PrinterDriver\\Setup_ARM64.exe"},                           // ARM64, its setup there
        {PROCESSOR_ARCHITECTURE_UNKNOWN, L"PrinterDriver\\Setup_i386.exe"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("architecture " + std::to_string(c.wArchitecture));
        g_wNative = c.wArchitecture;
        g_wEmulated = PROCESSOR_ARCHITECTURE_INTEL;  // a 32-bit process's own view must not decide
        g_nNativeCalls = g_nSystemInfoCalls = 0;
        EXPECT_EQ(m_strOwnFolder + c.pSetup, StartedFile());
        EXPECT_EQ(1, g_nNativeCalls);
        EXPECT_EQ(0, g_nSystemInfoCalls) << "GetSystemInfo only when GetNativeSystemInfo is missing";
    }
}

// An x86 process on ARM64 Windows hears x86 (Windows 10) or x64 (Windows 11, under x64
// emulation) from GetNativeSystemInfo; IsWow64Process2 tells the real machine, and the rule
// for ARM64 applies. Wine has the call and answers AMD64: a stand-in tells the others.
TEST_F(InstallerStepsTest, IsWow64Process2TellsTheRealMachine)
{
    const struct {
        USHORT nMachine;
        WORD wNativeSystemInfo;
        const wchar_t* pSetup;
    } cases[] = {
        {0xAA64 /* ARM64 */, PROCESSOR_ARCHITECTURE_AMD64, L"PrinterDriver\\Setup_ARM64.exe"},
        {0xAA64, PROCESSOR_ARCHITECTURE_INTEL, L"PrinterDriver\\Setup_ARM64.exe"},
        {IMAGE_FILE_MACHINE_AMD64, PROCESSOR_ARCHITECTURE_INTEL, L"PrinterDriver\\Setup_X64.exe"},
        {IMAGE_FILE_MACHINE_I386, PROCESSOR_ARCHITECTURE_AMD64, L"PrinterDriver\\Setup_i386.exe"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("machine " + std::to_string(c.nMachine));
        g_nWow64Native = c.nMachine;
        g_wNative = c.wNativeSystemInfo;
        g_nNativeCalls = 0;
        EXPECT_EQ(m_strOwnFolder + c.pSetup, StartedFile());
        EXPECT_EQ(0, g_nNativeCalls) << "IsWow64Process2 answered";
    }
    // A machine it has no name for: GetNativeSystemInfo decides, as before.
    g_nWow64Native = 0x1234;
    g_wNative = PROCESSOR_ARCHITECTURE_AMD64;
    EXPECT_EQ(m_strOwnFolder + L"PrinterDriver\\Setup_X64.exe", StartedFile());
    EXPECT_EQ(1, g_nNativeCalls);
    g_nWow64Native = 0;
}

// No ARM64 driver can be installed from the x86 or x64 setup: without its own setup, an ARM64
// PC gets nothing started, a box that says why, and an exit code that is no success.
TEST_F(InstallerStepsTest, Arm64WithoutItsSetupStartsNothingAndSaysWhy)
{
    g_wNative = kArchitectureArm64;
    g_bArm64SetupThere = false;
    EXPECT_EQ(kExitNoArm64Setup, RunInstaller());
    g_bArm64SetupThere = true;
    EXPECT_TRUE(g_shellCalls.empty());
    ASSERT_EQ(1u, g_boxes.size());
    EXPECT_NE(std::wstring::npos, g_boxes[0].find(L"ARM64 驱动程序")) << Utf8(g_boxes[0]);
}

// A start that Windows refuses is no success: its error is the exit code, and the box names it.
TEST_F(InstallerStepsTest, ARefusedStartEndsWithItsError)
{
    g_wNative = PROCESSOR_ARCHITECTURE_AMD64;
    g_dwStartError = ERROR_BAD_EXE_FORMAT;
    const std::wstring setup = StartedFile(ERROR_BAD_EXE_FORMAT);
    g_dwStartError = 0;
    EXPECT_EQ(std::vector<std::wstring>{L"无法启动驱动程序安装程序（错误 193）：" + setup}, g_boxes);
}

TEST_F(InstallerStepsTest, WithoutGetNativeSystemInfoTheSystemInfoDecides)
{
    g_bHasNative = false;
    g_wNative = PROCESSOR_ARCHITECTURE_INTEL;
    g_wEmulated = PROCESSOR_ARCHITECTURE_AMD64;
    EXPECT_EQ(m_strOwnFolder + L"PrinterDriver\\Setup_X64.exe", StartedFile());
    g_wEmulated = PROCESSOR_ARCHITECTURE_INTEL;
    EXPECT_EQ(m_strOwnFolder + L"PrinterDriver\\Setup_i386.exe", StartedFile());
    EXPECT_EQ(2, g_nSystemInfoCalls);
    EXPECT_EQ(0, g_nNativeCalls);
}

// Paths around and beyond MAX_PATH: the whole folder is used, never a cut one.
TEST_F(InstallerStepsTest, LongOwnPathsAreReadWhole)
{
    ScopedImportPatch module("kernel32.dll", "GetModuleFileNameW", reinterpret_cast<void*>(&FakeGetModuleFileName));
    g_wNative = PROCESSOR_ARCHITECTURE_AMD64;
    g_dwModuleError = 0;
    for (bool bXp : {false, true}) {
        g_bXpTruncation = bXp;
        for (size_t nLength : {258u, 259u, 260u, 261u, 300u, 520u, 1000u, 32767u}) {
            SCOPED_TRACE("path of " + std::to_string(nLength) + " characters" + (bXp ? ", XP truncation" : ""));
            // C:\ + folders of 50 characters + Installer.exe, padded to the length in the last folder.
            std::wstring folder = L"C:\\";
            const std::wstring file = L"Installer.exe";
            while (folder.size() + 51 + file.size() < nLength)
                folder += std::wstring(50, L'a' + static_cast<wchar_t>(folder.size() % 26)) + L"\\";
            folder += std::wstring(nLength - folder.size() - file.size() - 1, L'z') + L"\\";
            g_strModulePath = folder + file;
            ASSERT_EQ(nLength, g_strModulePath.size());
            g_moduleBufferSizes.clear();
            const std::wstring started = StartedFile();
            const std::wstring expected = folder + L"PrinterDriver\\Setup_X64.exe";
            EXPECT_TRUE(started == expected) << "started a path of " << started.size() << " characters, expected "
                                             << expected.size() << ": " << Ansi(started.substr(0, 60)) << "...";
            ASSERT_FALSE(g_moduleBufferSizes.empty());
            EXPECT_EQ(static_cast<DWORD>(MAX_PATH), g_moduleBufferSizes.front()) << "the first read uses MAX_PATH";
        }
    }
}

TEST_F(InstallerStepsTest, NoOwnPathStartsNothing)
{
    ScopedImportPatch module("kernel32.dll", "GetModuleFileNameW", reinterpret_cast<void*>(&FakeGetModuleFileName));
    g_wNative = PROCESSOR_ARCHITECTURE_AMD64;
    g_bXpTruncation = false;

    // The call fails: no folder is known, nothing is started relative to the current folder.
    g_dwModuleError = ERROR_NOT_ENOUGH_MEMORY;
    EXPECT_EQ(L"<none>", StartedFile(kExitSetupMissing));
    g_dwModuleError = 0;

    // Longer than any module path can be: it never fits, nothing is started.
    g_strModulePath = L"C:\\" + std::wstring(40000, L'x') + L"\\Installer.exe";
    g_moduleBufferSizes.clear();
    EXPECT_TRUE(StartedFile(kExitSetupMissing) == L"<none>");
    ASSERT_FALSE(g_moduleBufferSizes.empty());
    EXPECT_EQ(32768u, g_moduleBufferSizes.back()) << "the buffer grows up to the longest module path, no further";

    // A path without a backslash leaves an empty folder.
    g_strModulePath = L"Installer.exe";
    EXPECT_EQ(L"PrinterDriver\\Setup_X64.exe", StartedFile());
}

// ---- the real Installer.exe ----

struct InstallFolder {
    explicit InstallFolder(const std::wstring& path) : root(path) { MakeDirs(root + L"PrinterDriver\\"); }
    ~InstallFolder() { RemoveTree(root); }
    bool Put(const std::wstring& source, const std::wstring& relative)
    {
        return CopyFileW((TestBinFolder() + source).c_str(), (root + relative).c_str(), FALSE) != FALSE;
    }
    std::wstring StartedRecord() { return Wide(ReadFileBytes(root + L"PrinterDriver\\started.txt")); }
    std::wstring root;
};

// Runs Installer.exe with arguments until it ends by itself, answering the one box that shows
// `box` (none when empty); no other window may show. Its exit code goes to *pExitCode.
void RunInstallerExe(const std::wstring& exe, const std::wstring& arguments, const std::wstring& box, DWORD* pExitCode)
{
    GuiProcess process(exe, arguments);
    ASSERT_TRUE(process.Started()) << "CreateProcess failed with " << process.StartError();
    if (!box.empty()) {
        HWND hBox = WaitForMessageBox(process.Pid(), box, kProgramStartMs);
        ASSERT_NE(nullptr, hBox) << "no box: " << Utf8(box);
        ASSERT_TRUE(AnswerMessageBox(hBox, IDOK));
    }
    bool bWindowSeen = false;
    const ULONGLONG end = GetTickCount64() + kProgramStartMs;
    while (!process.WaitForExit(10, pExitCode) && GetTickCount64() < end)
        bWindowSeen = bWindowSeen || !DialogWindows(process.Pid()).empty();
    ASSERT_FALSE(process.IsRunning()) << "Installer should end by itself";
    EXPECT_FALSE(bWindowSeen) << "Installer shows no other window";
}

TEST(InstallerProgram, StartsTheSetupBesideItWithoutArguments)
{
    InstallFolder folder(L"C:\\tavrel-setup\\");
    ASSERT_TRUE(folder.Put(L"Installer.exe", L"Installer.exe"));
    ASSERT_TRUE(folder.Put(L"setup_stub.exe", L"PrinterDriver\\Setup_X64.exe"));
    ASSERT_TRUE(folder.Put(L"setup_stub.exe", L"PrinterDriver\\Setup_i386.exe"));
    WriteFileBytes(folder.root + L"PrinterDriver\\exitcode.txt", "3010");

    // It waits for the setup and ends with its code, here "restart needed", as a management tool reads it.
    DWORD dwExitCode = 0;
    ASSERT_NO_FATAL_FAILURE(
        RunInstallerExe(folder.root + L"Installer.exe", L"/quiet extra \"more words\"", L"", &dwExitCode));
    EXPECT_EQ(3010u, dwExitCode);
    ASSERT_TRUE(WaitUntil([&] { return !folder.StartedRecord().empty(); }, kProgramStartMs))
        << "no setup program was started";
    // A second start would add a line: watched for a while, not read once.
    const std::wstring first = folder.StartedRecord();
    EXPECT_FALSE(WaitUntil([&] { return folder.StartedRecord() != first; }, 3000)) << "started more than once";
    const std::wstring record = folder.StartedRecord();
    const size_t nTab = record.find(L'\t');
    ASSERT_NE(std::wstring::npos, nTab) << Ansi(record);
    // Wine reports a 64-bit system (architecture 9): the x64 setup, started once.
    EXPECT_EQ(folder.root + L"PrinterDriver\\Setup_X64.exe", record.substr(0, nTab));
    EXPECT_EQ(std::wstring::npos, record.find(L'\n', record.find(L'\n') + 1)) << "started more than once";
    std::wstring commandLine = record.substr(nTab + 1);
    const std::wstring quoted = L"\"" + folder.root + L"PrinterDriver\\Setup_X64.exe\"";
    const std::wstring plain = folder.root + L"PrinterDriver\\Setup_X64.exe";
    if (commandLine.compare(0, quoted.size(), quoted) == 0)
        commandLine.erase(0, quoted.size());
    else if (commandLine.compare(0, plain.size(), plain) == 0)
        commandLine.erase(0, plain.size());
    EXPECT_EQ(std::wstring::npos, commandLine.find_first_not_of(L" \r\n"))
        << "arguments were passed on: " << Ansi(record);
}

// The setup for this PC (x64 under Wine) is missing: the other one, which lies there and would
// record a start, is not started in its place; a box names the missing one, and the exit code is
// no success.
TEST(InstallerProgram, MissingSetupProgramIsNamedAndFails)
{
    InstallFolder folder(L"C:\\tavrel-nosetup\\");
    ASSERT_TRUE(folder.Put(L"Installer.exe", L"Installer.exe"));
    ASSERT_TRUE(folder.Put(L"setup_stub.exe", L"PrinterDriver\\Setup_i386.exe"));
    DWORD dwExitCode = 0;
    ASSERT_NO_FATAL_FAILURE(RunInstallerExe(folder.root + L"Installer.exe", L"",
                                            L"找不到驱动程序安装程序：" + folder.root + L"PrinterDriver\\Setup_X64.exe",
                                            &dwExitCode));
    EXPECT_EQ(static_cast<DWORD>(kExitSetupMissing), dwExitCode);
    EXPECT_FALSE(WaitUntil([&] { return !folder.StartedRecord().empty(); }, 3000)) << "another setup was started";
}

// In a window station no one sees (a service's, where a management tool runs it; Wine too reports
// a new station without WSF_VISIBLE), a box would wait for ever: there is none, and the run ends.
TEST(InstallerProgram, NoBoxWhereNoOneCanSeeIt)
{
    InstallFolder folder(L"C:\\tavrel-unseen\\");
    ASSERT_TRUE(folder.Put(L"Installer.exe", L"Installer.exe"));
    UnseenDesktop unseen;
    ASSERT_TRUE(unseen.Handle()) << "no station or desktop, error " << GetLastError();
    GuiProcess process(folder.root + L"Installer.exe", L"", false, UnseenDesktop::kName);
    DWORD dwExitCode = 0;
    EXPECT_TRUE(process.WaitForExit(kProgramStartMs, &dwExitCode)) << "waits, as for a box no one can answer";
    EXPECT_EQ(static_cast<DWORD>(kExitSetupMissing), dwExitCode);
}

}  // namespace
