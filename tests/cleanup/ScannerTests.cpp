// The directory walk against real trees under C:\tavrel-scan\ of the sandbox prefix.
#include <gtest/gtest.h>
#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>

#include "CallRecorder.h"
#include "ImportPatch.h"
#include "FileTree.h"
#include "GuiDriver.h"
#include "TestSupport.h"
#include "cleanup/DirScanner.h"

namespace {

const std::wstring kRoot = L"C:\\tavrel-scan\\";

class ScannerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        RemoveTree(Extended(kRoot));
        MakeFolder(kRoot);
        ClearLogs();
        ClearRecordedCalls();
    }
    void TearDown() override
    {
        RemoveTree(Extended(kRoot));
        ClearLogs();
    }
};

bool IsBelow(const std::wstring& path, const std::wstring& folder)
{
    return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0;
}

TEST_F(ScannerTest, DeletingWalkRemovesTheTreeBottomUpAndTheGivenFolderLast)
{
    const std::wstring dir = kRoot + L"tree\\";
    MakeFile(dir + L"a.txt");
    MakeFile(dir + L"hidden.sys");
    SetFileAttributesW((dir + L"hidden.sys").c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    MakeFile(dir + L"d1\\b.txt");
    MakeFile(dir + L"d1\\d2\\c.txt");
    MakeFolder(dir + L"d1\\d2\\d3\\");
    MakeFile(dir + L"e\\f.txt");

    CDirScanner scanner;
    BOOL bResult;
    {
        ScopedCallRecorder deletes("SetFileInformationByHandle", RecordAndForward);
        SetLastError(0xdeadbeef);
        bResult = scanner.ScanDirectory(dir, ScanDelete, L"", TRUE);
    }
    EXPECT_TRUE(bResult) << "every file and folder could be removed";
    EXPECT_FALSE(PathExists(dir)) << "the given folder must be gone";
    EXPECT_TRUE(PathExists(kRoot)) << "nothing above the given folder may be touched";
    EXPECT_TRUE(LogTexts().empty()) << "a clean walk logs nothing";
    EXPECT_TRUE(scanner.m_matchedFiles.empty());

    // Each deletion, of a file or (ending with a backslash) of a folder, in the order made.
    std::vector<std::wstring> calls = RecordedCalls(L"SetFileInformationByHandle");
    std::vector<std::wstring> removed, deleted;
    for (const std::wstring& path : calls)
        (path.back() == L'\\' ? removed : deleted).push_back(path);
    std::vector<std::wstring> expected = {dir, dir + L"d1\\", dir + L"d1\\d2\\", dir + L"d1\\d2\\d3\\", dir + L"e\\"};
    std::vector<std::wstring> sortedRemoved = removed;
    std::sort(sortedRemoved.begin(), sortedRemoved.end());
    EXPECT_EQ(expected, sortedRemoved) << "each folder is removed exactly once";
    ASSERT_FALSE(removed.empty());
    EXPECT_EQ(dir, removed.back()) << "the given folder goes last";
    // Bottom-up: a folder's removal comes after every deletion of anything below it.
    for (size_t i = 0; i < calls.size(); ++i) {
        if (calls[i].back() != L'\\')
            continue;
        for (size_t k = i + 1; k < calls.size(); ++k)
            EXPECT_FALSE(IsBelow(calls[k], calls[i])) << "deletion of " << calls[k] << " after the removal of " << calls[i];
    }
    EXPECT_EQ(5u, deleted.size()) << "hidden and system files are deleted like others";
}

TEST_F(ScannerTest, ReadOnlyFileKeepsItsFolderChainWithOneRecordEach)
{
    const std::wstring dir = kRoot + L"tree\\";
    MakeFile(dir + L"x.txt");
    MakeFile(dir + L"d1\\y.txt");
    MakeFile(dir + L"d1\\d2\\ro.txt");
    MakeFile(dir + L"d1\\d2\\z.txt");
    MakeFile(dir + L"other\\w.txt");
    MakeReadOnly(dir + L"d1\\d2\\ro.txt");

    CDirScanner scanner;
    EXPECT_FALSE(scanner.ScanDirectory(dir, ScanDelete, L"", TRUE)) << "the given folder could not be removed";

    std::vector<std::string> expected = {
        ErrorRecordText(L"DeleteFile" + dir + L"d1\\d2\\ro.txt", ERROR_ACCESS_DENIED),
        ErrorRecordText(L"RemoveDirectory", ERROR_DIR_NOT_EMPTY),  // d2
        ErrorRecordText(L"RemoveDirectory", ERROR_DIR_NOT_EMPTY),  // d1
        ErrorRecordText(L"RemoveDirectory", ERROR_DIR_NOT_EMPTY),  // the given folder
    };
    EXPECT_EQ(expected, LogTexts());
    EXPECT_TRUE(PathExists(dir + L"d1\\d2\\ro.txt"));
    EXPECT_FALSE(PathExists(dir + L"d1\\d2\\z.txt"));
    EXPECT_FALSE(PathExists(dir + L"d1\\y.txt"));
    EXPECT_FALSE(PathExists(dir + L"x.txt"));
    EXPECT_FALSE(PathExists(dir + L"other\\")) << "a folder beside the chain is removed";
}

// Windows 10 1709 on deletes with POSIX semantics where asked: the name goes at once, while
// another handle still holds the file. Wine 8 refuses the extended disposition (87); this
// stand-in does what Windows does: it takes the name away (to a folder outside the walk) and
// leaves the file to go when its last handle closes.
void* g_pRealDisposition = nullptr;
BOOL WINAPI PosixDisposition(HANDLE h, FILE_INFO_BY_HANDLE_CLASS infoClass, LPVOID pInfo, DWORD cb)
{
    auto real = reinterpret_cast<decltype(&SetFileInformationByHandle)>(g_pRealDisposition);
    if (infoClass != static_cast<FILE_INFO_BY_HANDLE_CLASS>(21))
        return real(h, infoClass, pInfo, cb);
    FILE_DISPOSITION_INFO classic = {TRUE};
    std::vector<BYTE> name(sizeof(FILE_NAME_INFO) + MAX_PATH * sizeof(wchar_t));
    auto* pName = reinterpret_cast<FILE_NAME_INFO*>(name.data());
    BY_HANDLE_FILE_INFORMATION info = {};
    if (GetFileInformationByHandle(h, &info) && !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
        GetFileInformationByHandleEx(h, FileNameInfo, pName, static_cast<DWORD>(name.size()))) {
        MakeFolder(L"C:\\tavrel-posix\\");
        const std::wstring path = L"C:" + std::wstring(pName->FileName, pName->FileNameLength / sizeof(wchar_t));
        if (!MoveFileExW(path.c_str(), (L"C:\\tavrel-posix\\" + std::to_wstring(GetTickCount64())).c_str(), 0))
            return FALSE;
    }
    return real(h, FileDispositionInfo, &classic, sizeof(classic));
}

TEST_F(ScannerTest, FileHeldOpenByAnotherProcessKeepsItsFolderOnlyWithoutPosixDeletion)
{
    for (bool bPosix : {false, true}) {
        SCOPED_TRACE(bPosix ? "POSIX semantics (Windows 10 1709 on, stood in)" : "the classic disposition (Wine)");
        ClearRecordedCalls();
        ClearLogs();
        const std::wstring dir = kRoot + L"held\\";
        MakeFile(dir + L"scanned.txt");
        // As a virus scanner or the indexer holds a file: sharing every access, deletion included.
        HANDLE hHeld = CreateFileW((dir + L"scanned.txt").c_str(), GENERIC_READ,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, hHeld);
        CDirScanner scanner;
        BOOL bResult;
        {
            std::unique_ptr<ScopedImportPatch> posix;
            if (bPosix) {
                posix.reset(new ScopedImportPatch("kernel32.dll", "SetFileInformationByHandle",
                                                  reinterpret_cast<void*>(&PosixDisposition)));
                g_pRealDisposition = posix->Original();
            }
            ScopedCallRecorder deletes("SetFileInformationByHandle", RecordAndForward);
            bResult = scanner.ScanDirectory(dir, ScanDelete, L"", TRUE);
        }
        CloseHandle(hHeld);
        // Each deletion is asked for with POSIX semantics first, never ignoring a read-only attribute.
        EXPECT_EQ((std::vector<std::wstring>{dir + L"scanned.txt|3", dir + L"|3"}), RecordedCalls(L"FileDispositionInfoEx"));
        if (bPosix) {
            EXPECT_TRUE(bResult);
            EXPECT_FALSE(PathExists(dir)) << "the name went at once, and the folder with it";
            EXPECT_TRUE(RecordedCalls(L"SetFileInformationByHandle").empty());
        } else {
            // Where the system refuses it, the classic disposition deletes as before; the name then
            // stays until the other handle closes, so the folder does.
            EXPECT_EQ((std::vector<std::wstring>{dir + L"scanned.txt", dir}), RecordedCalls(L"SetFileInformationByHandle"));
            EXPECT_FALSE(bResult);
            EXPECT_EQ(std::vector<std::string>{ErrorRecordText(L"RemoveDirectory", ERROR_DIR_NOT_EMPTY)}, LogTexts());
            EXPECT_FALSE(PathExists(dir + L"scanned.txt")) << "deleted once the other handle closed";
            RemoveDirectoryW(dir.c_str());
        }
    }
    RemoveTree(L"C:\\tavrel-posix\\");
}

TEST_F(ScannerTest, AnyFailedDeletionFailsTheWalk)
{
    // Without folder removal: the last listed entry is a folder whose last deletion fails.
    const std::wstring dir1 = kRoot + L"one\\";
    MakeFile(dir1 + L"a.txt");
    MakeFile(dir1 + L"b.txt");
    MakeFile(dir1 + L"zsub\\ro.txt");
    MakeReadOnly(dir1 + L"zsub\\ro.txt");
    ASSERT_EQ(L"zsub", ListingOrder(dir1).back()) << "test set-up: the folder must be listed last";
    CDirScanner scanner;
    EXPECT_FALSE(scanner.ScanDirectory(dir1, ScanDelete, L"", FALSE))
        << "the last entry, a folder whose deletion failed, decides even though a.txt and b.txt went";
    EXPECT_FALSE(PathExists(dir1 + L"a.txt"));
    EXPECT_FALSE(PathExists(dir1 + L"b.txt"));
    EXPECT_TRUE(PathExists(dir1 + L"zsub\\")) << "without bRemoveDirs no folder is removed";

    // A successful deletion listed after the failing folder does not make the walk succeed.
    const std::wstring dir2 = kRoot + L"two\\";
    MakeFile(dir2 + L"sub\\ro.txt");
    MakeReadOnly(dir2 + L"sub\\ro.txt");
    MakeFile(dir2 + L"z.txt");
    ASSERT_EQ(L"z.txt", ListingOrder(dir2).back());
    EXPECT_FALSE(scanner.ScanDirectory(dir2, ScanDelete, L"", FALSE));
    EXPECT_FALSE(PathExists(dir2 + L"z.txt"));

    // And a failing file listed last fails the walk.
    const std::wstring dir3 = kRoot + L"three\\";
    MakeFile(dir3 + L"a.txt");
    MakeFile(dir3 + L"z.txt");
    MakeReadOnly(dir3 + L"z.txt");
    EXPECT_FALSE(scanner.ScanDirectory(dir3, ScanDelete, L"", FALSE));

    // Nor does a sub-folder walked cleanly after one whose deletion failed (whichever the host
    // lists first gets the read-only file).
    const std::wstring dir4 = kRoot + L"four\\";
    MakeFile(dir4 + L"p\\f.txt");
    MakeFile(dir4 + L"q\\f.txt");
    const std::vector<std::wstring> folders = ListingOrder(dir4);
    ASSERT_EQ(2u, folders.size());
    MakeReadOnly(dir4 + folders[0] + L"\\f.txt");
    EXPECT_FALSE(scanner.ScanDirectory(dir4, ScanDelete, L"", FALSE)) << "the second sub-folder's success decides nothing";
    EXPECT_FALSE(PathExists(dir4 + folders[1] + L"\\f.txt"));

    std::vector<std::string> expected = {
        ErrorRecordText(L"DeleteFile" + dir1 + L"zsub\\ro.txt", ERROR_ACCESS_DENIED),
        ErrorRecordText(L"DeleteFile" + dir2 + L"sub\\ro.txt", ERROR_ACCESS_DENIED),
        ErrorRecordText(L"DeleteFile" + dir3 + L"z.txt", ERROR_ACCESS_DENIED),
        ErrorRecordText(L"DeleteFile" + dir4 + folders[0] + L"\\f.txt", ERROR_ACCESS_DENIED),
    };
    EXPECT_EQ(expected, LogTexts());
}

TEST_F(ScannerTest, MissingAndEmptyFolders)
{
    const std::wstring missing = kRoot + L"missing\\";
    CDirScanner scanner;
    EXPECT_TRUE(scanner.ScanDirectory(missing, ScanCollect, L"", TRUE));
    EXPECT_TRUE(scanner.m_matchedFiles.empty());
    EXPECT_TRUE(scanner.ScanDirectory(missing, ScanDelete, L"", FALSE)) << "nothing to delete is no failure";
    EXPECT_TRUE(LogTexts().empty()) << "a folder that cannot be listed is not logged";
    EXPECT_FALSE(scanner.ScanDirectory(missing, ScanDelete, L"", TRUE)) << "its removal is still tried and fails";
    std::vector<std::string> expected = {ErrorRecordText(L"RemoveDirectory", ERROR_FILE_NOT_FOUND)};
    EXPECT_EQ(expected, LogTexts());

    const std::wstring empty = kRoot + L"empty\\";
    MakeFolder(empty);
    EXPECT_TRUE(scanner.ScanDirectory(empty, ScanCollect, L"", TRUE));
    EXPECT_TRUE(scanner.m_matchedFiles.empty());
    EXPECT_TRUE(PathExists(empty)) << "a collecting walk removes nothing";
    EXPECT_TRUE(scanner.ScanDirectory(empty, ScanDelete, L"", TRUE));
    EXPECT_FALSE(PathExists(empty));
    EXPECT_EQ(1u, LogTexts().size());
}

// A folder that is there but cannot be opened (held without sharing here) may hold anything: a
// deleting walk fails with a record naming the call, one that only looks logs it and goes on.
TEST_F(ScannerTest, FolderThatCannotBeOpenedFailsADeletingWalk)
{
    const std::wstring dir = kRoot + L"held\\";
    MakeFile(dir + L"a.txt");
    MakeFile(dir + L"locked\\b.txt");
    auto Hold = [](const std::wstring& folder) {
        return CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY, 0, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                           nullptr);
    };
    HANDLE hHeld = Hold(dir + L"locked");
    ASSERT_NE(INVALID_HANDLE_VALUE, hHeld);
    CDirScanner scanner;
    EXPECT_TRUE(scanner.ScanDirectory(dir, ScanCollect, L"", FALSE));
    EXPECT_EQ(std::vector<std::wstring>{dir + L"a.txt"}, scanner.m_matchedFiles);
    EXPECT_FALSE(scanner.ScanDirectory(dir, ScanDelete, L"", FALSE));
    EXPECT_FALSE(PathExists(dir + L"a.txt")) << "the walk goes on with the rest";
    CloseHandle(hHeld);
    EXPECT_TRUE(PathExists(dir + L"locked\\b.txt"));
    hHeld = Hold(kRoot + L"held");
    EXPECT_FALSE(scanner.ScanDirectory(dir, ScanDelete, L"", FALSE)) << "nor may the walk's own folder";
    CloseHandle(hHeld);
    EXPECT_TRUE(PathExists(dir + L"locked\\b.txt"));
    const std::string record = ErrorRecordText(L"NtOpenFile" + dir + L"locked\\", ERROR_SHARING_VIOLATION);
    EXPECT_EQ((std::vector<std::string>{record, record, ErrorRecordText(L"CreateFile" + dir, ERROR_SHARING_VIOLATION)}),
              LogTexts());
}

