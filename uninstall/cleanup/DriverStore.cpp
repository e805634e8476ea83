#include "cleanup/DriverStore.h"

#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <string_view>
#include <vector>

#include "cleanup/DirScanner.h"
#include "cleanup/SpecialFolder.h"
#include "log/Log.h"

namespace {

const DWORD kGrantPauseMs = 2000;

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
bool IsMakersPackage(const std::wstring& strInfFolder, const std::wstring& strInfPath)
{
    const std::wstring strPublished = strInfFolder + strInfPath.substr(strInfPath.rfind(L'\\') + 1);
    if (GetFileAttributesW(strPublished.c_str()) != INVALID_FILE_ATTRIBUTES)
        return false;
    if (GetLastError() == ERROR_FILE_NOT_FOUND)
        return true;
    WriteLog(L"GetFileAttributes" + strPublished, TRUE);
    return false;
}

}  // namespace

BOOL FileMentionsDriver(const std::wstring& path, const std::wstring& driverName)
{
    // The empty name occurs in every text; it must not make every INF a match.
    if (driverName.empty())
        return FALSE;
    std::wstring strName = driverName;
    UpperCaseAscii(&strName[0], strName.size());

    // The file is read as CDirScanner::ReadWholeFile reads it (the same open, the size taken
    // once, a short read ending the text, a file that cannot be read matching nothing), but
    // a piece at a time through small buffers instead of whole into a new one: the text and
    // the answer are the same, memory no longer grows with the file, and the content test
    // costs little more than reading the file (a fresh whole-file buffer per INF alone
    // doubled that under Wine).
    DWORD dwLeft = 0;
    HANDLE hFile = OpenFileForWholeRead(path, dwLeft);
    if (hFile == INVALID_HANDLE_VALUE)
        return FALSE;

    // Bytes are converted up to the last character boundary that every ANSI code page
    // agrees on (CharacterBoundaryBefore); the bytes after it wait for the next piece. The
    // text keeps its last name length - 1 characters in front of the next piece's, so that a
    // name across two pieces is found.
    std::vector<BYTE> bytes(kPieceBytes + 1);
    std::vector<wchar_t> text;
    size_t nHave = 0;
    const size_t nKeep = strName.size() - 1;
    size_t nKept = 0;
    BOOL bFound = FALSE;
    bool bTextEnded = false;
    while (!bFound && !bTextEnded) {
        const DWORD dwWant = dwLeft < kPieceBytes ? dwLeft : kPieceBytes;
        if (bytes.size() < nHave + dwWant + 1)
            bytes.resize(nHave + dwWant + 1);
        DWORD dwRead = 0;
        if (dwWant && !ReadFile(hFile, bytes.data() + nHave, dwWant, &dwRead, nullptr))
            break;
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
        if (nLength == SIZE_MAX)
            break;
        // The text ends at its first zero character (in a UTF-16 file, within the first bytes).
        const size_t nNew = wcsnlen(text.data() + nKept, nLength - nKept);
        if (nNew < nLength - nKept)
            bTextEnded = true;
        const std::wstring_view piece(text.data(), nKept + nNew);
        bFound = piece.find(strName) != std::wstring_view::npos ? TRUE : FALSE;

        const size_t nTail = piece.size() < nKeep ? piece.size() : nKeep;
        std::copy(piece.end() - nTail, piece.end(), text.begin());
        nKept = nTail;
        std::memmove(bytes.data(), bytes.data() + nEnd, nHave - nEnd);
        nHave -= nEnd;
    }
    CloseHandle(hFile);
    return bFound;
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
    const std::wstring strParameters =
        L"/c takeown /f " + strQuoted + L" && icacls " + strQuoted + L" /grant administrators:F ";
    ShellExecuteW(nullptr, L"open", L"cmd", strParameters.c_str(), nullptr, SW_HIDE);
}

BOOL CleanDriverStore(std::wstring driverName)
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
        if (!IsMakersPackage(strInfFolder, strPath))
            continue;
        GrantFolderAccess(strFolder);
        Sleep(kGrantPauseMs);
        CDirScanner deleteScanner;
        result = deleteScanner.ScanDirectory(strFolder, ScanDelete, L"", TRUE);
    }
    return result;
}
