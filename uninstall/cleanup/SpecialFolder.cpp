#include "cleanup/SpecialFolder.h"

#include <shlobj.h>

#include "log/Log.h"

BOOL GetSpecialFolder(int nCsidl, std::wstring& strFolder)
{
    wchar_t szFolder[MAX_PATH] = {};
    BOOL bFound = SHGetSpecialFolderPathW(nullptr, szFolder, nCsidl, FALSE);
    szFolder[MAX_PATH - 1] = L'\0';
    // Only an absolute answer ("C:\..." or "\\server\...") can anchor a deleting walk.
    bool bAbsolute =
        (szFolder[0] && szFolder[1] == L':' && szFolder[2] == L'\\') || (szFolder[0] == L'\\' && szFolder[1] == L'\\');
    if (!bFound || !bAbsolute) {
        WriteLog(L"SHGetSpecialFolderPath", TRUE);
        strFolder.clear();
        return FALSE;
    }
    strFolder = szFolder;
    return TRUE;
}
