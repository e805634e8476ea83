// The driver store clean-up against a real FileRepository folder in the sandbox prefix.
// ShellExecuteExW and Sleep are recorded (and not made) unless a test says otherwise.
#include <gtest/gtest.h>
#include <shlobj.h>
#include <winternl.h>

#include <algorithm>
#include <thread>

#include "CallRecorder.h"
#include "ImportPatch.h"
#include "FileTree.h"
#include "FolderLookup.h"
#include "TestSupport.h"
#include "SpoolerSetup.h"
#include "cleanup/DriverStore.h"
#include "cleanup/OtherDrivers.h"

namespace {

const wchar_t kDriver[] = L"Office Laser 100";

std::string InfText(const std::wstring& driverLine)
{
    return Ansi(L"[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=Printer\r\n\r\n[Strings]\r\nDriverName=\"" +
                driverLine + L"\"\r\n");
}

std::string Utf16Bytes(const std::wstring& text)
{
    std::string bytes("\xFF\xFE", 2);
    bytes.append(reinterpret_cast<const char*>(text.c_str()), text.size() * sizeof(wchar_t));
    return bytes;
}

class DriverStoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The native store, as the clean-up names it (through Sysnative in a 32-bit test program under WOW64).
        m_repository = NativeSystemFolder() + L"\\DriverStore\\FileRepository\\";
        m_bMadeRepository = !PathExists(m_repository);
        MakeFolder(m_repository);
        ClearLogs();
        ClearRecordedCalls();
    }
    void TearDown() override
    {
        for (const std::wstring& name : ListingOrder(m_repository)) {
            if (name.compare(0, 2, L"tv") == 0)
                RemoveTree(Extended(m_repository + name));
        }
        if (m_bMadeRepository) {
            RemoveDirectoryW(m_repository.c_str());
            RemoveDirectoryW((NativeSystemFolder() + L"\\DriverStore").c_str());
        }
        ClearLogs();
    }
    std::wstring Package(const std::wstring& name) { return m_repository + name + L"\\"; }
    BOOL Clean(const std::wstring& driverName, const OtherDrivers& others = OtherDrivers(),
               const std::vector<std::wstring>& unsettledOemInfs = std::vector<std::wstring>())
    {
        ScopedCallRecorder shell("ShellExecuteExW", RecordOnly);
        ScopedCallRecorder sleep("Sleep", RecordOnly);
        ScopedCallRecorder deletes("SetFileInformationByHandle", RecordAndForward);
        return CleanDriverStore(driverName, others, unsettledOemInfs);
    }
    std::wstring Parameters(const std::wstring& quotedFolder)
    {
        // /d: no AutoRun commands; takeown and icacls by their full paths; the administrators
        // group by its well-known SID, which is the same on every language of Windows.
        return L"/d /s /c \"\"" + SystemFolder() + L"\\takeown.exe\" /f " + quotedFolder + L" && \"" + SystemFolder() +
               L"\\icacls.exe\" " + quotedFolder + L" /grant *S-1-5-32-544:F \"";
    }
    std::vector<std::wstring> CmdStarts() { return RecordedCalls(L"ShellExecuteExW"); }
    // The system's cmd by its full path, hidden, in the system folder (where cmd looks for
    // takeown and icacls first), with the parameters for the quoted folder.
    std::wstring CmdStart(const std::wstring& quotedFolder)
    {
        return L"(null)|open|" + SystemFolder() + L"\\cmd.exe|" + Parameters(quotedFolder) + L"|" + SystemFolder() +
               L"|0";
    }

    std::wstring m_repository;
    bool m_bMadeRepository = false;
};

TEST(GetFolderFromPath, PathUpToTheLastBackslash)
{
    EXPECT_EQ(L"C:\\repo\\pkg\\", GetFolderFromPath(L"C:\\repo\\pkg\\a.inf"));
    EXPECT_EQ(L"C:\\repo\\pkg\\", GetFolderFromPath(L"C:\\repo\\pkg\\"));
    EXPECT_EQ(L"\\", GetFolderFromPath(L"\\a.inf"));
    EXPECT_EQ(L"", GetFolderFromPath(L"a.inf"));
    EXPECT_EQ(L"", GetFolderFromPath(L""));
}

