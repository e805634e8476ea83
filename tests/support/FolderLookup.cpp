#include "FolderLookup.h"

#include <shlobj.h>

namespace {

int g_nCsidl = -1;
bool g_bEmptyAnswer = false;
DWORD g_dwError = 0;
int g_nCalls = 0;
decltype(&SHGetSpecialFolderPathW) g_pReal = nullptr;

BOOL WINAPI FailingLookup(HWND hwnd, LPWSTR pszPath, int nCsidl, BOOL bCreate)
{
    if (nCsidl != g_nCsidl)
        return g_pReal(hwnd, pszPath, nCsidl, bCreate);
    ++g_nCalls;
    pszPath[0] = L'\0';
    SetLastError(g_dwError);
    return g_bEmptyAnswer ? TRUE : FALSE;
}

}  // namespace

ScopedFolderLookupFailure::ScopedFolderLookupFailure(int nCsidl, bool bEmptyAnswer, DWORD dwError)
    : m_patch("shell32.dll", "SHGetSpecialFolderPathW", reinterpret_cast<void*>(&FailingLookup))
{
    g_pReal = reinterpret_cast<decltype(&SHGetSpecialFolderPathW)>(m_patch.Original());
    g_nCsidl = nCsidl;
    g_bEmptyAnswer = bEmptyAnswer;
    g_dwError = dwError;
    g_nCalls = 0;
}

ScopedFolderLookupFailure::~ScopedFolderLookupFailure()
{
    g_nCsidl = -1;
}

int ScopedFolderLookupFailure::Calls() const
{
    return g_nCalls;
}
