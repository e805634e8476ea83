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
