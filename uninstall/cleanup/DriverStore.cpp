#include "cleanup/DriverStore.h"

#include <shellapi.h>
#include <shlobj.h>

#include <climits>
#include <cwchar>
#include <new>
#include <string_view>

#include "cleanup/DirScanner.h"
#include "cleanup/SpecialFolder.h"

namespace {

const DWORD kGrantPauseMs = 2000;

// Letters a to z only: the INF text is compared without any locale's case rules.
void UpperCaseAscii(wchar_t* pText, size_t nLength)
{
    for (size_t i = 0; i < nLength; ++i) {
        if (pText[i] >= L'a' && pText[i] <= L'z')
            pText[i] = static_cast<wchar_t>(pText[i] - (L'a' - L'A'));
    }
}

}  // namespace

BOOL FileMentionsDriver(const std::wstring& path, const std::wstring& driverName)
{
    // The empty name occurs in every text; it must not make every INF a match.
    if (driverName.empty())
        return FALSE;

    DWORD dwLength = 0;
    BYTE* pBytes = CDirScanner::ReadWholeFile(path, dwLength);
    if (!pBytes)
        return FALSE;
    // The closing zero byte is converted too, so the text always ends in a zero character.
    if (dwLength >= static_cast<DWORD>(INT_MAX)) {
        delete[] pBytes;
        return FALSE;
    }
    const int nBytes = static_cast<int>(dwLength) + 1;
    const char* pAnsi = reinterpret_cast<const char*>(pBytes);
    int nChars = MultiByteToWideChar(CP_ACP, 0, pAnsi, nBytes, nullptr, 0);
    wchar_t* pText = nChars > 0 ? new (std::nothrow) wchar_t[nChars]() : nullptr;
    if (pText)
        nChars = MultiByteToWideChar(CP_ACP, 0, pAnsi, nBytes, pText, nChars);
    delete[] pBytes;
    if (!pText)
        return FALSE;

    // The text ends at its first zero character (in a UTF-16 file, within the first bytes).
    const size_t nText = wcsnlen(pText, static_cast<size_t>(nChars));
    UpperCaseAscii(pText, nText);
    std::wstring strName = driverName;
    UpperCaseAscii(&strName[0], strName.size());

    const std::wstring_view text(pText, nText);
    BOOL bFound = text.find(strName) != std::wstring_view::npos ? TRUE : FALSE;
    delete[] pText;
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
    const std::wstring strRepository = strWindows + L"\\System32\\DriverStore\\FileRepository\\";

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
        GrantFolderAccess(strFolder);
        Sleep(kGrantPauseMs);
        CDirScanner deleteScanner;
        result = deleteScanner.ScanDirectory(strFolder, ScanDelete, L"", TRUE);
    }
    return result;
}
