#pragma once
#include <string>

// `path` as the file system calls should get it: paths of MAX_PATH - 12 characters or more
// in extended-length form ("\\?\C:\...", "\\?\UNC\server\share\..."), so that trees deeper
// than MAX_PATH are listed, read and deleted whole; shorter ones (and relative ones, which
// have no extended form) as they are. Logs and collected lists always keep the plain path.
std::wstring ExtendedLengthPath(const std::wstring& path);
