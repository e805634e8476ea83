#include "PeResources.h"

#include <cstdlib>

namespace {

std::wstring ResourceId(LPCWSTR pId)
{
    return IS_INTRESOURCE(pId) ? L"#" + std::to_wstring(reinterpret_cast<ULONG_PTR>(pId)) : std::wstring(pId);
}

BOOL CALLBACK CollectLanguage(HMODULE hModule, LPCWSTR pType, LPCWSTR pName, WORD wLanguage, LONG_PTR lParam)
{
    HRSRC hInfo = FindResourceExW(hModule, pType, pName, wLanguage);
    HGLOBAL hData = hInfo ? LoadResource(hModule, hInfo) : nullptr;
    const char* pBytes = hData ? static_cast<const char*>(LockResource(hData)) : nullptr;
    if (pBytes)
        reinterpret_cast<std::vector<ResourceEntry>*>(lParam)->push_back(
            {ResourceId(pType), ResourceId(pName), wLanguage, std::string(pBytes, SizeofResource(hModule, hInfo))});
    return TRUE;
}

BOOL CALLBACK CollectName(HMODULE hModule, LPCWSTR pType, LPWSTR pName, LONG_PTR lParam)
{
    EnumResourceLanguagesW(hModule, pType, pName, CollectLanguage, lParam);
    return TRUE;
}

BOOL CALLBACK CollectType(HMODULE hModule, LPWSTR pType, LONG_PTR lParam)
{
    EnumResourceNamesW(hModule, pType, CollectName, lParam);
    return TRUE;
}

}  // namespace

std::vector<ResourceEntry> ReadResources(const std::wstring& path)
{
    std::vector<ResourceEntry> resources;
    HMODULE hModule = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!hModule)
        return resources;
    EnumResourceTypesW(hModule, CollectType, reinterpret_cast<LONG_PTR>(&resources));
    FreeLibrary(hModule);
    return resources;
}

std::vector<ResourceEntry> ResourcesOfType(const std::vector<ResourceEntry>& all, const std::wstring& type)
{
    std::vector<ResourceEntry> out;
    for (const ResourceEntry& r : all)
        if (r.type == type)
            out.push_back(r);
    return out;
}

LPCWSTR ResourceIdArgument(const std::wstring& id)
{
    return id[0] == L'#' ? MAKEINTRESOURCEW(_wtoi(id.c_str() + 1)) : id.c_str();
}
