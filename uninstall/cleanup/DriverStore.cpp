#include "cleanup/DriverStore.h"

#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <functional>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "cleanup/DirScanner.h"
#include "cleanup/OtherDrivers.h"
#include "cleanup/SpecialFolder.h"
#include "log/Log.h"

namespace {

const DWORD kGrantPauseMs = 2000;
// takeown and icacls take well under a second on a package folder; a virus scanner or a slow
// disk may make it more, but a hung command must not hold the removal for ever.
const DWORD kGrantWaitMs = 30000;

// Bytes read and converted at a time: large enough that the calls cost nothing, small
// enough to stay in the cache.
const DWORD kPieceBytes = 64 * 1024;

// Letters a to z only: the INF text is compared without any locale's case rules.
inline wchar_t UpperAscii(unsigned c)
{
    return static_cast<wchar_t>(c - (c - L'a' <= static_cast<unsigned>(L'z' - L'a') ? L'a' - L'A' : 0));
}

void UpperCaseAscii(wchar_t* pText, size_t nLength)
{
    for (size_t i = 0; i < nLength; ++i)
        pText[i] = UpperAscii(pText[i]);
}

// The last position in (0, nBytes] that is a character boundary whatever the ANSI code
// page, given that position 0 is one: the two bytes before it are below 0x80, so neither
// is a lead byte (single-byte, double-byte and UTF-8 code pages alike) and the second is a
// character of its own. 0 when there is none.
size_t CharacterBoundaryBefore(const BYTE* pBytes, size_t nBytes)
{
    for (size_t n = nBytes; n >= 2; --n) {
        if (pBytes[n - 1] < 0x80 && pBytes[n - 2] < 0x80)
            return n;
    }
    return 0;
}

// Converts nBytes bytes in the system's ANSI code page, from one character boundary to
// another, to UTF-16 with a to z upper-cased, written into `text` from nAt on (it grows as
// needed and never shrinks). Returns the end of the text in `text`, or SIZE_MAX when a
// conversion fails. Every ANSI code page reads a byte below 0x80 that stands at a boundary
// as that same character, so such runs (nearly all of an INF) are widened here, and only
// the stretches between them go to MultiByteToWideChar, each cut at a boundary again: the
// text is the one a single conversion of all the bytes gives.
size_t AnsiToUpperText(const BYTE* pBytes, size_t nBytes, std::vector<wchar_t>& text, size_t nAt)
{
    // No code page makes more UTF-16 units than it has bytes.
    if (text.size() < nAt + nBytes)
        text.resize(nAt + nBytes);
    size_t nOut = nAt;
    size_t n = 0;
    while (n < nBytes) {
        size_t nRun = n;
        for (unsigned long long word = 0; nRun + 8 <= nBytes; nRun += 8) {
            std::memcpy(&word, pBytes + nRun, 8);
            if (word & 0x8080808080808080ull)
                break;
        }
        while (nRun < nBytes && pBytes[nRun] < 0x80)
            ++nRun;
        wchar_t* pOut = text.data() + nOut;
        for (size_t i = n; i < nRun; ++i)
            pOut[i - n] = UpperAscii(pBytes[i]);
        nOut += nRun - n;
        if (nRun == nBytes)
            break;

        // A stretch from a byte of 0x80 or more up to the next boundary (or the end).
        size_t nStretchEnd = nRun + 2;
        while (nStretchEnd < nBytes && !(pBytes[nStretchEnd - 1] < 0x80 && pBytes[nStretchEnd - 2] < 0x80))
            ++nStretchEnd;
        if (nStretchEnd > nBytes)
            nStretchEnd = nBytes;
        if (nStretchEnd - nRun > static_cast<size_t>(INT_MAX))
            return SIZE_MAX;
        const int nStretch = static_cast<int>(nStretchEnd - nRun);
        const char* pAnsi = reinterpret_cast<const char*>(pBytes + nRun);
        int nChars = MultiByteToWideChar(CP_ACP, 0, pAnsi, nStretch, text.data() + nOut, nStretch);
        if (nChars == 0 && GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
            nChars = MultiByteToWideChar(CP_ACP, 0, pAnsi, nStretch, nullptr, 0);
            if (nChars > 0) {
                text.resize(nOut + static_cast<size_t>(nChars) + (nBytes - nStretchEnd));
                nChars = MultiByteToWideChar(CP_ACP, 0, pAnsi, nStretch, text.data() + nOut, nChars);
            }
        }
        if (nChars <= 0)
            return SIZE_MAX;
        UpperCaseAscii(text.data() + nOut, static_cast<size_t>(nChars));
        nOut += static_cast<size_t>(nChars);
        n = nStretchEnd;
    }
    return nOut;
}

// A needle of ASCII characters other than '?' (which a code page gives for bytes it cannot
// convert) can stand in the text only where its bytes stand in the file, a to z folded:
// every such character of the text is that same byte there. So a file whose bytes hold none
// of the needles is ruled out before any conversion; most INFs are. The bytes are searched
// for all needles at once with Horspool's skips, taken over the needles' first nWindow bytes
// (the shortest needle's length).
struct ByteNeedles {
    std::vector<std::string> needles;  // upper-cased
    size_t nWindow = 0;
    size_t nSkip[256];
    std::vector<size_t> endingWith[256];  // the needles whose window ends with the byte
};

inline BYTE FoldByte(BYTE b)
{
    return static_cast<BYTE>(b - (static_cast<BYTE>(b - 'a') < 26 ? 'a' - 'A' : 0));
}

bool MakeByteNeedles(const std::vector<std::wstring>& needles, ByteNeedles& bytes)
{
    for (const std::wstring& strNeedle : needles) {
        if (strNeedle.empty())
            return false;
        std::string strBytes;
        for (wchar_t c : strNeedle) {
            if (c == 0 || c >= 0x80 || c == L'?')
                return false;
            strBytes += static_cast<char>(FoldByte(static_cast<BYTE>(c)));
        }
        bytes.nWindow = bytes.needles.empty() ? strBytes.size() : std::min(bytes.nWindow, strBytes.size());
        bytes.needles.push_back(strBytes);
    }
    std::fill(std::begin(bytes.nSkip), std::end(bytes.nSkip), bytes.nWindow);
    for (size_t n = 0; n < bytes.needles.size(); ++n) {
        const std::string& strNeedle = bytes.needles[n];
        for (size_t i = 0; i + 1 < bytes.nWindow; ++i) {
            size_t& nSkip = bytes.nSkip[static_cast<BYTE>(strNeedle[i])];
            nSkip = std::min(nSkip, bytes.nWindow - 1 - i);
        }
        bytes.endingWith[static_cast<BYTE>(strNeedle[bytes.nWindow - 1])].push_back(n);
    }
    return !bytes.needles.empty();
}

// Whether one of the needles starts in pBytes and ends within nBytes.
bool BytesHold(const BYTE* pBytes, size_t nBytes, const ByteNeedles& needles)
{
    for (size_t nAt = 0; nAt + needles.nWindow <= nBytes;) {
        const BYTE last = FoldByte(pBytes[nAt + needles.nWindow - 1]);
        for (size_t n : needles.endingWith[last]) {
            const std::string& strNeedle = needles.needles[n];
            size_t k = 0;
            while (k < strNeedle.size() && nAt + k < nBytes &&
                   FoldByte(pBytes[nAt + k]) == static_cast<BYTE>(strNeedle[k]))
                ++k;
            if (k == strNeedle.size())
                return true;
        }
        nAt += needles.nSkip[last];
    }
    return false;
}

// Whether the file's bytes, read from its start in pieces, may hold one of the needles; a read
// that fails answers yes and leaves the answer to the conversion.
bool FileBytesMayHold(HANDLE hFile, DWORD dwSize, const ByteNeedles& needles, std::vector<BYTE>& bytes)
{
    size_t nKeep = 0;
    for (const std::string& strNeedle : needles.needles)
        nKeep = std::max(nKeep, strNeedle.size() - 1);
    size_t nHave = 0;
    for (DWORD dwLeft = dwSize;;) {
        const DWORD dwWant = dwLeft < kPieceBytes ? dwLeft : kPieceBytes;
        if (bytes.size() < nHave + dwWant)
            bytes.resize(nHave + dwWant);
        DWORD dwRead = 0;
        if (dwWant && !ReadFile(hFile, bytes.data() + nHave, dwWant, &dwRead, nullptr))
            return true;
        nHave += dwRead;
        if (BytesHold(bytes.data(), nHave, needles))
            return true;
        dwLeft = dwRead < dwWant ? 0 : dwLeft - dwWant;
        if (dwLeft == 0)
            return false;
        const size_t nTail = nHave < nKeep ? nHave : nKeep;
        std::memmove(bytes.data(), bytes.data() + nHave - nTail, nTail);
        nHave = nTail;
    }
}

// The system folder through which the driver store is reached. A 32-bit process on 64-bit
// Windows walks it through the Sysnative alias, which names the native system folder from
// Vista on: Vista redirects System32\DriverStore to SysWOW64, where no package lies, and only
// Windows 7 and later exempt it, so the alias is the one path that is right on every version.
const wchar_t* DriverStoreSystemFolder()
{
    BOOL bWow64 = FALSE;
    if (!IsWow64Process(GetCurrentProcess(), &bWow64) || !bWow64)
        return L"\\System32";
    return L"\\Sysnative";
}

// Windows keeps the INF of each of its own (inbox) packages in the INF folder under the INF's
// own name (ntprint.inf, prnms001.inf, ...), while a maker's INF is published there as
// oem<N>.inf. Only a package whose INF name is proven absent from the INF folder is a
// maker's; one whose name is there is Windows' own, and one that cannot be checked (the INF
// folder missing or unreadable) is not proven to be a maker's: both stay, the latter with a
// record of the failed check.
bool IsMakersPackage(const std::wstring& strInfFolder, const std::wstring& strInfPath, Decision& keep)
{
    const std::wstring strPublished = strInfFolder + strInfPath.substr(strInfPath.rfind(L'\\') + 1);
    if (GetFileAttributesW(strPublished.c_str()) != INVALID_FILE_ATTRIBUTES) {
        keep = {false, L"windows-package", strPublished};
        return false;
    }
    if (GetLastError() == ERROR_FILE_NOT_FOUND)
        return true;
    WriteLog(L"GetFileAttributes" + strPublished, TRUE);
    keep = {false, L"inf-folder-unreadable", strPublished};
    return false;
}

// Whether the file's text contains one of `needles` (each non-empty, a to z upper-cased). The
// text: the file's bytes converted from the system's ANSI code page up to the first zero
// character, a to z upper-cased.
// `pnFound` learns which needle was found first; `pdwUnread` the error where the file could not
// be opened or read whole (nothing is found then), and stays ERROR_SUCCESS otherwise.
BOOL FileTextContains(const std::wstring& path, const std::vector<std::wstring>& needles, size_t* pnFound = nullptr,
                      DWORD* pdwUnread = nullptr)
{
    DWORD dwUnreadStandIn = ERROR_SUCCESS;
    DWORD& dwUnread = pdwUnread ? *pdwUnread : dwUnreadStandIn;
    dwUnread = ERROR_SUCCESS;
    // The file is read as CDirScanner::ReadWholeFile reads it (the same open, the size taken
    // once, a short read ending the text, a file that cannot be read matching nothing), but
    // a piece at a time through small buffers instead of whole into a new one: the text and
    // the answer are the same, memory no longer grows with the file, and the content test
    // costs little more than reading the file (a fresh whole-file buffer per INF alone
    // doubled that under Wine).
    DWORD dwLeft = 0;
    HANDLE hFile = OpenFileForWholeRead(path, dwLeft);
    if (hFile == INVALID_HANDLE_VALUE) {
        dwUnread = GetLastError();
        return FALSE;
    }
    // Most files are ruled out by their bytes alone; the others are read again from the start.
    std::vector<BYTE> bytes(kPieceBytes + 1);
    ByteNeedles byteNeedles;
    if (MakeByteNeedles(needles, byteNeedles) && !FileBytesMayHold(hFile, dwLeft, byteNeedles, bytes)) {
        CloseHandle(hFile);
        return FALSE;
    }
    if (SetFilePointer(hFile, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER) {
        dwUnread = GetLastError();
        CloseHandle(hFile);
        return FALSE;
    }

    // Bytes are converted up to the last character boundary that every ANSI code page
    // agrees on (CharacterBoundaryBefore); the bytes after it wait for the next piece. The
    // text keeps the last characters of a piece (one fewer than the longest needle) in front
    // of the next piece's, so that a needle across two pieces is found.
    std::vector<wchar_t> text;
    size_t nHave = 0;
    size_t nKeep = 0;
    for (const std::wstring& strNeedle : needles)
        nKeep = std::max(nKeep, strNeedle.size() - 1);
    size_t nKept = 0;
    BOOL bFound = FALSE;
    bool bTextEnded = false;
    while (!bFound && !bTextEnded) {
        const DWORD dwWant = dwLeft < kPieceBytes ? dwLeft : kPieceBytes;
        if (bytes.size() < nHave + dwWant + 1)
            bytes.resize(nHave + dwWant + 1);
        DWORD dwRead = 0;
        if (dwWant && !ReadFile(hFile, bytes.data() + nHave, dwWant, &dwRead, nullptr)) {
            dwUnread = GetLastError();
            break;
        }
        nHave += dwRead;
        // After the last byte, or after a short read, comes the zero that ends the text.
        dwLeft = dwRead < dwWant ? 0 : dwLeft - dwWant;
        size_t nEnd = 0;
        if (dwLeft == 0) {
            bytes[nHave++] = 0;
            nEnd = nHave;
            bTextEnded = true;
        } else {
            nEnd = CharacterBoundaryBefore(bytes.data(), nHave);
            if (nEnd == 0)
                continue;  // not one boundary yet: read on
        }

        const size_t nLength = AnsiToUpperText(bytes.data(), nEnd, text, nKept);
        if (nLength == SIZE_MAX) {
            dwUnread = GetLastError() ? GetLastError() : ERROR_NO_UNICODE_TRANSLATION;
            break;
        }
        // The text ends at its first zero character (in a UTF-16 file, within the first bytes).
        const size_t nNew = wcsnlen(text.data() + nKept, nLength - nKept);
        if (nNew < nLength - nKept)
            bTextEnded = true;
        const std::wstring_view piece(text.data(), nKept + nNew);
        for (size_t n = 0; n < needles.size() && !bFound; ++n) {
            bFound = piece.find(needles[n]) != std::wstring_view::npos;
            if (bFound && pnFound)
                *pnFound = n;
        }

        const size_t nTail = piece.size() < nKeep ? piece.size() : nKeep;
        std::copy(piece.end() - nTail, piece.end(), text.begin());
        nKept = nTail;
        std::memmove(bytes.data(), bytes.data() + nEnd, nHave - nEnd);
        nHave -= nEnd;
    }
    CloseHandle(hFile);
    return bFound;
}

// The takeover reaches the package folder only: the files and sub-folders inside keep ACLs that
// may give an elevated administrator no right to delete them (read and execute, as Windows
// gives the store's files). With SeBackupPrivilege and SeRestorePrivilege enabled, the walk's
// opens with backup intent are granted listing and deletion whatever the ACL, as SYSTEM's are;
// they are enabled for the store's deletion walk alone, and put back as they were after it. A
// token without them (not an administrator's) changes nothing: the walk goes on, and what the
// ACLs refuse is logged by it. FALSE, logged, when the token cannot be adjusted.
bool EnableBackupPrivileges(HANDLE& hToken, std::vector<BYTE>& previous)
{
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &hToken)) {
        WriteLog(L"OpenProcessToken", TRUE);
        return false;
    }
    std::vector<BYTE> wanted(sizeof(TOKEN_PRIVILEGES) + sizeof(LUID_AND_ATTRIBUTES));
    auto* pWanted = reinterpret_cast<TOKEN_PRIVILEGES*>(wanted.data());
    pWanted->PrivilegeCount = 2;
    const wchar_t* const names[] = {SE_BACKUP_NAME, SE_RESTORE_NAME};
    bool bLooked = true;
    for (DWORD i = 0; i < 2; ++i) {
        bLooked = bLooked && LookupPrivilegeValueW(nullptr, names[i], &pWanted->Privileges[i].Luid);
        pWanted->Privileges[i].Attributes = SE_PRIVILEGE_ENABLED;
    }
    // The previous state lists the privileges this call changed, and only those.
    previous.assign(wanted.size(), 0);
    DWORD cbPrevious = 0;
    if (!bLooked || !AdjustTokenPrivileges(hToken, FALSE, pWanted, static_cast<DWORD>(previous.size()),
                                           reinterpret_cast<TOKEN_PRIVILEGES*>(previous.data()), &cbPrevious)) {
        WriteLog(L"AdjustTokenPrivileges", TRUE);
        CloseHandle(hToken);
        return false;
    }
    return true;
}