TEST_F(ScannerTest, PatternIsACaseSensitiveSubstringOfTheFileName)
{
    struct Case {
        const wchar_t* path;
        const wchar_t* pattern;
        BOOL expected;
    } cases[] = {
        {L"C:\\inf\\oem12.inf", L"oem", TRUE},
        {L"C:\\inf\\oem12.PNF", L"oem", TRUE},
        {L"C:\\inf\\myoem.txt", L"oem", TRUE},
        {L"C:\\inf\\OEM12.INF", L"oem", FALSE},
        {L"C:\\oem\\readme.txt", L"oem", FALSE},
        {L"C:\\spool\\00012.SPL", L".SPL", TRUE},
        {L"C:\\spool\\00012.spl", L".SPL", FALSE},
        {L"C:\\x\\abc", L"\\abc", TRUE},  // the backslash in front of the name is searched too
        {L"C:\\x\\abc", L"x\\abc", FALSE},
        {L"C:\\x\\abc", L"", TRUE},
        {L"", L"", FALSE},
        {L"", L"a", FALSE},
        {L"abc", L"abc", FALSE},  // no backslash: no name to search
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.expected, CDirScanner::MatchesPattern(c.path, c.pattern)) << c.path << " / " << c.pattern;

    const std::wstring dir = kRoot + L"spool\\";
    MakeFile(dir + L"00012.SPL");
    MakeFile(dir + L"00013.spl");
    MakeFile(dir + L"x.SPL.d\\readme.txt");
    MakeFile(dir + L"x.SPL.d\\00014.SPL");
    CDirScanner scanner;
    EXPECT_TRUE(scanner.ScanDirectory(dir, ScanCollect, L".SPL", FALSE));
    std::vector<std::wstring> expected = {dir + L"00012.SPL", dir + L"x.SPL.d\\00014.SPL"};
    EXPECT_EQ(expected, scanner.m_matchedFiles);
    EXPECT_TRUE(scanner.ScanDirectory(dir, ScanDelete, L".SPL", FALSE));
    EXPECT_FALSE(PathExists(dir + L"00012.SPL"));
    EXPECT_FALSE(PathExists(dir + L"x.SPL.d\\00014.SPL"));
    EXPECT_TRUE(PathExists(dir + L"00013.spl")) << "another letter case does not match";
    EXPECT_TRUE(PathExists(dir + L"x.SPL.d\\readme.txt")) << "a folder's name is never matched";
}