TEST_F(DriverStoreTest, FileMentionsDriverReadsAnsiTextUpToItsFirstZero)
{
    const std::wstring dir = Package(L"tvpkg_mentions");
    struct Case {
        const wchar_t* pName;
        std::string bytes;
        const wchar_t* pDriver;
        BOOL expected;
    } cases[] = {
        {L"upper.inf", InfText(L"OFFICE LASER 100"), kDriver, TRUE},
        {L"lower.inf", InfText(L"office laser 100"), kDriver, TRUE},
        {L"longer.inf", InfText(L"XOFFICE LASER 1000 PCL"), kDriver, TRUE},
        {L"other.inf", InfText(L"Office Laser 200"), kDriver, FALSE},
        {L"gbk.inf", InfText(L"塔维打印机 T100"), L"塔维打印机 t100", TRUE},
        // Only a to z are folded: Cyrillic д is not the capital Д.
        {L"cyrillic-same.inf", InfText(L"ДPrinter"), L"Дprinter", TRUE},
        {L"cyrillic-other.inf", InfText(L"дPrinter"), L"ДPRINTER", FALSE},
        {L"utf16.inf", Utf16Bytes(L"DriverName=\"Office Laser 100\""), kDriver, FALSE},
        {L"zero.inf", std::string("[Version]\0DriverName=Office Laser 100", 37), kDriver, FALSE},
        {L"empty.inf", "", kDriver, FALSE},
        {L"any.inf", InfText(L"Office Laser 100"), L"", FALSE},  // the empty name matches nothing
    };
    for (const Case& c : cases)
        MakeFile(dir + c.pName, c.bytes);
    for (const Case& c : cases)
        EXPECT_EQ(c.expected, FileMentionsDriver(dir + c.pName, c.pDriver)) << c.pName << " / " << c.pDriver;
    EXPECT_FALSE(FileMentionsDriver(dir + L"missing.inf", kDriver));

    // Held open elsewhere without sharing: it mentions nothing, and the caller learns why.
    HANDLE hHeld = CreateFileW((dir + L"upper.inf").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, hHeld);
    DWORD dwUnread = 0;
    EXPECT_FALSE(FileMentionsDriver(dir + L"upper.inf", kDriver, &dwUnread));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), dwUnread);
    CloseHandle(hHeld);
    EXPECT_TRUE(FileMentionsDriver(dir + L"upper.inf", kDriver, &dwUnread));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), dwUnread);

    // A path longer than MAX_PATH is read all the same.
    std::wstring deep = dir;
    while (deep.size() < MAX_PATH + 20)
        deep += L"deeper_folder_name\\";
    MakeFile(deep + L"deep.inf", InfText(kDriver));
    EXPECT_TRUE(FileMentionsDriver(deep + L"deep.inf", kDriver));
    EXPECT_TRUE(LogTexts().empty());
}

// The rule, said the plain way: the whole file and a zero byte converted at once from the
// ANSI code page, the text up to its first zero character, a to z upper-cased in text and
// name, then a substring search.
bool MentionsByTheRule(const std::string& bytes, const std::wstring& name)
{
    if (name.empty())
        return false;
    std::string withZero = bytes + '\0';
    int n = MultiByteToWideChar(CP_ACP, 0, withZero.data(), static_cast<int>(withZero.size()), nullptr, 0);
    std::vector<wchar_t> text(n > 0 ? n : 0, L'\0');
    MultiByteToWideChar(CP_ACP, 0, withZero.data(), static_cast<int>(withZero.size()), text.data(), n);
    auto Upper = [](std::wstring s) {
        for (wchar_t& c : s)
            c = (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - 32) : c;
        return s;
    };
    return Upper(std::wstring(text.data())).find(Upper(name)) != std::wstring::npos;
}

std::wstring Convert936(const std::string& bytes)
{
    std::wstring out(bytes.size(), L'\0');
    int n = MultiByteToWideChar(936, 0, bytes.data(), static_cast<int>(bytes.size()), &out[0], static_cast<int>(out.size()));
    out.resize(n > 0 ? n : 0);
    return out;
}