void RestorePrivileges(HANDLE hToken, std::vector<BYTE>& previous)
{
    if (!AdjustTokenPrivileges(hToken, FALSE, reinterpret_cast<TOKEN_PRIVILEGES*>(previous.data()), 0, nullptr,
                               nullptr))
        WriteLog(L"AdjustTokenPrivileges", TRUE);
    CloseHandle(hToken);
}

// Whether the package INF may be the one an OEM INF left unsettled was published from. Windows
// publishes a package's INF as oem<N>.inf by copying it, so the copy has the same bytes. An
// unsettled OEM INF that can no longer be read (pnputil at work may have removed it) could be
// any package's: then every package is kept.
bool PublishedAsUnsettledOemInf(const std::wstring& strStoreInf, const std::vector<std::wstring>& unsettledOemInfs,
                                std::wstring& strOemInf)
{
    if (unsettledOemInfs.empty())
        return false;
    DWORD nStore = 0;
    BYTE* pStore = CDirScanner::ReadWholeFile(strStoreInf, nStore);
    bool bSame = !pStore;
    for (size_t i = 0; i < unsettledOemInfs.size() && !bSame; ++i) {
        DWORD nOem = 0;
        BYTE* pOem = CDirScanner::ReadWholeFile(unsettledOemInfs[i], nOem);
        bSame = !pOem || (nOem == nStore && std::memcmp(pOem, pStore, nStore) == 0);
        if (bSame)
            strOemInf = unsettledOemInfs[i];
        delete[] pOem;
    }
    delete[] pStore;
    return bSame;
}