TEST_F(ScannerTest, CollectingAccumulatesInWalkOrderAndTouchesNothing)
{
    const std::wstring dir = kRoot + L"inf\\";
    MakeFile(dir + L"oem1.inf");
    MakeFile(dir + L"sub\\oem2.inf");
    MakeFile(dir + L"sub\\deeper\\oem3.PNF");
    MakeFile(dir + L"zz.inf");
    CDirScanner scanner;
    EXPECT_TRUE(scanner.ScanDirectory(dir, ScanCollect, L"oem", TRUE));
    EXPECT_TRUE(scanner.ScanDirectory(dir, ScanCollect, L"oem", TRUE));
    ASSERT_EQ(6u, scanner.m_matchedFiles.size());
    std::vector<std::wstring> first(scanner.m_matchedFiles.begin(), scanner.m_matchedFiles.begin() + 3);
    std::vector<std::wstring> second(scanner.m_matchedFiles.begin() + 3, scanner.m_matchedFiles.end());
    EXPECT_EQ(first, second) << "the second walk appends the same files in the same order";
    std::vector<std::wstring> sorted = first;
    std::sort(sorted.begin(), sorted.end());
    std::vector<std::wstring> expected = {dir + L"oem1.inf", dir + L"sub\\deeper\\oem3.PNF", dir + L"sub\\oem2.inf"};
    EXPECT_EQ(expected, sorted);
    // Depth-first: oem3 (in sub\deeper\) comes right after or before oem2 (in sub\), never
    // separated from it by a file of the top folder.
    auto pos2 = std::find(first.begin(), first.end(), dir + L"sub\\oem2.inf") - first.begin();
    auto pos3 = std::find(first.begin(), first.end(), dir + L"sub\\deeper\\oem3.PNF") - first.begin();
    EXPECT_EQ(1, std::abs(pos2 - pos3));
    EXPECT_TRUE(PathExists(dir + L"zz.inf"));
    EXPECT_TRUE(PathExists(dir + L"sub\\deeper\\oem3.PNF"));

    // A mode other than collect, delete or plan walks and changes nothing.
    CDirScanner other;
    EXPECT_TRUE(other.ScanDirectory(dir, 3, L"", TRUE));
    EXPECT_TRUE(other.m_matchedFiles.empty());
    EXPECT_TRUE(PathExists(dir + L"oem1.inf"));
    EXPECT_TRUE(PathExists(dir));
    EXPECT_TRUE(LogTexts().empty());
}