// FileMentionsDriver reads and converts large files piece by piece; whatever the bytes, the
// answer must be the one of the rule above (code page 936: double-byte characters whose
// second byte can look like an ASCII letter, lone lead bytes, zero bytes, pieces of 64 kB).
TEST_F(DriverStoreTest, FileMentionsDriverAgreesWithTheWholeFileRuleAcrossPieces)
{
    ASSERT_EQ(936u, GetACP()) << "test set-up: the sandbox's GBK code page";
    const std::wstring dir = Package(L"tvpkg_pieces");
    const size_t kPiece = 65536;
    std::string gbkRun;  // double-byte characters only, no byte below 0x80 in a row of two
    while (gbkRun.size() < kPiece + 5000)
        gbkRun += "\x81\x41\xCB\xFE\xB4\x42";  // 0x41 'A' and 0x42 'B' as second bytes
    struct Case {
        const char* pWhat;
        std::string bytes;
        std::wstring name;
        bool expected;
    } cases[] = {
        {"name across the first piece boundary", std::string(kPiece - 5, 'x') + "Office Laser 100" + "\r\n",
         kDriver, true},
        {"double-byte run longer than a piece, name after it", gbkRun + "Office Laser 100", kDriver, true},
        {"second bytes that look like AB are no AB", std::string(kPiece - 1, 'x') + "\x81\x41" + "B\r\n", L"AB", false},
        {"... and no A either at a piece boundary", std::string(kPiece - 1, 'x') + "\x81\x41" + "B", L"xA", false},
        {"zero byte in the second piece ends the text", std::string(kPiece + 10, 'y') + '\0' + "Office Laser 100",
         kDriver, false},
        {"name before a late zero byte", std::string(kPiece + 10, 'y') + "office laser 100" + '\0' + "z", kDriver,
         true},
        {"Chinese name after a long double-byte run", gbkRun + Ansi(L"塔维打印机 T100"), L"塔维打印机 t100", true},
        {"bytes the code page cannot convert read as '?'", "TV A\x81\x7F" "B\r\n", L"a?b", true},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(c.expected, MentionsByTheRule(c.bytes, c.name)) << "test set-up: " << c.pWhat;
        MakeFile(dir + L"case.inf", c.bytes);
        EXPECT_EQ(c.expected ? TRUE : FALSE, FileMentionsDriver(dir + L"case.inf", c.name)) << c.pWhat;
    }

    // Random mixes of ASCII, letters as second bytes, lone lead bytes and zeros, around and
    // across piece boundaries, with names taken from the text or not in it.
    unsigned seed = 12345;
    auto Next = [&seed]() { return seed = seed * 1103515245u + 12345u, (seed >> 8) & 0xFFFF; };
    const char* const parts[] = {"Laser ", "100", "\x81\x41", "\xCB\xFE", "\xB4", "A", "b", "\r\n", "LASER", "\xFE\x40", ""};
    const std::string gbkName = "\xCB\xFE" "A\x81\x41" "b\xFE\x40";
    int nMatches = 0;
    for (int round = 0; round < 60; ++round) {
        std::string bytes;
        size_t nSize = kPiece - 300 + Next() % 2500 + (round % 3) * kPiece;
        while (bytes.size() < nSize) {
            unsigned pick = Next() % 11;
            if (pick == 10 && (round % 5 != 0 || Next() % 300 != 0))
                pick = 7;  // zeros only in some files, and rare there, or every text would end early
            bytes += pick == 10 ? std::string(1, '\0') : std::string(parts[pick]);
        }
        // Every other round the name goes in close to a piece boundary (a lone lead byte in
        // front of it may still spoil it: the rule decides).
        std::wstring name = (round % 4 < 2) ? std::wstring(kDriver) : Convert936(gbkName);
        if (round % 2) {
            size_t nAt = kPiece * (1 + Next() % 2) - 20 + Next() % 40;
            bytes.insert(nAt < bytes.size() ? nAt : bytes.size(), round % 4 < 2 ? "oFFICE lASER 100" : gbkName);
        }
        bool expected = MentionsByTheRule(bytes, name);
        nMatches += expected;
        MakeFile(dir + L"random.inf", bytes);
        EXPECT_EQ(expected ? TRUE : FALSE, FileMentionsDriver(dir + L"random.inf", name)) << "round " << round;
    }
    EXPECT_GT(nMatches, 5) << "test set-up: some rounds should match";
    EXPECT_LT(nMatches, 55) << "test set-up: some rounds should not";
}

bool BackupPrivilegesEnabled()
{
    struct {
        PRIVILEGE_SET set;
        LUID_AND_ATTRIBUTES second;
    } both = {{2, PRIVILEGE_SET_ALL_NECESSARY, {}}, {}};
    LookupPrivilegeValueW(nullptr, SE_BACKUP_NAME, &both.set.Privilege[0].Luid);
    LookupPrivilegeValueW(nullptr, SE_RESTORE_NAME, &both.second.Luid);
    HANDLE hToken = nullptr;
    BOOL bEnabled = FALSE;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &hToken)) {
        PrivilegeCheck(hToken, &both.set, &bEnabled);
        CloseHandle(hToken);
    }
    return bEnabled != FALSE;
}

// Each check of an opened entry (its file id): were the privileges enabled then?
std::vector<bool> g_privilegedOpens;
void* g_pRealQuery = nullptr;
NTSTATUS NTAPI SampledQuery(HANDLE h, PIO_STATUS_BLOCK pStatus, PVOID pInfo, ULONG cb, FILE_INFORMATION_CLASS info)
{
    g_privilegedOpens.push_back(BackupPrivilegesEnabled());
    return reinterpret_cast<decltype(&NtQueryInformationFile)>(g_pRealQuery)(h, pStatus, pInfo, cb, info);
}

// The options of each open made while the privileges are enabled: they work only with backup intent.
std::vector<ULONG> g_privilegedOpenOptions;
void* g_pRealOpen = nullptr;
NTSTATUS NTAPI SampledOpen(PHANDLE ph, ACCESS_MASK access, POBJECT_ATTRIBUTES pAttributes, PIO_STATUS_BLOCK pStatus,
                           ULONG share, ULONG options)
{
    if (BackupPrivilegesEnabled())
        g_privilegedOpenOptions.push_back(options);
    return reinterpret_cast<decltype(&NtOpenFile)>(g_pRealOpen)(ph, access, pAttributes, pStatus, share, options);
}