// Whether the package of a store INF that mentions the driver goes, and which rule says so.
Decision DecidePackage(const std::wstring& strInfPath, const std::wstring& driverName, const std::wstring& strInfFolder,
                       const OtherDrivers& others, const std::vector<std::wstring>& unsettledOemInfs)
{
    Decision keep;
    if (!IsMakersPackage(strInfFolder, strInfPath, keep))
        return keep;
    // Another installed driver still comes from the package: its INF path lies there, or the INF
    // names that driver's model too (one INF lists many models).
    if (AnotherDriverComesFromPackage(others, GetFolderFromPath(strInfPath), &keep.strBecause)) {
        keep.pRule = L"package-of-another-driver";
        return keep;
    }
    if (FileNamesAnotherDriver(strInfPath, driverName, others.names, &keep.strBecause)) {
        keep.pRule = L"names-another-driver";
        return keep;
    }
    // One decision per package: the one the OEM INF clean-up could not make stays made.
    if (PublishedAsUnsettledOemInf(strInfPath, unsettledOemInfs, keep.strBecause)) {
        keep.pRule = L"oem-inf-kept";
        return keep;
    }
    return {true, L"mentions-driver", L""};
}

// Finds the packages whose INF mentions the driver, decides each, and hands each package
// folder with its decision to `onDecided`, which acts on it or records it. FALSE when the
// Windows folder is unknown or `onDecided` answered FALSE for any package.
BOOL DecideStorePackages(std::wstring driverName, const OtherDrivers& others,
                         const std::vector<std::wstring>& unsettledOemInfs,
                         const std::function<BOOL(const std::wstring&, const Decision&)>& onDecided)
{
    if (driverName.empty())
        return TRUE;
    UpperCaseAscii(&driverName[0], driverName.size());

    std::wstring strWindows;
    if (!GetSpecialFolder(CSIDL_WINDOWS, strWindows))
        return FALSE;
    const std::wstring strRepository = strWindows + DriverStoreSystemFolder() + L"\\DriverStore\\FileRepository\\";
    const std::wstring strInfFolder = strWindows + L"\\inf\\";

    CDirScanner listScanner;
    listScanner.ScanDirectory(strRepository, ScanCollect, L".inf", TRUE);

    BOOL result = TRUE;
    for (const std::wstring& strPath : listScanner.m_matchedFiles) {
        if (!FileMentionsDriver(strPath, driverName))
            continue;
        const std::wstring strFolder = GetFolderFromPath(strPath);
        // An INF lying loose in the repository would make the whole repository, with every
        // other driver's package, the folder to take over and delete: it is passed over.
        if (strFolder.size() <= strRepository.size())
            continue;
        if (!onDecided(strFolder, DecidePackage(strPath, driverName, strInfFolder, others, unsettledOemInfs)))
            result = FALSE;
    }
    return result;
}