TEST_F(ScannerTest, RelativeOrEmptyFolderIsRefusedAndAMissingBackslashAdded)
{
    const std::wstring cwd = kRoot + L"cwd\\";
    MakeFile(cwd + L"keep.txt");
    MakeFile(cwd + L"sub\\keep.txt");
    wchar_t szOld[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, szOld);
    ASSERT_TRUE(SetCurrentDirectoryW(cwd.c_str()));
    CDirScanner scanner;
    BOOL bEmpty = scanner.ScanDirectory(L"", ScanDelete, L"", TRUE);
    BOOL bRelative = scanner.ScanDirectory(L"sub\\", ScanDelete, L"", TRUE);
    BOOL bDrive = scanner.ScanDirectory(L"C:", ScanDelete, L"", TRUE);
    BOOL bCollect = scanner.ScanDirectory(L"sub\\", ScanCollect, L"", TRUE);
    SetCurrentDirectoryW(szOld);
    EXPECT_FALSE(bEmpty) << "an empty folder must not be taken as the current one";
    EXPECT_FALSE(bRelative);
    EXPECT_FALSE(bDrive) << "\"C:\" is the current folder of drive C";
    EXPECT_TRUE(bCollect) << "a collecting walk still succeeds";
    EXPECT_TRUE(scanner.m_matchedFiles.empty());
    EXPECT_TRUE(PathExists(cwd + L"keep.txt"));
    EXPECT_TRUE(PathExists(cwd + L"sub\\keep.txt"));

    // "...\tree" is walked as "...\tree\", not as the pattern "...\tree*.*".
    MakeFile(kRoot + L"tree\\a.txt");
    MakeFile(kRoot + L"treesibling\\b.txt");
    EXPECT_TRUE(scanner.ScanDirectory(kRoot + L"tree", ScanDelete, L"", TRUE));
    EXPECT_FALSE(PathExists(kRoot + L"tree"));
    EXPECT_TRUE(PathExists(kRoot + L"treesibling\\b.txt"));
    EXPECT_TRUE(LogTexts().empty());
}