TEST_F(DriverStoreTest, NoMentionStartsNothingAndDeletesNothing)
{
    MakeFile(Package(L"tvpkg_other") + L"other.inf", InfText(L"Office Laser 200"));
    MakeFile(Package(L"tvpkg_upper") + L"X.INF", InfText(kDriver));  // not a candidate: .INF in capitals
    MakeFile(Package(L"tvpkg_utf16") + L"u.inf", Utf16Bytes(L"DriverName=\"Office Laser 100\""));
    EXPECT_TRUE(Clean(kDriver));
    EXPECT_TRUE(RecordedCalls().empty()) << "no cmd, no pause, no deletion";
    EXPECT_TRUE(PathExists(Package(L"tvpkg_other") + L"other.inf"));
    EXPECT_TRUE(PathExists(Package(L"tvpkg_upper") + L"X.INF"));
    EXPECT_TRUE(PathExists(Package(L"tvpkg_utf16") + L"u.inf"));
}

TEST_F(DriverStoreTest, MatchingPackageIsTakenOverPausedForAndDeleted)
{
    const std::wstring package = Package(L"tvpkg_abc.inf_x86_neutral_0123");
    MakeFile(package + L"abc.inf", InfText(L"office laser 100"));
    MakeFile(package + L"abc.gpd");
    MakeFile(package + L"x64\\abc.dll");
    EXPECT_TRUE(Clean(kDriver));
    EXPECT_FALSE(PathExists(package)) << "the package folder goes with all its content";

    const std::wstring folder = m_repository + L"tvpkg_abc.inf_x86_neutral_0123";
    std::vector<std::wstring> calls = RecordedCalls();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(L"ShellExecuteExW|" + CmdStart(L"\"" + folder + L"\""), calls[0])
        << "the system's cmd hidden, the folder quoted and without its closing backslash";
    EXPECT_EQ(L"Sleep|2000", calls[1]) << "the pause comes between the take-over and the deletion";
    // Three files and two folders, every one of them in the package.
    EXPECT_EQ(5u, WithPrefix(calls, L"SetFileInformationByHandle|" + package).size());
    EXPECT_EQ(5u, WithPrefix(calls, L"SetFileInformationByHandle|").size()) << "nothing outside the package";
    EXPECT_TRUE(LogTexts().empty());

    // A file whose name merely contains ".inf" is a candidate as well. cmd is waited for: the
    // deletion begins once it has ended. The deletion walk, and only it, runs with the backup
    // and restore privileges enabled, so that files the takeover did not reach are not refused.
    const std::wstring loc = Package(L"tvpkg_loc");
    MakeFile(loc + L"x.inf_loc", InfText(kDriver));
    MakeFile(loc + L"sub\\x.dll");
    ResetEvent(RecordedProcessEnded());
    bool bThereWhenCmdEnded = false;
    std::thread cmd([&] {
        SleepEx(300, FALSE);
        bThereWhenCmdEnded = PathExists(loc + L"sub\\x.dll");
        SetEvent(RecordedProcessEnded());
    });
    g_privilegedOpens.clear();
    g_privilegedOpenOptions.clear();
    {
        ScopedImportPatch query("ntdll.dll", "NtQueryInformationFile", reinterpret_cast<void*>(&SampledQuery));
        g_pRealQuery = query.Original();
        ScopedImportPatch open("ntdll.dll", "NtOpenFile", reinterpret_cast<void*>(&SampledOpen));
        g_pRealOpen = open.Original();
        EXPECT_TRUE(Clean(kDriver));
    }
    cmd.join();
    EXPECT_TRUE(bThereWhenCmdEnded) << "the deletion did not wait for cmd";
    EXPECT_FALSE(PathExists(loc));
    ASSERT_FALSE(g_privilegedOpens.empty());
    EXPECT_FALSE(g_privilegedOpens.front()) << "the candidate walk";
    EXPECT_TRUE(g_privilegedOpens.back()) << "the deletion walk";
    EXPECT_FALSE(BackupPrivilegesEnabled()) << "put back after the walk";
    ASSERT_GE(g_privilegedOpenOptions.size(), 3u) << "the sub-folder and both files are opened by name";
    for (ULONG nOptions : g_privilegedOpenOptions)
        EXPECT_NE(0u, nOptions & FILE_OPEN_FOR_BACKUP_INTENT) << "options " << std::hex << nOptions;
}

