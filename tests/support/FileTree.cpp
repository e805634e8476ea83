#include "FileTree.h"

#include <stdexcept>

#include "TestSupport.h"

std::wstring Extended(const std::wstring& path)
{
    if (path.compare(0, 4, L"\\\\?\\") == 0 || path.size() < 3 || path[1] != L':')
        return path;
    return L"\\\\?\\" + path;
}

void MakeFolder(const std::wstring& folder)
{
    std::wstring strPath = Extended(folder);
    if (strPath.back() != L'\\')
        strPath += L'\\';
    // Skip the "\\?\C:\" part, then create each level.
    for (size_t pos = strPath.find(L'\\', 7); pos != std::wstring::npos; pos = strPath.find(L'\\', pos + 1))
        CreateDirectoryW(strPath.substr(0, pos).c_str(), nullptr);
}

void MakeFile(const std::wstring& path, const std::string& bytes)
{
    MakeFolder(path.substr(0, path.rfind(L'\\') + 1));
    WriteFileBytes(Extended(path), bytes);
}

bool PathExists(const std::wstring& path)
{
    return GetFileAttributesW(Extended(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

void MakeReadOnly(const std::wstring& path)
{
    if (!SetFileAttributesW(Extended(path).c_str(), FILE_ATTRIBUTE_READONLY))
        throw std::runtime_error("cannot make a test file read-only");
}

std::vector<std::wstring> ListingOrder(const std::wstring& dir)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW(Extended(dir + L"*.*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE)
        return names;
    do {
        std::wstring name = fd.cFileName;
        if (name != L"." && name != L"..")
            names.push_back(name);
    } while (FindNextFileW(h, &fd));
    FindClose(h);
    return names;
}

std::vector<std::wstring> WithPrefix(const std::vector<std::wstring>& calls, const std::wstring& prefix)
{
    std::vector<std::wstring> out;
    for (const std::wstring& call : calls) {
        if (call.compare(0, prefix.size(), prefix) == 0)
            out.push_back(call);
    }
    return out;
}
