#pragma once
#include <windows.h>

#include "ImportPatch.h"

// While alive, SHGetSpecialFolderPathW fails for one folder (CSIDL_WINDOWS, CSIDL_SYSTEM):
// it returns FALSE, or with bEmptyAnswer TRUE and an empty path, and leaves dwError as
// the last error. Every other folder (the log's Documents) is looked up for real.
class ScopedFolderLookupFailure {
public:
    ScopedFolderLookupFailure(int nCsidl, bool bEmptyAnswer, DWORD dwError);
    ~ScopedFolderLookupFailure();
    ScopedFolderLookupFailure(const ScopedFolderLookupFailure&) = delete;
    ScopedFolderLookupFailure& operator=(const ScopedFolderLookupFailure&) = delete;
    int Calls() const;  // look-ups of the failing folder so far

private:
    ScopedImportPatch m_patch;
};
