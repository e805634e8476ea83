#include "cleanup/DirScanner.h"

#include <winternl.h>

#include <memory>
#include <new>

#include "cleanup/LongPath.h"
#include "log/Log.h"

namespace {

// Bytes of one listing call: a few hundred entries, so that a folder costs few calls.
const size_t kListingBytes = 64 * 1024;

// A walk only starts from "X:\..." or "\\server\share\...": a relative or empty folder would
// be taken from the current directory, which nothing here may delete in.
bool IsAbsoluteFolder(const std::wstring& dir)
{
    if (dir.size() >= 3 && dir[1] == L':' && dir[2] == L'\\')
        return true;
    return dir.size() > 2 && dir.compare(0, 2, L"\\\\") == 0;
}

// Opens `strName` inside the folder that hFolder holds, never following a reparse point. The
// name is resolved from that folder itself, not from a path: whatever happens to the names
// above it, the object opened is an entry of the held folder.
HANDLE OpenInFolder(HANDLE hFolder, const std::wstring& strName, ACCESS_MASK access, ULONG nShare, ULONG nOptions)
{
    UNICODE_STRING name;
    name.Buffer = const_cast<PWSTR>(strName.c_str());
    name.Length = static_cast<USHORT>(strName.size() * sizeof(wchar_t));  // a file name has at most 255
    name.MaximumLength = name.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, hFolder, nullptr);
    IO_STATUS_BLOCK status = {};
    HANDLE hObject = nullptr;
    NTSTATUS nStatus = NtOpenFile(&hObject, access | SYNCHRONIZE, &attributes, &status, nShare,
                                  nOptions | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT);
    if (nStatus < 0) {  // an error or warning status: no handle
        SetLastError(RtlNtStatusToDosError(nStatus));
        return INVALID_HANDLE_VALUE;
    }
    return hObject;
}

