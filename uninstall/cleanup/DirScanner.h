#pragma once
#include <windows.h>
#include <set>
#include <string>
#include <vector>

// Bare file names, ordered and compared as Windows compares file names: without regard to case.
struct FileNameLess {
    bool operator()(const std::wstring& a, const std::wstring& b) const;
};
typedef std::set<std::wstring, FileNameLess> FileNameSet;

// ScanPlan walks as ScanDelete does and deletes nothing: what ScanDelete would delete goes to
// m_matchedFiles, what it would pass over for m_keptNames to m_passedOverFiles. A plan of a
// removal is made by the very walk that makes the removal.
enum ScanMode { ScanCollect = 0, ScanDelete = 1, ScanPlan = 2 };

class CDirScanner {
public:
    std::vector<std::wstring> m_matchedFiles;
    // Files of these bare names are never deleted, whatever the pattern: they belong to others.
    // Passing one over is no failure.
    FileNameSet m_keptNames;
    std::vector<std::wstring> m_passedOverFiles;  // ScanPlan: matched, but of a kept name

    // ScanDelete: FALSE when any deletion or folder removal of the walk failed, or a folder of the
    // tree could not be opened or listed (each is logged), however many succeeded after it. A
    // folder that does not exist holds nothing: no failure, unless it was to be removed.
    // ScanCollect and ScanPlan: always TRUE; a folder they cannot open or list is logged and passed.
    BOOL ScanDirectory(const std::wstring& dir, int mode, const std::wstring& pattern, BOOL bRemoveDirs);
    static BOOL MatchesPattern(const std::wstring& path, const std::wstring& pattern);
    // Whole file plus one zero byte; the caller frees it with delete[]. Null when it cannot be opened.
    static BYTE* ReadWholeFile(const std::wstring& path, DWORD& length);

private:
    BOOL WalkHeldFolder(HANDLE hFolder, const std::wstring& dir, int mode, const std::wstring& pattern,
                        BOOL bRemoveDirs);
};

// Opens a file as ReadWholeFile reads it (shared for reading only, an inheritable handle) and gives its
// size. INVALID_HANDLE_VALUE when it cannot be opened or sized, or is 4 GiB - 1 or larger:
// such a file is no INF and its length + 1 would not fit.
HANDLE OpenFileForWholeRead(const std::wstring& path, DWORD& dwSize);
