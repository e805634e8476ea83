#include "ImportPatch.h"

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

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

// A delay-import descriptor with relative addresses (ImgDelayDescr of delayimp.h).
struct DelayDescriptor {
    DWORD grAttrs, rvaDLLName, rvaHmod, rvaIAT, rvaINT, rvaBoundIAT, rvaUnloadIAT, dwTimeStamp;
};

bool NameAt(const BYTE* pBase, DWORD nImage, DWORD rva, const char* pName)
{
    const size_t nName = std::strlen(pName);
    return rva < nImage && nImage - rva > nName && _strnicmp(reinterpret_cast<const char*>(pBase + rva), pName, nName) == 0 &&
           pBase[rva + nName] == 0;
}

// The delay-import descriptors of `dll`. Visual C++ names them in the data directory; GNU ld
// leaves that entry empty, so there they are found by their shape: relative addresses
// (attributes 1) inside the image, the DLL name's address pointing at that name.
std::vector<const DelayDescriptor*> DelayDescriptors(BYTE* pBase, IMAGE_NT_HEADERS* pNt, const char* dll)
{
    std::vector<const DelayDescriptor*> found;
    const DWORD nImage = pNt->OptionalHeader.SizeOfImage;
    auto isDescriptor = [&](const DelayDescriptor* p) {
        return p->grAttrs == 1 && p->rvaIAT && p->rvaIAT < nImage && p->rvaINT && p->rvaINT < nImage &&
               NameAt(pBase, nImage, p->rvaDLLName, dll);
    };
    const IMAGE_DATA_DIRECTORY& dir = pNt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT];
    if (dir.VirtualAddress) {
        for (auto* p = reinterpret_cast<const DelayDescriptor*>(pBase + dir.VirtualAddress); p->rvaDLLName; ++p) {
            if (isDescriptor(p))
                found.push_back(p);
        }
        return found;
    }
    const IMAGE_SECTION_HEADER* pSection = IMAGE_FIRST_SECTION(pNt);
    for (WORD i = 0; i < pNt->FileHeader.NumberOfSections; ++i, ++pSection) {
        const DWORD nEnd = pSection->VirtualAddress + pSection->Misc.VirtualSize;
        for (DWORD rva = pSection->VirtualAddress; rva + sizeof(DelayDescriptor) <= nEnd && nEnd <= nImage; rva += 4) {
            auto* p = reinterpret_cast<const DelayDescriptor*>(pBase + rva);
            if (isDescriptor(p))
                found.push_back(p);
        }
    }
    return found;
}

// Points the slots whose names match at `replacement`; returns the first slot's old value.
void* PatchSlots(BYTE* pBase, IMAGE_THUNK_DATA* pLookup, IMAGE_THUNK_DATA* pSlot, const char* function,
                 void* replacement)
{
    void* pPrevious = nullptr;
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
    return pPrevious;
}

}  // namespace

void* PatchImport(HMODULE module, const char* dll, const char* function, void* replacement)
{
    auto* pBase = reinterpret_cast<BYTE*>(module);
    auto* pDos = reinterpret_cast<IMAGE_DOS_HEADER*>(pBase);
    auto* pNt = reinterpret_cast<IMAGE_NT_HEADERS*>(pBase + pDos->e_lfanew);

    void* pPrevious = nullptr;
    const IMAGE_DATA_DIRECTORY& dir = pNt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* pDesc = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(pBase + dir.VirtualAddress);
         dir.VirtualAddress && pDesc->Name; ++pDesc) {
        if (!SameName(reinterpret_cast<const char*>(pBase + pDesc->Name), dll))
            continue;
        void* pOld = PatchSlots(pBase,
                                reinterpret_cast<IMAGE_THUNK_DATA*>(
                                    pBase + (pDesc->OriginalFirstThunk ? pDesc->OriginalFirstThunk : pDesc->FirstThunk)),
                                reinterpret_cast<IMAGE_THUNK_DATA*>(pBase + pDesc->FirstThunk), function, replacement);
        pPrevious = pPrevious ? pPrevious : pOld;
    }

    // A delay-loaded slot holds, until its first call, a thunk that would load the function
    // and overwrite the slot; what it stands for is the function itself.
    for (const DelayDescriptor* pDesc : DelayDescriptors(pBase, pNt, dll)) {
        void* pOld = PatchSlots(pBase, reinterpret_cast<IMAGE_THUNK_DATA*>(pBase + pDesc->rvaINT),
                                reinterpret_cast<IMAGE_THUNK_DATA*>(pBase + pDesc->rvaIAT), function, replacement);
        if (pOld && !pPrevious) {
            HMODULE hDll = GetModuleHandleA(dll);
            pPrevious = reinterpret_cast<void*>(GetProcAddress(hDll ? hDll : LoadLibraryA(dll), function));
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
