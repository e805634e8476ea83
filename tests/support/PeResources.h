#pragma once
// The resources of a built program, read from its file (32-bit or 64-bit alike).
#include <windows.h>
#include <string>
#include <vector>

struct ResourceEntry {
    std::wstring type, name;  // "#n" for numeric ids, as the resource update calls take them
    WORD wLanguage;
    std::string bytes;
};

// Every resource of the file, as (type, name, language) with its bytes; empty when unreadable.
std::vector<ResourceEntry> ReadResources(const std::wstring& path);
// Those of one type ("#5" for RT_DIALOG, ...).
std::vector<ResourceEntry> ResourcesOfType(const std::vector<ResourceEntry>& all, const std::wstring& type);
// An id as the resource calls take it: MAKEINTRESOURCE for "#n", the name otherwise.
LPCWSTR ResourceIdArgument(const std::wstring& id);