TEST_F(ScannerTest, ReadWholeFile)
{
    const std::string bytes("INF\0text\xff", 9);
    MakeFile(kRoot + L"a.inf", bytes);
    DWORD length = 12345;
    BYTE* pBuffer = CDirScanner::ReadWholeFile(kRoot + L"a.inf", length);
    ASSERT_NE(nullptr, pBuffer);
    EXPECT_EQ(9u, length);
    EXPECT_EQ(bytes, std::string(reinterpret_cast<char*>(pBuffer), length)) << "the bytes as stored, zeros included";
    EXPECT_EQ(0, pBuffer[length]) << "one zero byte after the content";
    delete[] pBuffer;

    MakeFile(kRoot + L"empty.inf", "");
    length = 12345;
    pBuffer = CDirScanner::ReadWholeFile(kRoot + L"empty.inf", length);
    ASSERT_NE(nullptr, pBuffer);
    EXPECT_EQ(0u, length);
    EXPECT_EQ(0, pBuffer[0]);
    delete[] pBuffer;

    length = 12345;
    EXPECT_EQ(nullptr, CDirScanner::ReadWholeFile(kRoot + L"missing.inf", length));
    EXPECT_EQ(12345u, length) << "length is left alone when the file cannot be opened";

    // Shared for reading only: another reader does not keep it from being read, a writer or a
    // holder that shares nothing does.
    const DWORD accesses[] = {GENERIC_READ, GENERIC_WRITE};
    for (DWORD dwAccess : accesses) {
        HANDLE hHeld = CreateFileW((kRoot + L"a.inf").c_str(), dwAccess, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, hHeld);
        pBuffer = CDirScanner::ReadWholeFile(kRoot + L"a.inf", length);
        EXPECT_EQ(dwAccess == GENERIC_READ, pBuffer != nullptr) << "held for " << std::hex << dwAccess;
        delete[] pBuffer;
        CloseHandle(hHeld);
    }
    EXPECT_TRUE(LogTexts().empty()) << "reading logs nothing";
}

// A folder tree whose deepest paths are far longer than MAX_PATH.
TEST_F(ScannerTest, TreeDeeperThanMaxPathIsWalkedWhole)
{
    std::wstring deep = kRoot + L"deep\\";
    std::vector<std::wstring> files;
    for (int level = 0; level < 12; ++level) {
        deep += L"level" + std::to_wstring(level) + L"_abcdefghijklmnopqrstuvwx\\";
        files.push_back(deep + L"file" + std::to_wstring(level) + L".inf");
        MakeFile(files.back(), "printer " + std::to_string(level));
    }
    ASSERT_GT(files.back().size(), MAX_PATH + 100u) << "test set-up";

    CDirScanner scanner;
    {
        ScopedCallRecorder creates("CreateFileW", RecordAndForward);
        EXPECT_TRUE(scanner.ScanDirectory(kRoot + L"deep\\", ScanCollect, L".inf", FALSE));
        std::sort(scanner.m_matchedFiles.begin(), scanner.m_matchedFiles.end());
        std::vector<std::wstring> sortedFiles = files;
        std::sort(sortedFiles.begin(), sortedFiles.end());
        EXPECT_EQ(sortedFiles, scanner.m_matchedFiles) << "every file, listed by its plain path";

        DWORD length = 0;
        BYTE* pBuffer = CDirScanner::ReadWholeFile(files.back(), length);
        ASSERT_NE(nullptr, pBuffer) << "a file deeper than MAX_PATH can be read";
        EXPECT_EQ("printer 11", std::string(reinterpret_cast<char*>(pBuffer)));
        delete[] pBuffer;
    }
    // A deep read-only file is logged under its plain path.
    MakeReadOnly(files[10]);
    EXPECT_FALSE(scanner.ScanDirectory(kRoot + L"deep\\", ScanDelete, L"", TRUE));
    std::vector<std::string> texts = LogTexts();
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(ErrorRecordText(L"DeleteFile" + files[10], ERROR_ACCESS_DENIED), texts[0]);
    EXPECT_EQ(13u, texts.size()) << "one DeleteFile, then a RemoveDirectory for level10 up to the given folder";
    EXPECT_FALSE(PathExists(files[11]));
    EXPECT_TRUE(PathExists(files[10]));

    SetFileAttributesW(Extended(files[10]).c_str(), FILE_ATTRIBUTE_NORMAL);
    {
        ScopedCallRecorder creates("CreateFileW", RecordAndForward);
        ScopedCallRecorder deletes("SetFileInformationByHandle", RecordAndForward);
        std::wstring deepFolder = files[10].substr(0, files[10].rfind(L'\\') + 1);
        EXPECT_TRUE(scanner.ScanDirectory(deepFolder, ScanDelete, L"", TRUE)) << "a deep folder can be the start";
        EXPECT_TRUE(scanner.ScanDirectory(kRoot + L"deep\\", ScanDelete, L"", TRUE));
        EXPECT_EQ(files[10], RecordedCalls(L"SetFileInformationByHandle").front());
    }
    EXPECT_FALSE(PathExists(kRoot + L"deep\\"));

    // On Windows a plain path of MAX_PATH or more characters fails: every path handed to the
    // system is short enough or in extended-length form (the walk's own opens name an entry of
    // a held folder, not a path).
    std::vector<std::wstring> opens = RecordedCalls(L"CreateFileW");
    for (const std::wstring& path : opens) {
        if (path.find(L"tavrel-scan") == std::wstring::npos)
            continue;  // the log's own file
        EXPECT_TRUE(path.size() < MAX_PATH || path.compare(0, 4, L"\\\\?\\") == 0) << path;
    }
    EXPECT_FALSE(WithPrefix(opens, L"\\\\?\\").empty());
}

// A junction made the Windows way; Wine 8 cannot (error 50), and the test then uses the
// Unix link that the scanner_links fixture placed (see links.sh).
bool MakeJunction(const std::wstring& link, const std::wstring& target)
{
    if (!CreateDirectoryW(link.c_str(), nullptr))
        return false;
    HANDLE h = CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    bool bMade = false;
    if (h != INVALID_HANDLE_VALUE) {
        std::wstring substitute = L"\\??\\" + target;
        std::vector<BYTE> buf(8 + 8 + (substitute.size() + 1 + target.size() + 1) * 2, 0);
        auto* p = reinterpret_cast<WORD*>(buf.data());
        *reinterpret_cast<DWORD*>(buf.data()) = IO_REPARSE_TAG_MOUNT_POINT;
        p[2] = static_cast<WORD>(buf.size() - 8);
        p[4] = 0;
        p[5] = static_cast<WORD>(substitute.size() * 2);
        p[6] = static_cast<WORD>((substitute.size() + 1) * 2);
        p[7] = static_cast<WORD>(target.size() * 2);
        memcpy(buf.data() + 16, substitute.c_str(), substitute.size() * 2);
        memcpy(buf.data() + 16 + (substitute.size() + 1) * 2, target.c_str(), target.size() * 2);
        DWORD dwReturned = 0;
        bMade = DeviceIoControl(h, FSCTL_SET_REPARSE_POINT, buf.data(), static_cast<DWORD>(buf.size()), nullptr, 0,
                                &dwReturned, nullptr) != FALSE;
        CloseHandle(h);
    }
    if (!bMade)
        RemoveDirectoryW(link.c_str());
    return bMade;
}