// Whether a handle's attributes and tag show a reparse point that names another object: a
// junction, a mount point, a symbolic link (the name surrogates). Other reparse points are
// the file or folder itself, kept in another form by a filter: files compressed by Windows
// (WOF, "Compact OS"), deduplicated files, cloud placeholders. A reparse point without a tag
// is no such thing: it is not trusted either.
bool LeadsElsewhere(const FILE_ATTRIBUTE_TAG_INFO& tag)
{
    return (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
           (tag.ReparseTag == 0 || IsReparseTagNameSurrogate(tag.ReparseTag));
}

// FileInternalInformation (the file id of NtQueryInformationFile): not every SDK names it.
const FILE_INFORMATION_CLASS kFileInternalInformation = static_cast<FILE_INFORMATION_CLASS>(6);

// Whether a handle names the very object the listing showed: a plain folder or file (no
// reparse point) with the file id the listing gave. An entry renamed away and replaced between
// the listing and the open has another id; so has a link that a file system follows in spite
// of FILE_OPEN_REPARSE_POINT (Wine's Unix links). The volume need not be read again (under
// Wine that query costs as much as the walk itself): an open that crosses no reparse point
// stays on the volume of the folder it is made from.
bool IsListedObject(HANDLE hObject, const LARGE_INTEGER& fileId, bool bFolder)
{
    FILE_ATTRIBUTE_TAG_INFO tag;
    if (!GetFileInformationByHandleEx(hObject, FileAttributeTagInfo, &tag, sizeof(tag)))
        return false;
    LARGE_INTEGER id = {};
    IO_STATUS_BLOCK status = {};
    if (NtQueryInformationFile(hObject, &status, &id, sizeof(id), kFileInternalInformation) < 0)
        return false;
    const bool bIsFolder = (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return bIsFolder == bFolder && !LeadsElsewhere(tag) && id.QuadPart == fileId.QuadPart;
}

// Held folders are shared for reading and writing but not for deletion: while the walk works
// in one, neither it nor (since each level holds its own) any folder above it in the tree can
// be renamed, deleted or replaced. A folder the walk is to remove is opened with DELETE, and
// removed through this same handle.
const ULONG kHeldFolderShare = FILE_SHARE_READ | FILE_SHARE_WRITE;

ACCESS_MASK FolderAccess(bool bRemove)
{
    return FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE | (bRemove ? DELETE : 0);
}

// The extended disposition (Windows 10 1709 on); the headers name it for Windows 10 targets only.
const FILE_INFO_BY_HANDLE_CLASS kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
const DWORD kDispositionDelete = 0x1;          // FILE_DISPOSITION_FLAG_DELETE
const DWORD kDispositionPosixSemantics = 0x2;  // FILE_DISPOSITION_FLAG_POSIX_SEMANTICS

// Deletes a held folder or an opened file through its handle. With POSIX semantics the name
// goes at once, even while another process (a virus scanner, the indexer) still holds the
// file open with delete sharing; with the classic disposition it stays until that handle
// closes, and the removal of its folder right after fails with ERROR_DIR_NOT_EMPTY. The
// classic one serves where the system or the file system does not know the extended one
// (before Windows 10 1709, FAT, network shares, Wine). Either way a folder that is not empty
// is refused (ERROR_DIR_NOT_EMPTY), a read-only file too (ERROR_ACCESS_DENIED: the flag that
// would ignore the attribute is not given).
BOOL DeleteThrough(HANDLE hObject)
{
    struct {
        DWORD Flags;
    } posix = {kDispositionDelete | kDispositionPosixSemantics};
    if (SetFileInformationByHandle(hObject, kFileDispositionInfoEx, &posix, sizeof(posix)))
        return TRUE;
    const DWORD dwError = GetLastError();
    if (dwError != ERROR_INVALID_PARAMETER && dwError != ERROR_NOT_SUPPORTED && dwError != ERROR_INVALID_FUNCTION)
        return FALSE;
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return SetFileInformationByHandle(hObject, FileDispositionInfo, &disposition, sizeof(disposition));
}

// Deletes the file `strName` of the held folder if it is still the file the listing showed.
// Opened with backup intent, as folders are: where the caller has enabled the backup and
// restore privileges (the driver store's deletion), the file's ACL does not refuse it.
BOOL DeleteListedFile(HANDLE hFolder, const std::wstring& strName, const LARGE_INTEGER& fileId)
{
    HANDLE hFile = OpenInFolder(hFolder, strName, DELETE | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                FILE_NON_DIRECTORY_FILE | FILE_OPEN_FOR_BACKUP_INTENT);
    if (hFile == INVALID_HANDLE_VALUE)
        return FALSE;
    BOOL bDeleted = FALSE;
    if (IsListedObject(hFile, fileId, false))
        bDeleted = DeleteThrough(hFile);
    else
        SetLastError(ERROR_CANT_ACCESS_FILE);
    const DWORD dwError = GetLastError();
    CloseHandle(hFile);
    SetLastError(dwError);
    return bDeleted;
}

// A folder of the tree that the walk could not open or list, with the call that failed: logged;
// a failure of a deleting walk (its files may still be there), none of a walk that only looks.
BOOL UnreadFolder(const wchar_t* pCall, const std::wstring& dir, int mode)
{
    WriteLog(pCall + dir, TRUE);
    return mode == ScanDelete ? FALSE : TRUE;
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
    const bool bRemove = mode == ScanDelete && bRemoveDirs;

    // The given folder is opened by its path, as a plain folder (a directory is named without
    // its closing backslash in the extended form, which is taken literally).
    std::wstring strSystemPath = ExtendedLengthPath(dir);
    if (strSystemPath.size() > 3 && strSystemPath.back() == L'\\')
        strSystemPath.pop_back();
    HANDLE hFolder = CreateFileW(strSystemPath.c_str(), FolderAccess(bRemove), kHeldFolderShare, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    if (hFolder != INVALID_HANDLE_VALUE &&
        (!GetFileInformationByHandleEx(hFolder, FileAttributeTagInfo, &tag, sizeof(tag)) ||
         (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || !(tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY))) {
        CloseHandle(hFolder);
        hFolder = INVALID_HANDLE_VALUE;
        SetLastError(tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT ? ERROR_CANT_ACCESS_FILE : ERROR_DIRECTORY);
    }
    // A folder to be removed that cannot be opened is not removed. Otherwise one that is not there
    // holds nothing to find or delete; one that is there and cannot be opened may hold anything,
    // and a deleting walk that could not look in it has not done its work.
    if (hFolder == INVALID_HANDLE_VALUE) {
        const DWORD dwError = GetLastError();
        if (bRemove) {
            WriteLog(L"RemoveDirectory", TRUE);
            return FALSE;
        }
        if (dwError == ERROR_FILE_NOT_FOUND || dwError == ERROR_PATH_NOT_FOUND)
            return TRUE;
        return UnreadFolder(L"CreateFile", dir, mode);
    }
    BOOL result = WalkHeldFolder(hFolder, dir, mode, pattern, bRemoveDirs);
    CloseHandle(hFolder);  // a folder marked for removal goes now
    return result;
}

// The walk of one folder that hFolder holds (dir is its path, for the records and the
// collected list): the listing comes through the handle and every entry is opened from it.
BOOL CDirScanner::WalkHeldFolder(HANDLE hFolder, const std::wstring& dir, int mode, const std::wstring& pattern,
                                 BOOL bRemoveDirs)
{
    const bool bRemove = mode == ScanDelete && bRemoveDirs;
    BOOL result = TRUE;
    std::unique_ptr<LONGLONG[]> listing(new LONGLONG[kListingBytes / sizeof(LONGLONG)]);
    while (GetFileInformationByHandleEx(hFolder, FileIdBothDirectoryInfo, listing.get(),
                                        static_cast<DWORD>(kListingBytes))) {
        const BYTE* pNext = reinterpret_cast<const BYTE*>(listing.get());
        for (bool bMore = true; bMore;) {
            const auto* pEntry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(pNext);
            bMore = pEntry->NextEntryOffset != 0;
            pNext += pEntry->NextEntryOffset;
            const std::wstring strName(pEntry->FileName, pEntry->FileNameLength / sizeof(wchar_t));
            if (strName == L"." || strName == L"..")
                continue;
            // A junction, directory link or file link is neither followed nor removed:
            // following it would list or delete what lies outside the tree, and removing it is
            // not safe everywhere (Wine removes an empty target through a link). The folder
            // that holds it therefore stays, with its own "RemoveDirectory" record. Any other
            // reparse point (a compressed file, a placeholder) is what it looks like: a file is
            // deleted, a folder entered. The listing gives a reparse point's tag where it gives
            // the size of extended attributes (which a reparse point cannot have; FindFirstFile
            // hands it on as dwReserved0), so a link is passed over without a call onto it; a
            // listing without a tag tells nothing and is not trusted. The open that follows
            // checks the tag again on the entry's own handle.
            if ((pEntry->FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
                (pEntry->EaSize == 0 || IsReparseTagNameSurrogate(pEntry->EaSize)))
                continue;
            if (pEntry->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                HANDLE hSub = OpenInFolder(hFolder, strName, FolderAccess(bRemove), kHeldFolderShare,
                                           FILE_DIRECTORY_FILE | FILE_OPEN_FOR_BACKUP_INTENT);
                if (hSub != INVALID_HANDLE_VALUE && !IsListedObject(hSub, pEntry->FileId, true)) {
                    CloseHandle(hSub);  // replaced since the listing: not entered
                    hSub = INVALID_HANDLE_VALUE;
                    SetLastError(ERROR_CANT_ACCESS_FILE);
                }
                if (hSub == INVALID_HANDLE_VALUE) {
                    // Not entered, and so not removed either.
                    if (bRemove) {
                        WriteLog(L"RemoveDirectory", TRUE);
                        result = FALSE;
                    } else if (!UnreadFolder(L"NtOpenFile", dir + strName + L'\\', mode)) {
                        result = FALSE;
                    }
                    continue;
                }
                if (!WalkHeldFolder(hSub, dir + strName + L'\\', mode, pattern, bRemoveDirs))
                    result = FALSE;
                CloseHandle(hSub);
                continue;
            }
            const std::wstring strPath = dir + strName;
            if (!MatchesPattern(strPath, pattern))
                continue;
            if (mode == ScanCollect) {
                m_matchedFiles.push_back(strPath);
            } else if (m_keptNames.count(strName)) {
                if (mode == ScanPlan)
                    m_passedOverFiles.push_back(strPath);
            } else if (mode == ScanPlan) {
                m_matchedFiles.push_back(strPath);
            } else if (mode == ScanDelete && !DeleteListedFile(hFolder, strName, pEntry->FileId)) {
                WriteLog(L"DeleteFile" + strPath, TRUE);
                result = FALSE;
            }
        }
    }
    // The listing ends with ERROR_NO_MORE_FILES; any other end left entries unseen.
    if (GetLastError() != ERROR_NO_MORE_FILES && !UnreadFolder(L"GetFileInformationByHandleEx", dir, mode))
        result = FALSE;

    if (bRemove && !DeleteThrough(hFolder)) {
        WriteLog(L"RemoveDirectory", TRUE);
        result = FALSE;
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
    // Shared for reading: a virus scanner or the indexer reading an INF at the same moment must
    // not make it unreadable here (an OEM INF that cannot be read keeps its package). Sharing
    // reads only still keeps every writer out while it is read, as no sharing did.
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    HANDLE hFile = CreateFileW(ExtendedLengthPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, &inheritable,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
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
