#include "ImportPatch.h"

#include <cstring>
#include <stdexcept>
#include <string>

namespace {

bool SameName(const char* a, const char* b)
{
    return lstrcmpiA(a, b) == 0;
}

void WriteSlot(void** pSlot, void* value)
{
    DWORD oldProtect = 0;
    VirtualProtect(pSlot, sizeof(void*), PAGE_READWRITE, &oldProtect);
    *pSlot = value;
    VirtualProtect(pSlot, sizeof(void*), oldProtect, &oldProtect);
}

}  // namespace

void* PatchImport(HMODULE module, const char* dll, const char* function, void* replacement)
{
    auto* pBase = reinterpret_cast<BYTE*>(module);
    auto* pDos = reinterpret_cast<IMAGE_DOS_HEADER*>(pBase);
    auto* pNt = reinterpret_cast<IMAGE_NT_HEADERS*>(pBase + pDos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = pNt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (dir.VirtualAddress == 0)
        return nullptr;

    void* pPrevious = nullptr;
    for (auto* pDesc = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(pBase + dir.VirtualAddress); pDesc->Name; ++pDesc) {
        if (!SameName(reinterpret_cast<const char*>(pBase + pDesc->Name), dll))
            continue;
        auto* pLookup = reinterpret_cast<IMAGE_THUNK_DATA*>(
            pBase + (pDesc->OriginalFirstThunk ? pDesc->OriginalFirstThunk : pDesc->FirstThunk));
        auto* pSlot = reinterpret_cast<IMAGE_THUNK_DATA*>(pBase + pDesc->FirstThunk);
        for (; pLookup->u1.AddressOfData; ++pLookup, ++pSlot) {
            if (IMAGE_SNAP_BY_ORDINAL(pLookup->u1.Ordinal))
                continue;
            auto* pByName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(pBase + pLookup->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(pByName->Name), function) != 0)
                continue;
            auto** ppFunction = reinterpret_cast<void**>(&pSlot->u1.Function);
            if (!pPrevious)
                pPrevious = *ppFunction;
            WriteSlot(ppFunction, replacement);
        }
    }
    return pPrevious;
}

ScopedImportPatch::ScopedImportPatch(const char* dll, const char* function, void* replacement)
    : m_dll(dll), m_function(function)
{
    m_pOriginal = PatchImport(GetModuleHandleW(nullptr), dll, function, replacement);
    if (!m_pOriginal)
        throw std::runtime_error(std::string("the program does not import ") + function + " from " + dll);
}

ScopedImportPatch::~ScopedImportPatch()
{
    PatchImport(GetModuleHandleW(nullptr), m_dll, m_function, m_pOriginal);
}