TEST_F(DriverStoreTest, CommandCannotBeSplitOrExtendedByTheFolderName)
{
    const std::wstring package = Package(L"tvpkg blank & mkdir tavrelpwned & rem");
    MakeFile(package + L"a.inf", InfText(kDriver));
    EXPECT_TRUE(Clean(kDriver));
    EXPECT_FALSE(PathExists(package));
    std::vector<std::wstring> starts = CmdStarts();
    ASSERT_EQ(1u, starts.size());
    const std::wstring quoted = L"\"" + m_repository + L"tvpkg blank & mkdir tavrelpwned & rem\"";
    EXPECT_EQ(CmdStart(quoted), starts[0]);
    // The parameters the clean-up handed to cmd (the fourth field of the record), run below.
    size_t nField = 0;
    for (int i = 0; i < 3; ++i)
        nField = starts[0].find(L'|', nField) + 1;
    const std::wstring parameters = starts[0].substr(nField, starts[0].find(L'|', nField) - nField);

    // Run what cmd got, in a folder of its own: nothing but takeown may start.
    auto RunCmd = [](const std::wstring& params, const std::wstring& cwd) {
        std::wstring line = L"cmd.exe " + params;
        STARTUPINFOW si = {};
        si.cb = sizeof(si);
        PROCESS_INFORMATION pi = {};
        if (!CreateProcessW((SystemFolder() + L"\\cmd.exe").c_str(), &line[0], nullptr, nullptr, FALSE,
                            CREATE_NO_WINDOW, nullptr, cwd.c_str(), &si, &pi))
            return false;
        WaitForSingleObject(pi.hProcess, 120000);  // a slow machine: the emulated guest, busy
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
        return true;
    };
    const std::wstring cwd = Package(L"tv_cwd");
    MakeFolder(cwd);
    ASSERT_TRUE(RunCmd(parameters, cwd));
    EXPECT_FALSE(PathExists(cwd + L"tavrelpwned")) << "the folder name ran a command of its own";
    // The same parameters without the quotes do run it: the check above can see an injection.
    std::wstring bare = m_repository + L"tvpkg blank & mkdir tavrelpwned & rem\\";
    ASSERT_TRUE(RunCmd(Parameters(bare), cwd));
    EXPECT_TRUE(PathExists(cwd + L"tavrelpwned")) << "control: unquoted, the name does run mkdir";
}

TEST_F(DriverStoreTest, FolderWithPercentOrExclamationIsNotHandedToCmd)
{
    const std::wstring percent = Package(L"tvpkg_%PATH%");
    const std::wstring exclamation = Package(L"tvpkg_!PATH!");
    MakeFile(percent + L"a.inf", InfText(kDriver));
    MakeFile(exclamation + L"b.inf", InfText(kDriver));
    EXPECT_TRUE(Clean(kDriver));
    EXPECT_TRUE(CmdStarts().empty()) << "cmd would expand the variable inside the quotes";
    EXPECT_FALSE(PathExists(percent)) << "the package is deleted all the same";
    EXPECT_FALSE(PathExists(exclamation));
    std::vector<std::wstring> pauses = {L"2000", L"2000"};
    EXPECT_EQ(pauses, RecordedCalls(L"Sleep"));
}

TEST_F(DriverStoreTest, InfLyingLooseInTheRepositoryIsPassedOver)
{
    MakeFile(m_repository + L"tvloose.inf", InfText(kDriver));
    MakeFile(Package(L"tvpkg_bystander") + L"b.inf", InfText(L"Another Printer"));
    EXPECT_TRUE(Clean(kDriver));
    EXPECT_TRUE(CmdStarts().empty()) << "the repository itself must never be taken over";
    EXPECT_TRUE(RecordedCalls(L"SetFileInformationByHandle").empty()) << "nor walked for deletion";
    EXPECT_TRUE(PathExists(m_repository + L"tvloose.inf"));
    EXPECT_TRUE(PathExists(Package(L"tvpkg_bystander") + L"b.inf"));
    DeleteFileW((m_repository + L"tvloose.inf").c_str());
}

TEST_F(DriverStoreTest, EmptyDriverNameMatchesNothing)
{
    MakeFile(Package(L"tvpkg_a") + L"a.inf", InfText(kDriver));
    ScopedCallRecorder reads("CreateFileW", RecordAndForward);
    EXPECT_TRUE(Clean(L""));
    EXPECT_TRUE(RecordedCalls().empty()) << "not one file is read, started or deleted";
    EXPECT_TRUE(PathExists(Package(L"tvpkg_a") + L"a.inf"));
}

TEST_F(DriverStoreTest, UnknownWindowsFolderFailsWithoutWalking)
{
    MakeFile(Package(L"tvpkg_a") + L"a.inf", InfText(kDriver));
    ScopedFolderLookupFailure failure(CSIDL_WINDOWS, false, ERROR_PATH_NOT_FOUND);
    ScopedCallRecorder lists("GetFileInformationByHandleEx", RecordAndForward);
    EXPECT_FALSE(Clean(kDriver));
    EXPECT_EQ(1, failure.Calls());
    EXPECT_TRUE(RecordedCalls().empty());
    std::vector<std::string> expected = {ErrorRecordText(L"SHGetSpecialFolderPath", ERROR_PATH_NOT_FOUND)};
    EXPECT_EQ(expected, LogTexts());
    EXPECT_TRUE(PathExists(Package(L"tvpkg_a") + L"a.inf"));
}

