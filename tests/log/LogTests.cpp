// The operation log, read back byte for byte from the files it writes.
#include <gtest/gtest.h>
#include <shlobj.h>

#include <algorithm>
#include <thread>

#include "FileTree.h"
#include "ImportPatch.h"
#include "TestSupport.h"
#include "log/Log.h"

namespace {

class LogTest : public ::testing::Test {
protected:
    void SetUp() override { ClearLogs(); }
    void TearDown() override { ClearLogs(); }
};

ULONGLONG Millis(const SYSTEMTIME& t)
{
    FILETIME ft;
    SystemTimeToFileTime(&t, &ft);
    return ((static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime) / 10000;
}

TEST_F(LogTest, PlainRecordIsAnsiTextStampAndNul)
{
    SYSTEMTIME before, after;
    GetLocalTime(&before);
    WriteLog(L"关闭服务失败", FALSE);
    GetLocalTime(&after);

    std::string bytes = ReadFileBytes(LogFilePath(1));
    // GBK bytes of the text, then exactly five blanks, the stamp, " \r\n" and one NUL.
    const std::string gbk = "\xB9\xD8\xB1\xD5\xB7\xFE\xCE\xF1\xCA\xA7\xB0\xDC";
    ASSERT_GE(bytes.size(), gbk.size() + 5) << "Log(1).txt should have been created";
    EXPECT_EQ(gbk, bytes.substr(0, gbk.size())) << "the text must be stored in code page 936";
    EXPECT_EQ(936u, GetACP());
    EXPECT_EQ('\0', bytes.back());
    EXPECT_EQ(1u, std::count(bytes.begin(), bytes.end(), '\0'));

    std::string text;
    SYSTEMTIME stamp;
    ASSERT_TRUE(SplitRecord(bytes.substr(0, bytes.size() - 1), text, stamp)) << bytes;
    EXPECT_EQ(gbk, text);
    EXPECT_LE(Millis(before), Millis(stamp));
    EXPECT_GE(Millis(after), Millis(stamp));
    EXPECT_EQ(1, g_nLogFileIndex);
}

TEST_F(LogTest, StampHasNoLeadingZeros)
{
    // 6 December 2026, 09:05:03.007 must read 6-12-2026,9:5:3:7.
    static SYSTEMTIME fixed = {2026, 12, 0, 6, 9, 5, 3, 7};
    struct Fake {
        static void WINAPI GetLocalTime(LPSYSTEMTIME t) { *t = fixed; }
    };
    ScopedImportPatch patch("kernel32.dll", "GetLocalTime", reinterpret_cast<void*>(&Fake::GetLocalTime));
    WriteLog(L"关闭服务失败", FALSE);
    EXPECT_EQ(Ansi(L"关闭服务失败") + "     6-12-2026,9:5:3:7 \r\n" + std::string(1, '\0'), ReadFileBytes(LogFilePath(1)));
}

TEST_F(LogTest, ErrorRecordsCarryTheCallersCode)
{
    // The folder exists after the first record, so its creation fails with 183 inside
    // WriteLog: the record must still carry the caller's code.
    WriteLog(L"first", FALSE);
    SetLastError(ERROR_FILE_NOT_FOUND);
    WriteLog(L"OpenPrinter", TRUE);
    SetLastError(0);
    WriteLog(L"DeletePrinter", TRUE);
    SetLastError(ERROR_ACCESS_DENIED);
    WriteLog(L"plain", FALSE);

    std::vector<std::string> texts = LogTexts(1);
    ASSERT_EQ(4u, texts.size());
    EXPECT_EQ(ErrorRecordText(L"OpenPrinter", 2), texts[1]);
    EXPECT_NE(std::string::npos, texts[1].find("OpenPrinter failed with error 2: ")) << texts[1];
    EXPECT_GT(texts[1].size(), std::string("OpenPrinter failed with error 2: ").size()) << "system text expected";
    EXPECT_EQ(ErrorRecordText(L"DeletePrinter", 0), texts[2]);
    EXPECT_EQ(0u, texts[2].find("DeletePrinter succeed:  0: ")) << texts[2];
    EXPECT_EQ("plain", texts[3]);
}

TEST_F(LogTest, CodesWithoutTextOrWithInsertsStillGiveARecord)
{
    SetLastError(0x2000FFFF);  // no system text for this code
    WriteLog(L"Unknown", TRUE);
    std::vector<std::string> texts = LogTexts(1);
    ASSERT_EQ(1u, texts.size());
    EXPECT_EQ("Unknown failed with error 536936447: ", texts[0]);

    // A text with insert arguments is kept with its placeholders (none are supplied).
    LPWSTR pText = nullptr;
    DWORD withInserts = 0;
    for (DWORD code = 1; code < 16000 && !withInserts; ++code) {
        if (FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, code, 0x400, reinterpret_cast<LPWSTR>(&pText), 0, nullptr)) {
            if (wcsstr(pText, L"%1"))
                withInserts = code;
            LocalFree(pText);
        }
    }
    if (withInserts) {
        SetLastError(withInserts);
        WriteLog(L"Inserts", TRUE);
        texts = LogTexts(1);
        ASSERT_EQ(2u, texts.size());
        EXPECT_NE(std::string::npos, texts[1].find("%1")) << texts[1];
        EXPECT_EQ(ErrorRecordText(L"Inserts", withInserts), texts[1]);
    }
}

TEST_F(LogTest, FullFilesArePassedOverAndTheIndexOnlyGrows)
{
    MakeDirs(LogFolderPath());
    WriteFileBytes(LogFilePath(1), std::string(1048576, 'x'));
    WriteFileBytes(LogFilePath(2), std::string(1048575, 'y'));
    WriteLog(L"a", FALSE);
    EXPECT_EQ(1048576u, ReadFileBytes(LogFilePath(1)).size()) << "a full file receives nothing";
    std::string second = ReadFileBytes(LogFilePath(2));
    EXPECT_GT(second.size(), 1048576u) << "one byte below the limit still receives the whole record";
    EXPECT_EQ(2, g_nLogFileIndex);

    WriteLog(L"b", FALSE);  // Log(2) is now full
    EXPECT_EQ(3, g_nLogFileIndex);
    EXPECT_EQ(std::vector<std::string>{"b"}, LogTexts(3));

    // Later records start at Log(3): an emptied Log(1) is not looked at again in this run.
    DeleteFileW(LogFilePath(1).c_str());
    WriteLog(L"c", FALSE);
    EXPECT_FALSE(FileExists(LogFilePath(1)));
    EXPECT_EQ((std::vector<std::string>{"b", "c"}), LogTexts(3));
}

TEST_F(LogTest, ThreeRecordsThreeNuls)
{
    WriteLog(L"one", FALSE);
    WriteLog(L"two", FALSE);
    WriteLog(L"three", FALSE);
    std::string bytes = ReadFileBytes(LogFilePath(1));
    EXPECT_EQ(3, std::count(bytes.begin(), bytes.end(), '\0'));
    EXPECT_EQ((std::vector<std::string>{"one", "two", "three"}), LogTexts(1));
}

TEST_F(LogTest, FileHeldByAnotherWriterDelaysTheRecord)
{
    WriteLog(L"first", FALSE);
    HANDLE hHeld = CreateFileW(LogFilePath(1).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, hHeld);
    // Timed from before the releaser exists: the file is held at least 400 ms from here however
    // late this thread gets to its write (timed from the write, a late write read as no wait).
    ULONGLONG start = GetTickCount64();
    std::thread releaser([hHeld] {
        Sleep(400);
        CloseHandle(hHeld);
    });
    WriteLog(L"second", FALSE);
    ULONGLONG waited = GetTickCount64() - start;
    releaser.join();
    EXPECT_GE(waited, 300u) << "the record must wait for the other writer";
    EXPECT_EQ((std::vector<std::string>{"first", "second"}), LogTexts(1));
}

// Each pause lasts four times what it asks for, as on a busy machine.
void WINAPI SlowSleep(DWORD ms)
{
    SleepEx(ms * 4, FALSE);
}

TEST_F(LogTest, FileHeldForTooLongDropsTheRecordAfterTheBound)
{
    WriteLog(L"first", FALSE);
    HANDLE hHeld = CreateFileW(LogFilePath(1).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, hHeld);
    ULONGLONG start = GetTickCount64();
    {
        ScopedImportPatch slow("kernel32.dll", "Sleep", reinterpret_cast<void*>(&SlowSleep));
        WriteLog(L"second", FALSE);
    }
    ULONGLONG waited = GetTickCount64() - start;
    CloseHandle(hHeld);
    EXPECT_GE(waited, 4900u);
    EXPECT_LT(waited, 7000u) << "the bound of 5 s is kept in time, however long each pause takes";
    EXPECT_EQ(std::vector<std::string>{"first"}, LogTexts(1));
    EXPECT_FALSE(FileExists(LogFilePath(2))) << "a held file is not a full file";
}

TEST_F(LogTest, UnwritableFolderDoesNotHoldTheCallerUp)
{
    // A file in place of the log folder: the folder cannot be made, no log file can be opened.
    std::wstring folder = LogFolderPath();
    folder.pop_back();
    RemoveTree(folder);
    WriteFileBytes(folder, "not a folder");
    ULONGLONG start = GetTickCount64();
    WriteLog(L"lost", FALSE);
    SetLastError(5);
    WriteLog(L"lost too", TRUE);
    EXPECT_LT(GetTickCount64() - start, 4000u) << "dropped at once, not retried up to the 5 s bound";
    DeleteFileW(folder.c_str());
    WriteLog(L"kept", FALSE);
    EXPECT_EQ(std::vector<std::string>{"kept"}, LogTexts(1)) << "files that could not be opened were not passed over";
}

std::wstring g_fakeDocuments;
BOOL WINAPI FakeSpecialFolder(HWND, LPWSTR path, int csidl, BOOL)
{
    if (csidl != CSIDL_PERSONAL || g_fakeDocuments.size() >= MAX_PATH)
        return FALSE;
    wcscpy(path, g_fakeDocuments.c_str());
    return !g_fakeDocuments.empty();
}

TEST_F(LogTest, DocumentsPathTooLongOrUnknownWritesNowhere)
{
    ScopedImportPatch patch("shell32.dll", "SHGetSpecialFolderPathW", reinterpret_cast<void*>(&FakeSpecialFolder));
    // 245 characters + "\塔维打印机\" (7) = 252 fits the 256-character folder buffer; 250 + 7 does not.
    std::wstring base = L"C:\\logtest";
    CreateDirectoryW(base.c_str(), nullptr);
    std::wstring fits = base + L"\\" + std::wstring(245 - base.size() - 1, L'f');
    std::wstring tooLong = base + L"\\" + std::wstring(250 - base.size() - 1, L'g');
    CreateDirectoryW(fits.c_str(), nullptr);
    CreateDirectoryW(tooLong.c_str(), nullptr);

    g_fakeDocuments = fits;
    WriteLog(L"fits", FALSE);
    EXPECT_EQ(std::string("fits"), ReadFileBytes(fits + L"\\塔维打印机\\Log(1).txt").substr(0, 4));

    g_fakeDocuments = tooLong;
    WriteLog(L"too long", FALSE);
    EXPECT_FALSE(FileExists(tooLong + L"\\塔维打印机")) << "no log folder for a path that does not fit";

    g_fakeDocuments.clear();  // the look-up fails: nothing goes to "\塔维打印机\" of the current drive
    WriteLog(L"unknown", FALSE);
    EXPECT_FALSE(FileExists(L"\\塔维打印机"));
    RemoveTree(base);
}

TEST_F(LogTest, TwoThreadsWritingTogetherLoseNothing)
{
    auto writer = [](const wchar_t* prefix) {
        for (int i = 0; i < 50; ++i)
            WriteLog(prefix + std::to_wstring(i), FALSE);
    };
    std::thread a(writer, L"a");
    std::thread b(writer, L"b");
    a.join();
    b.join();
    std::vector<std::string> texts = LogTexts(1);
    EXPECT_EQ(100u, texts.size());
    for (const std::string& t : texts)
        EXPECT_NE(std::string::npos, std::string("ab").find(t[0])) << t;
}

// The elevated program writes in a folder the user owns: a link put in place of the log folder
// must not lead the record elsewhere. Under Wine only a Unix link can stand there (made by the
// host's sh, see tests/cleanup/links.sh), which Wine shows as a reparse point by name only; on
// Windows a junction also shows on the handle, which is checked as well.
TEST_F(LogTest, LinkedLogFolderWritesNothingThroughTheLink)
{
    const std::wstring folder = LogFolderPath();
    const std::wstring outside = L"C:\\tavrel-links\\outside\\";
    ASSERT_TRUE(PathExists(outside)) << "fixture scanner_links missing?";
    RemoveDirectoryW(folder.substr(0, folder.size() - 1).c_str());
    // Documents' path below drive_c, and the folder's name in UTF-8 (octal escapes: no Chinese
    // text has to pass through the command line).
    std::wstring documents = folder.substr(3, folder.size() - 3 - wcslen(L"塔维打印机\\"));
    std::replace(documents.begin(), documents.end(), L'\\', L'/');
    const std::wstring linkName = L"\\\"" + documents +
                                  L"$(printf '\\345\\241\\224\\347\\273\\264\\346\\211\\223\\345\\215\\260\\346\\234\\272')\\\"";
    ASSERT_TRUE(RunHostShell(L"ln -s \\\"$PWD/tavrel-links/outside\\\" " + linkName));
    const DWORD dwAttributes = GetFileAttributesW(folder.substr(0, folder.size() - 1).c_str());
    ASSERT_NE(INVALID_FILE_ATTRIBUTES, dwAttributes);
    ASSERT_NE(0u, dwAttributes & FILE_ATTRIBUTE_REPARSE_POINT) << "the link is in place";

    WriteLog(L"through the link?", FALSE);
    EXPECT_FALSE(PathExists(outside + L"Log(1).txt")) << "the record went through the link";
    EXPECT_TRUE(RunHostShell(L"rm " + linkName));
    WriteLog(L"after", FALSE);
    EXPECT_EQ(std::vector<std::string>{"after"}, LogTexts()) << "a plain folder gets its records again";
}

}  // namespace
