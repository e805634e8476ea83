#include "cleanup/LongPath.h"

#include <windows.h>

namespace {
// MAX_PATH less room for an 8.3 name: the limit of a directory path on Windows.
const size_t kPlainPathLimit = MAX_PATH - 12;
}  // namespace

std::wstring ExtendedLengthPath(const std::wstring& path)
{
    if (path.size() < kPlainPathLimit || path.compare(0, 4, L"\\\\?\\") == 0)
        return path;
    if (path.size() >= 3 && path[1] == L':' && path[2] == L'\\')
        return L"\\\\?\\" + path;
    if (path.compare(0, 2, L"\\\\") == 0)
        return L"\\\\?\\UNC\\" + path.substr(2);
    return path;
}