TEST_F(DriverStoreTest, NestedInfDeletesOnlyItsSubFolder)
{
    const std::wstring package = Package(L"tvpkg_nested");
    MakeFile(package + L"top.inf", InfText(L"Another Printer"));
    MakeFile(package + L"sub\\n.inf", InfText(kDriver));
    MakeFile(package + L"sub\\deeper\\n.dll");
    EXPECT_TRUE(Clean(kDriver));
    EXPECT_FALSE(PathExists(package + L"sub\\"));
    EXPECT_TRUE(PathExists(package + L"top.inf"));
    std::vector<std::wstring> starts = CmdStarts();
    ASSERT_EQ(1u, starts.size());
    EXPECT_NE(std::wstring::npos, starts[0].find(Parameters(L"\"" + package + L"sub\"")));
}

TEST_F(DriverStoreTest, TwoMatchingInfsInOnePackageDeleteItOnce)
{
    const std::wstring package = Package(L"tvpkg_two");
    MakeFile(package + L"a.inf", InfText(kDriver));
    MakeFile(package + L"b.inf", InfText(kDriver));
    EXPECT_TRUE(Clean(kDriver)) << "the second INF is gone and no longer matches";
    EXPECT_FALSE(PathExists(package));
    EXPECT_EQ(1u, CmdStarts().size());
    EXPECT_EQ(1u, RecordedCalls(L"Sleep").size());
    EXPECT_TRUE(LogTexts().empty());
}

TEST_F(DriverStoreTest, AnyPackageLeftBehindFailsTheCleanUp)
{
    // The first package cannot be removed, the second can: a failure all the same.
    MakeFile(Package(L"tvpkg_1") + L"a.inf", InfText(kDriver));
    MakeFile(Package(L"tvpkg_1") + L"locked.dll");
    MakeReadOnly(Package(L"tvpkg_1") + L"locked.dll");
    MakeFile(Package(L"tvpkg_2") + L"b.inf", InfText(kDriver));
    EXPECT_FALSE(Clean(kDriver));
    EXPECT_EQ(2u, CmdStarts().size());
    EXPECT_FALSE(PathExists(Package(L"tvpkg_2")));
    std::vector<std::string> expected = {
        ErrorRecordText(L"DeleteFile" + Package(L"tvpkg_1") + L"locked.dll", ERROR_ACCESS_DENIED),
        ErrorRecordText(L"RemoveDirectory", ERROR_DIR_NOT_EMPTY)};
    EXPECT_EQ(expected, LogTexts());

    // And where the last package is the one that stays.
    ClearLogs();
    MakeFile(Package(L"tvpkg_0") + L"c.inf", InfText(kDriver));
    MakeFile(Package(L"tvpkg_1") + L"a.inf", InfText(kDriver));
    EXPECT_FALSE(Clean(kDriver));
    EXPECT_FALSE(PathExists(Package(L"tvpkg_0")));
    EXPECT_TRUE(PathExists(Package(L"tvpkg_1") + L"locked.dll"));
}

// As a 32-bit process on 64-bit Windows hears it.
BOOL WINAPI Wow64Process(HANDLE, PBOOL pbWow64)
{
    *pbWow64 = TRUE;
    return TRUE;
}

// A 32-bit process on 64-bit Windows reaches the store through Sysnative, whatever the version:
// Vista redirects System32\DriverStore to SysWOW64 (so does Wine's WOW64), and the alias names
// the native folder on every version from Vista on. In the x86_64 test program a real folder of
// that name in the prefix stands for the alias, and System32's store beside it is not walked;
// in the i686 one under WOW64 it is the alias itself, the fixture's store.
TEST_F(DriverStoreTest, A32BitProcessReachesTheStoreThroughSysnative)
{
    const std::wstring sysnative = WindowsFolder() + L"\\Sysnative\\";
    const bool bStandIn = !PathExists(sysnative);
    const std::wstring store = sysnative + L"DriverStore\\FileRepository\\";
    MakeFile(store + L"tvpkg_wow64\\a.inf", InfText(kDriver));
    if (bStandIn)
        MakeFile(Package(L"tvpkg_system32") + L"a.inf", InfText(kDriver));
    ScopedImportPatch wow64("kernel32.dll", "IsWow64Process", reinterpret_cast<void*>(&Wow64Process));

    EXPECT_TRUE(Clean(kDriver));
    EXPECT_FALSE(PathExists(store + L"tvpkg_wow64\\"));
    EXPECT_EQ(std::vector<std::wstring>{CmdStart(L"\"" + store + L"tvpkg_wow64\"")},
              CmdStarts());
    if (bStandIn) {
        EXPECT_TRUE(PathExists(Package(L"tvpkg_system32") + L"a.inf")) << "the redirected System32 is not walked";
        RemoveTree(sysnative);
    }
}

