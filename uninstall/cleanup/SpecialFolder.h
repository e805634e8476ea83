#pragma once
#include <windows.h>
#include <string>

// The shell folder `nCsidl` (CSIDL_WINDOWS, CSIDL_SYSTEM) without a trailing backslash.
// FALSE, with an "SHGetSpecialFolderPath" record in the log, when the shell cannot tell it:
// a path built on an empty answer would be relative to the current drive, and a clean-up
// must then not walk at all.
BOOL GetSpecialFolder(int nCsidl, std::wstring& strFolder);