// Takes the package folder over and deletes it. FALSE when it could not be deleted whole.
BOOL TakeOverAndDelete(const std::wstring& strFolder)
{
    GrantFolderAccess(strFolder);
    Sleep(kGrantPauseMs);
    CDirScanner deleteScanner;
    HANDLE hToken = nullptr;
    std::vector<BYTE> previous;
    const bool bBackup = EnableBackupPrivileges(hToken, previous);
    const BOOL bDeleted = deleteScanner.ScanDirectory(strFolder, ScanDelete, L"", TRUE);
    if (bBackup)
        RestorePrivileges(hToken, previous);
    return bDeleted;
}

}  // namespace

BOOL FileMentionsDriver(const std::wstring& path, const std::wstring& driverName, DWORD* pdwUnread)
{
    if (pdwUnread)
        *pdwUnread = ERROR_SUCCESS;
    // The empty name occurs in every text; it must not make every INF a match.
    if (driverName.empty())
        return FALSE;
    std::wstring strName = driverName;
    UpperCaseAscii(&strName[0], strName.size());
    return FileTextContains(path, {strName}, nullptr, pdwUnread);
}

// INFs give each model's name in double quotes, in a models section or under [Strings]. A
// name counts only complete and quoted: "ABC 100 Plus" does not name ABC 100. Compared as
// FileMentionsDriver compares: the text as it reads it, a to z without regard to case, every
// other character as it is.
BOOL FileNamesAnotherDriver(const std::wstring& path, const std::wstring& driverName,
                            const std::vector<std::wstring>& otherNames, std::wstring* pStrNamed)
{
    std::wstring strOwn = driverName;
    UpperCaseAscii(&strOwn[0], strOwn.size());
    std::vector<std::wstring> needles;
    std::vector<const std::wstring*> named;  // the name behind each needle
    for (const std::wstring& strOther : otherNames) {
        std::wstring strName = strOther;
        // &strName[0] of an empty string is its terminating zero (defined since C++11), and no
        // character is touched: cppcheck takes the emptiness test below for a bound.
        // cppcheck-suppress containerOutOfBounds
        UpperCaseAscii(&strName[0], strName.size());
        // The removed driver's twin of another environment bears its name: only its INF path
        // can tell its package.
        if (!strName.empty() && strName != strOwn) {
            needles.push_back(L"\"" + strName + L"\"");
            named.push_back(&strOther);
        }
    }
    size_t nFound = 0;
    if (needles.empty() || !FileTextContains(path, needles, &nFound))
        return FALSE;
    if (pStrNamed)
        *pStrNamed = *named[nFound];
    return TRUE;
}