TEST_F(ScannerTest, DirectoryLinksAreNeitherFollowedNorRemoved)
{
    const std::wstring base = L"C:\\tavrel-links\\";
    const std::wstring tree = base + L"tree\\";
    const std::wstring target = base + L"target\\";
    MakeFolder(tree);
    MakeFolder(target);
    std::wstring link = tree + L"junction";
    bool bOwnJunction = MakeJunction(link, base + L"target");
    if (!bOwnJunction)
        link = tree + L"link";
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW(link.c_str(), &fd);
    ASSERT_NE(INVALID_HANDLE_VALUE, h) << "no directory link at " << link << " (fixture scanner_links missing?)";
    FindClose(h);
    ASSERT_EQ(DWORD(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT),
              fd.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));

    MakeFile(target + L"keep.inf");
    MakeFile(target + L"sub\\keep2.inf");
    MakeFile(tree + L"own.inf");
    MakeFile(tree + L"d\\own2.inf");

    CDirScanner scanner;
    EXPECT_TRUE(scanner.ScanDirectory(tree, ScanCollect, L".inf", FALSE));
    std::vector<std::wstring> collected = scanner.m_matchedFiles;
    std::sort(collected.begin(), collected.end());
    std::vector<std::wstring> expected = {tree + L"d\\own2.inf", tree + L"own.inf"};
    EXPECT_EQ(expected, collected) << "a collecting walk does not follow the link";

    EXPECT_TRUE(scanner.ScanDirectory(tree, ScanDelete, L".inf", FALSE));
    EXPECT_FALSE(PathExists(tree + L"own.inf"));
    EXPECT_TRUE(PathExists(target + L"keep.inf"));
    EXPECT_TRUE(PathExists(target + L"sub\\keep2.inf"));

    MakeFile(tree + L"own.inf");
    {
        ScopedCallRecorder opens("NtOpenFile", RecordAndForward);
        ScopedCallRecorder lists("GetFileInformationByHandleEx", RecordAndForward);
        ScopedCallRecorder deletes("SetFileInformationByHandle", RecordAndForward);
        EXPECT_FALSE(scanner.ScanDirectory(tree, ScanDelete, L"", TRUE))
            << "the folder that holds the link cannot be removed";
    }
    EXPECT_TRUE(PathExists(target + L"keep.inf")) << "nothing behind the link may be deleted";
    EXPECT_TRUE(PathExists(target + L"sub\\keep2.inf"));
    EXPECT_TRUE(PathExists(target + L"sub\\"));
    EXPECT_TRUE(PathExists(link)) << "the link is left in place";
    EXPECT_FALSE(PathExists(tree + L"own.inf"));
    EXPECT_FALSE(PathExists(tree + L"d\\"));
    ASSERT_FALSE(RecordedCalls(L"NtOpenFile").empty());
    for (const std::wstring& call : RecordedCalls()) {
        EXPECT_EQ(std::wstring::npos, call.find(link)) << "no call may go into or onto the link: " << call;
        EXPECT_EQ(std::wstring::npos, call.find(target)) << "nor reach its target: " << call;
    }
    std::vector<std::string> records = {ErrorRecordText(L"RemoveDirectory", ERROR_DIR_NOT_EMPTY)};
    EXPECT_EQ(records, LogTexts());

    // Clean up what this test made; the fixture removes its own link and folders.
    DeleteFileW((target + L"keep.inf").c_str());
    DeleteFileW((target + L"sub\\keep2.inf").c_str());
    RemoveDirectoryW((target + L"sub").c_str());
    if (bOwnJunction) {
        RemoveDirectoryW(link.c_str());  // on Windows this removes the junction only
        RemoveDirectoryW(target.c_str());
        RemoveDirectoryW(tree.c_str());
        RemoveDirectoryW(base.c_str());
    }
}

// Reparse points that are the file or folder itself (a file compressed by Windows, WOF; a cloud
// placeholder folder) and one that names another object (a mount point). Wine can make none of
// them, so a stand-in for the listing and the tag query shows the named entries as Windows
// would, each with its tag; the Unix link beside them is Wine's own (a reparse point by
// listing only).
std::map<std::wstring, DWORD> g_reparseTags;  // bare name -> tag shown
std::set<std::wstring> g_linkedAfterListing;  // of those, shown on their handle only
void* g_pRealFileInfo = nullptr;
BOOL WINAPI TaggedFileInfo(HANDLE hFile, FILE_INFO_BY_HANDLE_CLASS infoClass, LPVOID pInfo, DWORD cb)
{
    auto real = reinterpret_cast<decltype(&GetFileInformationByHandleEx)>(g_pRealFileInfo);
    if (!real(hFile, infoClass, pInfo, cb))
        return FALSE;
    if (infoClass == FileIdBothDirectoryInfo) {
        for (auto* pEntry = static_cast<FILE_ID_BOTH_DIR_INFO*>(pInfo);;) {
            auto it = g_reparseTags.find(std::wstring(pEntry->FileName, pEntry->FileNameLength / sizeof(wchar_t)));
            if (it != g_reparseTags.end() && !g_linkedAfterListing.count(it->first)) {
                pEntry->FileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
                pEntry->EaSize = it->second;  // where a listing gives a reparse point's tag
            }
            if (!pEntry->NextEntryOffset)
                break;
            pEntry = reinterpret_cast<FILE_ID_BOTH_DIR_INFO*>(reinterpret_cast<BYTE*>(pEntry) + pEntry->NextEntryOffset);
        }
    } else if (infoClass == FileAttributeTagInfo) {
        std::vector<BYTE> name(sizeof(FILE_NAME_INFO) + MAX_PATH * sizeof(wchar_t));
        auto* pName = reinterpret_cast<FILE_NAME_INFO*>(name.data());
        if (real(hFile, FileNameInfo, pName, static_cast<DWORD>(name.size()))) {
            std::wstring path(pName->FileName, pName->FileNameLength / sizeof(wchar_t));
            auto it = g_reparseTags.find(path.substr(path.rfind(L'\\') + 1));
            if (it != g_reparseTags.end()) {
                static_cast<FILE_ATTRIBUTE_TAG_INFO*>(pInfo)->FileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
                static_cast<FILE_ATTRIBUTE_TAG_INFO*>(pInfo)->ReparseTag = it->second;
            }
        }
    }
    return TRUE;
}