// A package whose INF name lies in the INF folder is one of Windows' own: it stays, with no cmd
// started for it, whatever its INF mentions; the maker's package beside it (published as
// oem<N>.inf, so its own name is not there) goes.
DWORD g_dwInfFolderError = 0;
void* g_pRealGetFileAttributes = nullptr;
DWORD WINAPI InfFolderAttributes(LPCWSTR pPath)
{
    if (g_dwInfFolderError && std::wstring(pPath).find(L"\\inf\\") != std::wstring::npos) {
        SetLastError(g_dwInfFolderError);
        return INVALID_FILE_ATTRIBUTES;
    }
    return reinterpret_cast<decltype(&GetFileAttributesW)>(g_pRealGetFileAttributes)(pPath);
}

TEST_F(DriverStoreTest, WindowsOwnPackagesStay)
{
    const std::wstring inbox = WindowsFolder() + L"\\inf\\tvprnms001.inf";
    MakeFile(inbox, InfText(L"Generic models of many makers"));
    MakeFile(Package(L"tvprnms001.inf_amd64_1") + L"tvprnms001.inf", InfText(kDriver));
    MakeFile(Package(L"tvmaker.inf_amd64_2") + L"tvmaker.inf", InfText(kDriver));
    EXPECT_TRUE(Clean(kDriver));
    EXPECT_TRUE(PathExists(Package(L"tvprnms001.inf_amd64_1") + L"tvprnms001.inf"));
    EXPECT_FALSE(PathExists(Package(L"tvmaker.inf_amd64_2")));
    const std::wstring maker = m_repository + L"tvmaker.inf_amd64_2";
    EXPECT_EQ(std::vector<std::wstring>{CmdStart(L"\"" + maker + L"\"")}, CmdStarts())
        << "no cmd for Windows' own package";
    EXPECT_TRUE(LogTexts().empty());

    // The INF folder cannot be checked: no package is proven to be a maker's, none goes.
    ClearRecordedCalls();
    MakeFile(Package(L"tvmaker.inf_amd64_2") + L"tvmaker.inf", InfText(kDriver));
    {
        ScopedImportPatch attributes("kernel32.dll", "GetFileAttributesW", reinterpret_cast<void*>(&InfFolderAttributes));
        g_pRealGetFileAttributes = attributes.Original();
        g_dwInfFolderError = ERROR_ACCESS_DENIED;
        EXPECT_TRUE(Clean(kDriver)) << "nothing deleted, nothing failed";
        g_dwInfFolderError = 0;
    }
    EXPECT_TRUE(PathExists(Package(L"tvmaker.inf_amd64_2") + L"tvmaker.inf"));
    EXPECT_TRUE(CmdStarts().empty());
    const std::string check = ErrorRecordText(L"GetFileAttributes" + WindowsFolder() + L"\\inf\\tvmaker.inf", ERROR_ACCESS_DENIED);
    const std::vector<std::string> texts = LogTexts();
    EXPECT_EQ(1, std::count(texts.begin(), texts.end(), check)) << "the failed check is logged";
    DeleteFileW(inbox.c_str());
}

// A package another installed driver still comes from stays: its INF lists that driver's model
// too (one INF for a family of models), or the spooler names it as that driver's source.
TEST_F(DriverStoreTest, PackagesAnotherInstalledDriverComesFromStay)
{
    const std::string models = "[Models]\r\n\"OFFICE LASER 200\" = L200, USBPRINT\\L200\r\n";
    MakeFile(Package(L"tvpkg_own") + L"own.inf", InfText(kDriver));
    MakeFile(Package(L"tvpkg_family") + L"family.inf", InfText(kDriver) + models);
    MakeFile(Package(L"tvpkg_zh") + L"zh.inf", InfText(kDriver) + Ansi(L"Model2=\"塔维激光 300\"\r\n"));
    MakeFile(Package(L"tvpkg_plus") + L"plus.inf", InfText(L"Office Laser 100 Plus"));
    MakeFile(Package(L"tvpkg_source") + L"source.inf", InfText(kDriver));
    OtherDrivers others;
    // Compared as the mention is: a to z without regard to case, the rest (Chinese in the
    // ANSI code page) as it reads. The removed driver's twin of another environment bears
    // its name and protects nothing by it.
    others.names = {L"Office Laser 200", L"塔维激光 300", L"Office Laser 100 Plus", L"OFFICE laser 100"};
    others.infPaths = {WindowsFolder() + L"\\System32\\DriverStore\\FileRepository\\TVPKG_SOURCE\\source.inf"};
    EXPECT_TRUE(Clean(kDriver, others));
    EXPECT_FALSE(PathExists(Package(L"tvpkg_own"))) << "the removed driver's own package goes";
    for (const wchar_t* pKept : {L"tvpkg_family", L"tvpkg_zh", L"tvpkg_plus", L"tvpkg_source"})
        EXPECT_TRUE(PathExists(Package(pKept))) << Ansi(pKept);
    EXPECT_EQ(1u, CmdStarts().size());

    // The longer name removed while the shorter one is installed: "Office Laser 100" stands in
    // the Plus INF only as a part of the longer name, and the Plus package goes.
    others.names = {kDriver};
    others.infPaths.clear();
    EXPECT_TRUE(Clean(L"Office Laser 100 Plus", others));
    EXPECT_FALSE(PathExists(Package(L"tvpkg_plus")));
    EXPECT_TRUE(LogTexts().empty());
}