std::wstring GetFolderFromPath(const std::wstring& path)
{
    size_t nSlash = path.rfind(L'\\');
    if (nSlash == std::wstring::npos)
        return std::wstring();
    return path.substr(0, nSlash + 1);
}

void GrantFolderAccess(const std::wstring& folder)
{
    // cmd expands %NAME% even inside quotes, and !NAME! where delayed expansion is switched
    // on in the registry; no escape works for both. A folder holding either is not handed
    // to cmd at all: its deletion is tried all the same, and what cannot be deleted without
    // the take-over is logged by the walk.
    if (folder.find_first_of(L"%!") != std::wstring::npos)
        return;
    // Quoted, so that a blank does not split the argument and & | < > ^ ( ) stay literal
    // ('"' cannot occur in a file name). The closing backslash is dropped: takeown and
    // icacls would read \" as an escaped quote.
    std::wstring strQuoted = folder;
    if (!strQuoted.empty() && strQuoted.back() == L'\\')
        strQuoted.pop_back();
    strQuoted = L"\"" + strQuoted + L"\"";
    // By their full paths, in the system folder: a bare "cmd" is looked for beside this
    // program first, and cmd looks for a bare takeown or icacls in its current folder first,
    // where a download folder may hold anything. (A 32-bit process gets SysWOW64's programs.)
    std::wstring strSystem;
    if (!GetSpecialFolder(CSIDL_SYSTEM, strSystem))
        return;
    // /d: cmd would first run the AutoRun commands of the user's and the machine's registry,
    // which any program of the user can write and which would run elevated here. /s: the
    // outer quotes are the ones removed, whatever the line holds. The administrators group is
    // named by its well-known SID, which every language of Windows knows; its name is
    // translated on many (Administratoren, Administrateurs, ...).
    const std::wstring strParameters = L"/d /s /c \"\"" + strSystem + L"\\takeown.exe\" /f " + strQuoted + L" && \"" +
                                       strSystem + L"\\icacls.exe\" " + strQuoted + L" /grant *S-1-5-32-544:F \"";
    const std::wstring strCmd = strSystem + L"\\cmd.exe";
    // ShellExecute may hand the start to shell extensions that are COM objects; Microsoft asks
    // for COM on the calling thread first, in a single-threaded apartment. A thread that
    // already has COM (of either kind) keeps it, and only a successful call is undone.
    const HRESULT hrCom = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    // The deletion must not begin while takeown and icacls still work on the folder: cmd is
    // started so that it can be waited for (its process handle, the start finished before the
    // call returns), and waited for, bounded. A wait that runs out is logged and the deletion
    // goes ahead.
    SHELLEXECUTEINFOW execute = {};
    execute.cbSize = sizeof(execute);
    execute.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    execute.lpVerb = L"open";
    execute.lpFile = strCmd.c_str();
    execute.lpParameters = strParameters.c_str();
    execute.lpDirectory = strSystem.c_str();
    execute.nShow = SW_HIDE;
    if (ShellExecuteExW(&execute) && execute.hProcess) {
        if (WaitForSingleObject(execute.hProcess, kGrantWaitMs) != WAIT_OBJECT_0) {
            SetLastError(WAIT_TIMEOUT);
            WriteLog(L"cmd " + folder, TRUE);
        }
        CloseHandle(execute.hProcess);
    }
    if (SUCCEEDED(hrCom))
        CoUninitialize();
}

BOOL CleanDriverStore(const std::wstring& driverName, const OtherDrivers& others,
                      const std::vector<std::wstring>& unsettledOemInfs)
{
    return DecideStorePackages(driverName, others, unsettledOemInfs,
                               [](const std::wstring& strFolder, const Decision& decision) {
                                   return decision.bRemove ? TakeOverAndDelete(strFolder) : TRUE;
                               });
}

BOOL PlanDriverStore(const std::wstring& driverName, const OtherDrivers& others,
                     const std::vector<std::wstring>& unsettledOemInfs, RemovalPlan& plan)
{
    return DecideStorePackages(driverName, others, unsettledOemInfs,
                               [&plan](const std::wstring& strFolder, const Decision& decision) -> BOOL {
                                   AddToPlan(plan, L"package", strFolder, decision);
                                   return TRUE;
                               });
}
