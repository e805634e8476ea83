// The OEM INF removal against the real INF folder of the sandbox prefix. SetupUninstallOEMInfW
// is recorded and then made for real (Wine's deletes C:\windows\inf\<name> only).
#include <gtest/gtest.h>
#include <windows.h>
#include <setupapi.h>
#include <shlobj.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "CallRecorder.h"
#include "ImportPatch.h"
#include "FileTree.h"
#include "FolderLookup.h"
#include "TestSupport.h"
#include "cleanup/DriverStore.h"
#include "cleanup/OemInf.h"
#include "cleanup/OtherDrivers.h"

namespace {

const wchar_t kDriver[] = L"Office Laser 100";

class OemInfTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_inf = WindowsFolder() + L"\\inf\\";
        ClearLogs();
        ClearRecordedCalls();
    }
    void TearDown() override
    {
        for (const std::wstring& file : m_made)
            DeleteFileW(file.c_str());
        RemoveDirectoryW((m_inf + L"tvsub").c_str());
        ClearLogs();
    }
    void Make(const std::wstring& relative, const std::string& bytes)
    {
        ASSERT_FALSE(PathExists(m_inf + relative)) << "test set-up";
        MakeFile(m_inf + relative, bytes);
        m_made.push_back(m_inf + relative);
    }
    BOOL Uninstall(const std::wstring& driverName, const OtherDrivers& others = OtherDrivers(),
                   std::vector<std::wstring>* pUnsettled = nullptr)
    {
        ScopedCallRecorder setup("SetupUninstallOEMInfW", RecordAndForward);
        return UninstallOemInfs(driverName, others, pUnsettled);
    }

    std::wstring m_inf;
    std::vector<std::wstring> m_made;
};

std::string Inf(const std::wstring& driverLine)
{
    return Ansi(L"[Version]\r\nClass=Printer\r\n[Strings]\r\nDriverName=\"" + driverLine + L"\"\r\n");
}

TEST_F(OemInfTest, NoCandidateOrNoMentionUninstallsNothing)
{
    Make(L"oem9001.inf", Inf(L"Another Printer"));
    Make(L"OEM9002.INF", Inf(kDriver));  // not a candidate: OEM in capitals
    std::string utf16("\xFF\xFE", 2);
    std::wstring text = L"DriverName=\"Office Laser 100\"";
    utf16.append(reinterpret_cast<const char*>(text.c_str()), text.size() * 2);
    Make(L"oem9003.inf", utf16);
    EXPECT_TRUE(Uninstall(kDriver));
    EXPECT_TRUE(RecordedCalls().empty());
    for (const std::wstring& file : m_made)
        EXPECT_TRUE(PathExists(file)) << file;
}

TEST_F(OemInfTest, EveryMatchingCandidateIsUninstalledByItsBareNameInListOrder)
{
    Make(L"oem9011.inf", Inf(L"OFFICE LASER 100"));
    Make(L"oem9012.PNF", std::string("PNF\x01\x02 Office Laser 100") + std::string(4, '\0') + "binary");
    Make(L"oem9013.inf", Inf(L"Another Printer"));
    Make(L"tvmyoem9014.txt", Inf(L"office laser 100"));
    Make(L"tvsub\\oem9015.inf", Inf(kDriver));
    std::vector<std::wstring> order = ListingOrder(m_inf);
    auto Position = [&](const wchar_t* pName) { return std::find(order.begin(), order.end(), pName) - order.begin(); };
    ASSERT_LT(Position(L"oem9011.inf"), Position(L"oem9012.PNF")) << "test set-up: the listing order assumed below";
    ASSERT_LT(Position(L"oem9012.PNF"), Position(L"tvmyoem9014.txt"));
    ASSERT_LT(Position(L"tvmyoem9014.txt"), Position(L"tvsub"));

    std::vector<std::wstring> unsettled;
    EXPECT_TRUE(Uninstall(kDriver, OtherDrivers(), &unsettled));
    std::vector<std::wstring> expected = {L"oem9011.inf|1|(null)", L"oem9012.PNF|1|(null)", L"tvmyoem9014.txt|1|(null)",
                                          L"oem9015.inf|1|(null)"};
    EXPECT_EQ(expected, RecordedCalls(L"SetupUninstallOEMInfW"))
        << "bare names, SUOI_FORCEDELETE, no reserved pointer, in the order of the walk";
    EXPECT_FALSE(PathExists(m_inf + L"oem9011.inf")) << "SetupAPI removed it";
    EXPECT_TRUE(PathExists(m_inf + L"oem9013.inf"));
    // SetupAPI looks for the bare name in the INF folder only: the one below stays, logged, and
    // is not counted as uninstalled.
    EXPECT_TRUE(PathExists(m_inf + L"tvsub\\oem9015.inf"));
    EXPECT_EQ(std::vector<std::wstring>{m_inf + L"tvsub\\oem9015.inf"}, unsettled);
    EXPECT_EQ(std::vector<std::string>{ErrorRecordText(L"SetupUninstallOEMInf oem9015.inf", ERROR_FILE_NOT_FOUND)},
              LogTexts());
}

