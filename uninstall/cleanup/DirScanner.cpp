#include "cleanup/DirScanner.h"

#include <new>

#include "cleanup/LongPath.h"
#include "log/Log.h"

namespace {

// A walk only starts from "X:\..." or "\\server\share\...": a relative or empty folder would
// be taken from the current directory, which nothing here may delete in.
bool IsAbsoluteFolder(const std::wstring& dir)
{
    if (dir.size() >= 3 && dir[1] == L':' && dir[2] == L'\\')
        return true;
    return dir.size() > 2 && dir.compare(0, 2, L"\\\\") == 0;
}

BOOL RemoveFolder(const std::wstring& dir)
{
    std::wstring strSystemPath = ExtendedLengthPath(dir);
    // The extended form is taken literally; a directory is named without the closing backslash.
    if (strSystemPath.compare(0, 4, L"\\\\?\\") == 0 && strSystemPath.back() == L'\\')
        strSystemPath.pop_back();
    return RemoveDirectoryW(strSystemPath.c_str());
}

}  // namespace

bool FileNameLess::operator()(const std::wstring& a, const std::wstring& b) const
{
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_LESS_THAN;
}

BOOL CDirScanner::ScanDirectory(const std::wstring& dir, int mode, const std::wstring& pattern, BOOL bRemoveDirs)
{
    if (!IsAbsoluteFolder(dir))
        return mode == ScanDelete ? FALSE : TRUE;
    if (dir.back() != L'\\')
        return ScanDirectory(dir + L'\\', mode, pattern, bRemoveDirs);

    BOOL result = TRUE;
    WIN32_FIND_DATAW findData;
    HANDLE hFind = FindFirstFileW(ExtendedLengthPath(dir + L"*.*").c_str(), &findData);
    if (hFind != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring strName = findData.cFileName;
            if (strName == L"." || strName == L"..")
                continue;
            if (findData.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                // A junction or directory link is neither followed nor removed: following it
                // would list or delete what lies outside the tree, and removing it is not
                // safe everywhere (Wine's RemoveDirectoryW removes an empty target through a
                // link). The folder that holds it therefore stays, with its own
                // "RemoveDirectory" record.
                if (findData.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
                    continue;
                result = ScanDirectory(dir + strName + L'\\', mode, pattern, bRemoveDirs);
                continue;
            }
            const std::wstring strPath = dir + strName;
            if (!MatchesPattern(strPath, pattern))
                continue;
            if (mode == ScanCollect) {
                m_matchedFiles.push_back(strPath);
            } else if (mode == ScanDelete && !m_keptNames.count(strName)) {
                result = DeleteFileW(ExtendedLengthPath(strPath).c_str());
                if (!result)
                    WriteLog(L"DeleteFile" + strPath, TRUE);
            }
        } while (FindNextFileW(hFind, &findData));
        // Closed before the removal below, so the folder is not held open by its own listing.
        FindClose(hFind);
    }

    if (mode == ScanDelete && bRemoveDirs) {
        result = RemoveFolder(dir);
        if (!result)
            WriteLog(L"RemoveDirectory", TRUE);
    }
    return result;
}

BOOL CDirScanner::MatchesPattern(const std::wstring& path, const std::wstring& pattern)
{
    if (path.empty())
        return FALSE;
    if (pattern.empty())
        return TRUE;
    size_t nSlash = path.rfind(L'\\');
    if (nSlash == std::wstring::npos)
        return FALSE;
    return path.find(pattern, nSlash) != std::wstring::npos ? TRUE : FALSE;
}

HANDLE OpenFileForWholeRead(const std::wstring& path, DWORD& dwSize)
{
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    HANDLE hFile = CreateFileW(ExtendedLengthPath(path).c_str(), GENERIC_READ, 0, &inheritable, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        return INVALID_HANDLE_VALUE;
    DWORD dwHigh = 0;
    dwSize = GetFileSize(hFile, &dwHigh);
    if ((dwSize == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) || dwHigh != 0 || dwSize == 0xFFFFFFFF) {
        CloseHandle(hFile);
        return INVALID_HANDLE_VALUE;
    }
    return hFile;
}

BYTE* CDirScanner::ReadWholeFile(const std::wstring& path, DWORD& length)
{
    // A file too large, a failed read (a half-read file could give a wrong answer) and a
    // buffer that cannot be had all count as unreadable.
    DWORD dwSize = 0;
    HANDLE hFile = OpenFileForWholeRead(path, dwSize);
    if (hFile == INVALID_HANDLE_VALUE)
        return nullptr;
    BYTE* pBuffer = new (std::nothrow) BYTE[static_cast<size_t>(dwSize) + 1]();
    if (!pBuffer) {
        CloseHandle(hFile);
        return nullptr;
    }
    DWORD dwRead = 0;
    BOOL bRead = dwSize == 0 || ReadFile(hFile, pBuffer, dwSize, &dwRead, nullptr);
    CloseHandle(hFile);
    if (!bRead) {
        delete[] pBuffer;
        return nullptr;
    }
    length = dwSize;
    return pBuffer;
}