TEST_F(ScannerTest, OnlyReparsePointsThatNameAnotherObjectArePassedOver)
{
    const std::wstring tree = L"C:\\tavrel-links\\tree\\";
    ASSERT_TRUE(PathExists(tree + L"link")) << "fixture scanner_links missing?";
    MakeFile(tree + L"packed.dll");
    MakeFile(tree + L"placeholder\\cloud.inf");
    MakeFile(tree + L"mount\\beyond.inf");
    MakeFile(tree + L"relinked\\beyond2.inf");
    g_reparseTags = {{L"packed.dll", 0x80000017u /* IO_REPARSE_TAG_WOF */},
                     {L"placeholder", 0x9000001Au /* IO_REPARSE_TAG_CLOUD */},
                     {L"mount", IO_REPARSE_TAG_MOUNT_POINT},
                     {L"relinked", IO_REPARSE_TAG_MOUNT_POINT}};
    // An empty folder made a junction in place after the listing keeps its file id: only the
    // tag on its own handle tells (Wine makes no junction, so the stand-in shows one).
    g_linkedAfterListing = {L"relinked"};
    CDirScanner scanner;
    {
        ScopedImportPatch patch("kernel32.dll", "GetFileInformationByHandleEx", reinterpret_cast<void*>(&TaggedFileInfo));
        g_pRealFileInfo = patch.Original();
        EXPECT_FALSE(scanner.ScanDirectory(tree, ScanDelete, L"", TRUE)) << "the links keep the folder";
        // Nor is a walk that starts at a mount point: its own handle shows it.
        EXPECT_FALSE(scanner.ScanDirectory(tree + L"mount\\", ScanDelete, L"", TRUE));
    }
    EXPECT_FALSE(PathExists(tree + L"packed.dll")) << "a compressed file is a file to delete";
    EXPECT_FALSE(PathExists(tree + L"placeholder")) << "a placeholder folder is entered and removed";
    EXPECT_TRUE(PathExists(tree + L"mount\\beyond.inf")) << "a mount point is not entered";
    EXPECT_TRUE(PathExists(tree + L"relinked\\beyond2.inf")) << "nor one made after the listing";
    EXPECT_TRUE(PathExists(tree + L"link")) << "nor a link";
    const std::string refused = ErrorRecordText(L"RemoveDirectory", ERROR_CANT_ACCESS_FILE);
    EXPECT_EQ((std::vector<std::string>{refused, ErrorRecordText(L"RemoveDirectory", ERROR_DIR_NOT_EMPTY), refused}),
              LogTexts());
    for (const wchar_t* pFolder : {L"mount", L"relinked"})
        RemoveTree(tree + pFolder);
}

// ---- a folder or file swapped for a link in the middle of a walk ----
// A stand-in for the listing call makes the test's swap right after a listing that shows the
// entry, so the swap lands exactly between the listing and the walk's next step. A swap that
// puts a link in place is made by the host's sh (see links.sh) and waited for; a rename that
// the walk must refuse is tried through MoveFileW, as another program on Windows would.
//
// What Wine 8 shows, and what only Windows does: a held folder (opened without delete sharing)
// cannot be renamed under Wine either (ERROR_SHARING_VIOLATION), so a swap after the descent
// is refused on both. A swap before the descent succeeds; Wine then follows the Unix link even
// when it is opened as a reparse point and reports the target, so what refuses it here is the
// file id, which differs from the one the listing gave; on Windows the open stops at the link
// itself and its reparse attribute refuses it as well. Wine lists a link to a file as a plain
// file (only folder links show as reparse points), so under Wine only a file swapped after the
// listing is caught, by its id; on Windows a file link is never followed when it is deleted.
// A Unix program's rename is not subject to Windows sharing at all: that part of the
// guarantee (a held folder stays where it is) holds against Windows programs only.
struct Swap {
    std::wstring strWhenListed;       // the entry whose listing triggers the swap
    std::wstring strShell;            // sh command run in the prefix's drive_c, waited for
    std::wstring strFrom, strTo;      // or a rename through MoveFileW
    bool bDone = false;
    BOOL bMoved = FALSE;
    DWORD dwMoveError = 0;
};
Swap g_swap;
void* g_pRealListing = nullptr;

BOOL WINAPI SwappingListing(HANDLE h, FILE_INFO_BY_HANDLE_CLASS infoClass, LPVOID pInfo, DWORD cb)
{
    BOOL bListed = reinterpret_cast<decltype(&GetFileInformationByHandleEx)>(g_pRealListing)(h, infoClass, pInfo, cb);
    if (!bListed || g_swap.bDone || infoClass != FileIdBothDirectoryInfo)
        return bListed;
    for (auto* p = static_cast<const BYTE*>(pInfo);;) {
        const auto* pEntry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(p);
        if (std::wstring(pEntry->FileName, pEntry->FileNameLength / 2) == g_swap.strWhenListed) {
            g_swap.bDone = true;
            DWORD dwError = GetLastError();
            if (!g_swap.strShell.empty()) {
                g_swap.bMoved = RunHostShell(g_swap.strShell);
            } else {
                SetLastError(0);
                g_swap.bMoved = MoveFileW(g_swap.strFrom.c_str(), g_swap.strTo.c_str());
                g_swap.dwMoveError = GetLastError();
            }
            SetLastError(dwError);
            break;
        }
        if (!pEntry->NextEntryOffset)
            break;
        p += pEntry->NextEntryOffset;
    }
    return bListed;
}