// An OEM INF that SetupAPI could not remove (read-only here; held by another program, say) is
// not counted as uninstalled: the store clean-up keeps its package rather than leave the INF
// published for a package that is gone.
TEST_F(OemInfTest, InfThatStaysKeepsItsPackage)
{
    Make(L"oem9016.inf", Inf(kDriver));
    const std::wstring package = NativeSystemFolder() + L"\\DriverStore\\FileRepository\\tvheld.inf_amd64_1\\";
    MakeFile(package + L"tvheld.inf", Inf(kDriver));
    MakeReadOnly(m_inf + L"oem9016.inf");
    std::vector<std::wstring> unsettled;
    EXPECT_TRUE(Uninstall(kDriver, OtherDrivers(), &unsettled));
    {
        ScopedCallRecorder shell("ShellExecuteExW", RecordOnly);
        ScopedCallRecorder sleep("Sleep", RecordOnly);
        EXPECT_TRUE(CleanDriverStore(kDriver, OtherDrivers(), unsettled));
    }
    SetFileAttributesW((m_inf + L"oem9016.inf").c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(std::vector<std::wstring>{m_inf + L"oem9016.inf"}, unsettled);
    EXPECT_TRUE(PathExists(package + L"tvheld.inf")) << "the package of an INF still published stays";
    EXPECT_EQ(std::vector<std::string>{ErrorRecordText(L"SetupUninstallOEMInf oem9016.inf", ERROR_ACCESS_DENIED)},
              LogTexts());
    RemoveTree(package);
}

TEST_F(OemInfTest, EmptyNameOrUnknownWindowsFolderDoNothingAndSucceed)
{
    Make(L"oem9021.inf", Inf(kDriver));
    EXPECT_TRUE(Uninstall(L""));
    EXPECT_TRUE(RecordedCalls().empty()) << "the empty name would match every OEM INF";

    {
        ScopedFolderLookupFailure failure(CSIDL_WINDOWS, false, ERROR_PATH_NOT_FOUND);
        EXPECT_TRUE(Uninstall(kDriver)) << "this step never fails the removal";
        EXPECT_EQ(1, failure.Calls());
    }
    EXPECT_TRUE(RecordedCalls().empty());
    std::vector<std::string> expected = {ErrorRecordText(L"SHGetSpecialFolderPath", ERROR_PATH_NOT_FOUND)};
    EXPECT_EQ(expected, LogTexts());
    EXPECT_TRUE(PathExists(m_inf + L"oem9021.inf"));
}

// A 32-bit process on 64-bit Windows may hear ERROR_IN_WOW64 from SetupAPI: the native pnputil
// is then started for that INF, and only for the refusal, not for other failures.
std::vector<std::wstring> g_started;
std::wstring g_refusedName = L"oem9031.inf";
BOOL WINAPI RefusingSetupUninstall(PCWSTR pName, DWORD, PVOID)
{
    SetLastError(std::wstring(pName) == g_refusedName ? ERROR_IN_WOW64 : ERROR_ACCESS_DENIED);
    return FALSE;
}
BOOL WINAPI RecordCreateProcess(LPCWSTR pApplication, LPWSTR pCommandLine, LPSECURITY_ATTRIBUTES,
                                LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID, LPCWSTR pDirectory, LPSTARTUPINFOW,
                                LPPROCESS_INFORMATION)
{
    g_started.push_back((pApplication ? L"(set)|" : L"(null)|") + std::wstring(pCommandLine) + L"|" +
                        (pDirectory ? pDirectory : L"(null)"));
    SetLastError(ERROR_FILE_NOT_FOUND);  // as on a PC without pnputil: nothing to wait for
    return FALSE;
}

// A pnputil that is still at work when the wait ends: the stand-in hands out this process's own
// handles, and the wait (recorded) runs out.
BOOL WINAPI StartStillRunning(LPCWSTR, LPWSTR pCommandLine, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD,
                              LPVOID, LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION pInfo)
{
    g_started.push_back(pCommandLine);
    DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &pInfo->hProcess, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &pInfo->hThread, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    return TRUE;
}
std::vector<DWORD> g_waits;
DWORD g_dwWaitAnswer = WAIT_TIMEOUT;
DWORD WINAPI RunOutWait(HANDLE, DWORD dwMilliseconds)
{
    g_waits.push_back(dwMilliseconds);
    return g_dwWaitAnswer;
}
DWORD g_dwExitCode = ERROR_INVALID_PARAMETER;
BOOL WINAPI EndedWithError(HANDLE, LPDWORD pdwExitCode)
{
    *pdwExitCode = g_dwExitCode;
    return TRUE;
}

TEST_F(OemInfTest, RefusalOfA32BitCallerHandsTheInfToTheNativePnpUtil)
{
    Make(L"oem9031.inf", Inf(kDriver));
    Make(L"oem9032.inf", Inf(kDriver));
    ScopedImportPatch setup("setupapi.dll", "SetupUninstallOEMInfW", reinterpret_cast<void*>(&RefusingSetupUninstall));
    ScopedImportPatch start("kernel32.dll", "CreateProcessW", reinterpret_cast<void*>(&RecordCreateProcess));
    g_started.clear();
    EXPECT_TRUE(UninstallOemInfs(kDriver, OtherDrivers()));
    // Started in the system folder, not in the folder the user started the program from.
    std::vector<std::wstring> expected = {L"(null)|\"" + WindowsFolder() +
                                          L"\\Sysnative\\pnputil.exe\" -f -d \"oem9031.inf\"|" + SystemFolder()};
    EXPECT_EQ(expected, g_started);
    // A pnputil that cannot start, and SetupAPI's other refusals, are logged.
    EXPECT_EQ((std::vector<std::string>{ErrorRecordText(L"pnputil oem9031.inf", ERROR_FILE_NOT_FOUND),
                                        ErrorRecordText(L"SetupUninstallOEMInf oem9032.inf", ERROR_ACCESS_DENIED)}),
              LogTexts());
}

// pnputil still at work when its wait ends is left to finish; its INF is reported unsettled, so
// that the driver-store clean-up that follows keeps the package pnputil is working on.
TEST_F(OemInfTest, PnpUtilStillAtWorkLeavesItsInfUnsettled)
{
    Make(L"oem9033.inf", Inf(kDriver));
    ScopedImportPatch setup("setupapi.dll", "SetupUninstallOEMInfW", reinterpret_cast<void*>(&RefusingSetupUninstall));
    ScopedImportPatch start("kernel32.dll", "CreateProcessW", reinterpret_cast<void*>(&StartStillRunning));
    ScopedImportPatch wait("kernel32.dll", "WaitForSingleObject", reinterpret_cast<void*>(&RunOutWait));
    g_started.clear();
    g_waits.clear();
    g_refusedName = L"oem9033.inf";
    std::vector<std::wstring> unsettled;
    EXPECT_TRUE(UninstallOemInfs(kDriver, OtherDrivers(), &unsettled));
    g_refusedName = L"oem9031.inf";
    EXPECT_EQ(1u, g_started.size());
    EXPECT_EQ(std::vector<DWORD>{30000}, g_waits);
    EXPECT_EQ(std::vector<std::wstring>{m_inf + L"oem9033.inf"}, unsettled);
    EXPECT_EQ(std::vector<std::string>{ErrorRecordText(L"pnputil oem9033.inf", WAIT_TIMEOUT)}, LogTexts());

    // One that ended with an exit code other than 0: the code is logged as the record's error,
    // and the INF it left is as unsettled.
    ClearLogs();
    unsettled.clear();
    g_dwWaitAnswer = WAIT_OBJECT_0;
    g_refusedName = L"oem9033.inf";
    {
        ScopedImportPatch exitCode("kernel32.dll", "GetExitCodeProcess", reinterpret_cast<void*>(&EndedWithError));
        EXPECT_TRUE(UninstallOemInfs(kDriver, OtherDrivers(), &unsettled));
    }
    EXPECT_EQ(std::vector<std::wstring>{m_inf + L"oem9033.inf"}, unsettled);
    EXPECT_EQ(std::vector<std::string>{ErrorRecordText(L"pnputil oem9033.inf", ERROR_INVALID_PARAMETER)}, LogTexts());

    // 3010: done, and a restart finishes it: no failure record but one that says so, and the
    // caller learns it (an unattended run then ends with 3010).
    ClearLogs();
    bool bRestartNeeded = false;
    g_dwExitCode = ERROR_SUCCESS_REBOOT_REQUIRED;
    {
        ScopedImportPatch exitCode("kernel32.dll", "GetExitCodeProcess", reinterpret_cast<void*>(&EndedWithError));
        EXPECT_TRUE(UninstallOemInfs(kDriver, OtherDrivers(), nullptr, &bRestartNeeded));
    }
    g_dwExitCode = ERROR_INVALID_PARAMETER;
    g_refusedName = L"oem9031.inf";
    g_dwWaitAnswer = WAIT_TIMEOUT;
    EXPECT_TRUE(bRestartNeeded);
    EXPECT_EQ(std::vector<std::string>{Ansi(L"卸载完成，需要重新启动计算机：pnputil oem9033.inf")}, LogTexts());
}

// An OEM INF another program holds open is read where that program shares reading (a scanner,
// the indexer). Where it shares nothing, the INF may mention the driver: it stays unsettled,
// with a record, in the plan and the removal alike, and the store keeps the packages.
TEST_F(OemInfTest, InfHeldOpenByAnotherProgramIsReadOrKeepsItsPackage)
{
    Make(L"oem9051.inf", Inf(kDriver));
    Make(L"oem9052.inf", Inf(kDriver));
    const std::wstring package = NativeSystemFolder() + L"\\DriverStore\\FileRepository\\tvheld2.inf_amd64_1\\";
    MakeFile(package + L"tvheld2.inf", Inf(kDriver));
    auto Hold = [&](const wchar_t* pName, DWORD dwShare) {
        return CreateFileW((m_inf + pName).c_str(), GENERIC_READ, dwShare, nullptr, OPEN_EXISTING, 0, nullptr);
    };
    HANDLE hReader = Hold(L"oem9051.inf", FILE_SHARE_READ), hLocker = Hold(L"oem9052.inf", 0);
    RemovalPlan plan;
    std::vector<std::wstring> unsettled;
    EXPECT_TRUE(PlanOemInfs(kDriver, OtherDrivers(), unsettled, plan));
    CloseHandle(hReader);
    std::map<std::wstring, std::wstring> decided;
    for (const PlanItem& line : plan)
        decided[line.strTarget] = std::wstring(line.decision.bRemove ? L"remove|" : L"keep|") + line.decision.pRule +
                                  L"|" + line.decision.strBecause;
    EXPECT_EQ((std::map<std::wstring, std::wstring>{{m_inf + L"oem9051.inf", L"remove|mentions-driver|"},
                                                    {m_inf + L"oem9052.inf", L"keep|unreadable|error 32"}}),
              decided);
    EXPECT_EQ(std::vector<std::wstring>{m_inf + L"oem9052.inf"}, unsettled);

    unsettled.clear();
    EXPECT_TRUE(Uninstall(kDriver, OtherDrivers(), &unsettled));
    EXPECT_EQ(std::vector<std::wstring>{m_inf + L"oem9052.inf"}, unsettled);
    {
        ScopedCallRecorder shell("ShellExecuteExW", RecordOnly);
        ScopedCallRecorder sleep("Sleep", RecordOnly);
        EXPECT_TRUE(CleanDriverStore(kDriver, OtherDrivers(), unsettled));
    }
    CloseHandle(hLocker);
    EXPECT_FALSE(PathExists(m_inf + L"oem9051.inf"));
    EXPECT_TRUE(PathExists(m_inf + L"oem9052.inf"));
    EXPECT_TRUE(PathExists(package + L"tvheld2.inf")) << "the package an unreadable OEM INF may publish stays";
    const std::string record = ErrorRecordText(L"ReadFile" + m_inf + L"oem9052.inf", ERROR_SHARING_VIOLATION);
    EXPECT_EQ((std::vector<std::string>{record, record}), LogTexts());
    RemoveTree(package);
}

// SetupAPI's map from a published INF to its driver-store INF (Wine 8 has only a stub).
std::map<std::wstring, std::wstring> g_storeInfs;
BOOL WINAPI StandInGetInfDriverStoreLocationW(PCWSTR pFileName, PSP_ALTPLATFORM_INFO, PCWSTR, PWSTR pBuffer, DWORD cch,
                                              PDWORD)
{
    auto it = g_storeInfs.find(pFileName);
    if (it == g_storeInfs.end() || it->second.size() >= cch) {
        SetLastError(it == g_storeInfs.end() ? ERROR_FILE_NOT_FOUND : ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    wcscpy(pBuffer, it->second.c_str());
    return TRUE;
}
void* g_pRealGetProcAddress = nullptr;
FARPROC WINAPI StandInGetProcAddress(HMODULE hModule, LPCSTR pName)
{
    if (!IS_INTRESOURCE(pName) && std::strcmp(pName, "SetupGetInfDriverStoreLocationW") == 0)
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&StandInGetInfDriverStoreLocationW));
    return reinterpret_cast<decltype(&GetProcAddress)>(g_pRealGetProcAddress)(hModule, pName);
}

// An OEM INF another installed driver still comes from stays: it names that driver's model
// too, or it is the published INF of the package the spooler names as that driver's source.
TEST_F(OemInfTest, InfsAnotherInstalledDriverComesFromStay)
{
    const std::wstring store = WindowsFolder() + L"\\System32\\DriverStore\\FileRepository\\";
    Make(L"oem9041.inf", Inf(kDriver));
    Make(L"oem9042.inf", Inf(kDriver) + "Model2=\"office laser 200\"\r\n");
    Make(L"oem9043.inf", Inf(kDriver));
    OtherDrivers others;
    others.names = {L"Office Laser 200"};
    others.infPaths = {store + L"tvsibling.inf_amd64_1\\sibling.inf"};
    g_storeInfs = {{m_inf + L"oem9041.inf", store + L"tvown.inf_amd64_1\\own.inf"},
                   {m_inf + L"oem9043.inf", store + L"TVSIBLING.INF_AMD64_1\\sibling.inf"}};
    ScopedImportPatch lookup("kernel32.dll", "GetProcAddress", reinterpret_cast<void*>(&StandInGetProcAddress));
    g_pRealGetProcAddress = lookup.Original();
    EXPECT_TRUE(Uninstall(kDriver, others));
    EXPECT_EQ(std::vector<std::wstring>{L"oem9041.inf|1|(null)"}, RecordedCalls(L"SetupUninstallOEMInfW"));
    EXPECT_TRUE(LogTexts().empty());

    // One that SetupAPI cannot place may be another driver's too: it stays, with a record.
    // It is reported unsettled, so that the driver-store clean-up keeps its package as well.
    ClearRecordedCalls();
    g_storeInfs.clear();
    std::vector<std::wstring> unsettled;
    EXPECT_TRUE(Uninstall(kDriver, others, &unsettled));
    EXPECT_TRUE(RecordedCalls(L"SetupUninstallOEMInfW").empty());
    EXPECT_EQ(std::vector<std::wstring>{m_inf + L"oem9043.inf"}, unsettled);
    EXPECT_EQ(std::vector<std::string>{ErrorRecordText(L"SetupGetInfDriverStoreLocation" + m_inf + L"oem9043.inf",
                                                       ERROR_FILE_NOT_FOUND)},
              LogTexts());
}

}  // namespace
