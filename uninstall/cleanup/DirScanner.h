#pragma once
#include <windows.h>
#include <string>
#include <vector>

enum ScanMode { ScanCollect = 0, ScanDelete = 1 };

class CDirScanner {
public:
    std::vector<std::wstring> m_matchedFiles;

    BOOL ScanDirectory(const std::wstring& dir, int mode, const std::wstring& pattern, BOOL bRemoveDirs);
    static BOOL MatchesPattern(const std::wstring& path, const std::wstring& pattern);
    // Whole file plus one zero byte; the caller frees it with delete[]. Null when it cannot be opened.
    static BYTE* ReadWholeFile(const std::wstring& path, DWORD& length);
};

// Opens a file as ReadWholeFile reads it (no sharing, an inheritable handle) and gives its
// size. INVALID_HANDLE_VALUE when it cannot be opened or sized, or is 4 GiB - 1 or larger:
// such a file is no INF and its length + 1 would not fit.
HANDLE OpenFileForWholeRead(const std::wstring& path, DWORD& dwSize);