// Wine's spooler gives no driver-store INF path; a stand-in gives the one Windows would for
// an installed sibling, whose package INF names no other model.
std::wstring g_siblingInfPath;
void* g_pRealEnumDrivers = nullptr;
BOOL WINAPI DriversWithInfPath(LPWSTR pServer, LPWSTR pEnv, DWORD level, LPBYTE pBuffer, DWORD cb, LPDWORD pcbNeeded,
                               LPDWORD pcReturned)
{
    BOOL bResult = reinterpret_cast<decltype(&EnumPrinterDriversW)>(g_pRealEnumDrivers)(pServer, pEnv, level, pBuffer,
                                                                                         cb, pcbNeeded, pcReturned);
    auto* pInfos = reinterpret_cast<DRIVER_INFO_8W*>(pBuffer);
    for (DWORD i = 0; bResult && level == 8 && i < *pcReturned; ++i) {
        if (pInfos[i].pName && std::wstring(pInfos[i].pName) == L"TV Sibling Source")
            pInfos[i].pszInfPath = &g_siblingInfPath[0];
    }
    return bResult;
}

TEST_F(DriverStoreTest, PackageTheSpoolerNamesAsAnotherDriversSourceStays)
{
    ASSERT_TRUE(AddTestDriver(L"TV Sibling Source", L"TVSS.DLL", L"TVSS.GPD"));
    MakeFile(Package(L"tvpkg_sibling") + L"sibling.inf", InfText(kDriver));
    g_siblingInfPath = m_repository + L"tvpkg_sibling\\sibling.inf";
    OtherDrivers others;
    {
        ScopedImportPatch patch("winspool.drv", "EnumPrinterDriversW", reinterpret_cast<void*>(&DriversWithInfPath));
        g_pRealEnumDrivers = patch.Original();
        DRIVER_INFO_6W removed = {};
        removed.pName = const_cast<LPWSTR>(kDriver);
        ASSERT_TRUE(ReadOtherDrivers(&removed, others));
    }
    EXPECT_EQ(std::vector<std::wstring>{g_siblingInfPath}, others.infPaths);
    EXPECT_TRUE(Clean(kDriver, others));
    EXPECT_TRUE(PathExists(Package(L"tvpkg_sibling"))) << "the sibling still comes from it";
    EXPECT_TRUE(CmdStarts().empty());
    DeleteTestDriver(L"TV Sibling Source");
    for (const wchar_t* pFile : {L"TVSS.DLL", L"TVSS.GPD"})
        DeleteFileW((DriverFolder() + pFile).c_str());
}

}  // namespace

// One decision per package: an OEM INF that the INF clean-up left without knowing its package
// keeps the package it was published from (Windows publishes a package's INF as a copy), and
// one that can no longer be read keeps every package.
TEST_F(DriverStoreTest, PackageOfAnOemInfLeftUnsettledStays)
{
    const std::string text = InfText(kDriver);
    MakeFile(Package(L"tvpkg_published") + L"pub.inf", text);
    MakeFile(Package(L"tvpkg_revised") + L"rev.inf", text + "; revised\r\n");
    const std::wstring oem = WindowsFolder() + L"\\inf\\oem9191.inf";
    MakeFile(oem, text);
    EXPECT_TRUE(Clean(kDriver, OtherDrivers(), {oem}));
    EXPECT_TRUE(PathExists(Package(L"tvpkg_published"))) << "the OEM INF still points at it";
    EXPECT_FALSE(PathExists(Package(L"tvpkg_revised"))) << "another package's INF differs from it";
    EXPECT_EQ(1u, CmdStarts().size());

    ASSERT_TRUE(DeleteFileW(oem.c_str()));
    MakeFile(Package(L"tvpkg_revised") + L"rev.inf", text + "; revised\r\n");
    EXPECT_TRUE(Clean(kDriver, OtherDrivers(), {oem}));
    EXPECT_TRUE(PathExists(Package(L"tvpkg_published")));
    EXPECT_TRUE(PathExists(Package(L"tvpkg_revised")));
    EXPECT_TRUE(LogTexts().empty());
}