class SwapTest : public ScannerTest {
protected:
    void SetUp() override
    {
        ScannerTest::SetUp();
        ASSERT_TRUE(PathExists(kOutside)) << "fixture scanner_links missing?";
        MakeFile(kOutside + L"victim.dll", "not ours");
        MakeFile(kOutside + L"deeper\\victim2.dll", "not ours");
        g_swap = Swap();
        g_pRealListing = m_listing.Original();
    }
    void TearDown() override
    {
        // The links first (through sh: Windows calls would reach through them), then the rest.
        RunHostShell(L"for f in tavrel-scan/tree/sub tavrel-scan/tree/TVX.DLL; do if [ -L $f ]; then rm $f; fi; done");
        RemoveTree(kOutside + L"deeper");
        DeleteFileW((kOutside + L"victim.dll").c_str());
        ScannerTest::TearDown();
    }
    void ExpectOutsideUntouched()
    {
        EXPECT_TRUE(PathExists(kOutside + L"victim.dll")) << "nothing outside the tree may be deleted";
        EXPECT_TRUE(PathExists(kOutside + L"deeper\\victim2.dll"));
    }
    const std::wstring kBase = L"C:\\tavrel-links\\";
    const std::wstring kOutside = kBase + L"outside\\";
    const std::wstring kTree = kRoot + L"tree\\";
    ScopedImportPatch m_listing{"kernel32.dll", "GetFileInformationByHandleEx", reinterpret_cast<void*>(&SwappingListing)};
};

TEST_F(SwapTest, AFolderSwappedBeforeTheDescentIsNotEntered)
{
    MakeFile(kTree + L"a.dll");
    MakeFile(kTree + L"sub\\inner.dll");
    MakeFile(kTree + L"zz\\z.dll");
    g_swap.strWhenListed = L"sub";
    g_swap.strShell = L"mv tavrel-scan/tree/sub tavrel-scan/moved-sub && ln -s \\\"$PWD/tavrel-links/outside\\\" tavrel-scan/tree/sub";

    CDirScanner scanner;
    EXPECT_FALSE(scanner.ScanDirectory(kTree, ScanDelete, L"", TRUE));
    ASSERT_TRUE(g_swap.bMoved) << "the swap itself must have happened";
    ExpectOutsideUntouched();
    EXPECT_TRUE(PathExists(kTree + L"sub")) << "the link is left in place";
    EXPECT_FALSE(PathExists(kTree + L"a.dll")) << "the walk goes on with the rest";
    EXPECT_FALSE(PathExists(kTree + L"zz\\"));
    std::vector<std::string> expected = {ErrorRecordText(L"RemoveDirectory", ERROR_CANT_ACCESS_FILE),
                                         ErrorRecordText(L"RemoveDirectory", ERROR_DIR_NOT_EMPTY)};
    EXPECT_EQ(expected, LogTexts());
}

TEST_F(SwapTest, AHeldFolderCannotBeSwapped)
{
    MakeFile(kTree + L"sub\\inner.dll");
    MakeFile(kTree + L"sub\\deeper\\x.dll");
    // Listed through the handle of sub: the walk holds sub and the tree.
    g_swap.strWhenListed = L"inner.dll";
    g_swap.strFrom = kTree + L"sub";
    g_swap.strTo = kRoot + L"moved-sub";
    CDirScanner scanner;
    EXPECT_TRUE(scanner.ScanDirectory(kTree, ScanDelete, L"", TRUE));
    ASSERT_TRUE(g_swap.bDone);
    EXPECT_FALSE(g_swap.bMoved) << "a folder the walk is in cannot be renamed";
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), g_swap.dwMoveError);
    EXPECT_FALSE(PathExists(kTree)) << "the walk finished the tree it was in";
    EXPECT_TRUE(LogTexts().empty());

    // Nor can a folder above it in the tree.
    MakeFile(kTree + L"sub\\inner.dll");
    g_swap = Swap();
    g_swap.strWhenListed = L"inner.dll";
    g_swap.strFrom = kRoot + L"tree";
    g_swap.strTo = kRoot + L"moved-tree";
    EXPECT_TRUE(scanner.ScanDirectory(kTree, ScanDelete, L"", TRUE));
    EXPECT_FALSE(g_swap.bMoved);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), g_swap.dwMoveError);
    EXPECT_FALSE(PathExists(kTree));
}

TEST_F(SwapTest, AFileSwappedBeforeItsDeletionIsNotDeleted)
{
    MakeFile(kTree + L"TVX.DLL");
    MakeFile(kTree + L"sub\\TVX.DLL");
    g_swap.strWhenListed = L"TVX.DLL";
    g_swap.strShell = L"mv tavrel-scan/tree/TVX.DLL tavrel-scan/moved.dll && ln -s \\\"$PWD/tavrel-links/outside/victim.dll\\\" tavrel-scan/tree/TVX.DLL";
    CDirScanner scanner;
    scanner.ScanDirectory(kTree, ScanDelete, L"TVX.DLL", FALSE);
    ASSERT_TRUE(g_swap.bMoved);
    ExpectOutsideUntouched();
    EXPECT_FALSE(PathExists(kTree + L"sub\\TVX.DLL")) << "the walk goes on with the rest";
    EXPECT_EQ(std::vector<std::string>{ErrorRecordText(L"DeleteFile" + kTree + L"TVX.DLL", ERROR_CANT_ACCESS_FILE)},
              LogTexts())
        << "the swapped file is refused, with a record";
}

}  // namespace
