#pragma once
#include <windows.h>

// Points every import of `function` from `dll` by `module` at `replacement`, delay-loaded
// imports included, and returns the function it stood for (null when the module does not
// import it). This is how the
// tests put stand-ins in place of system calls that Wine lacks, or make a call fail on
// purpose, without changing the code under test.
void* PatchImport(HMODULE module, const char* dll, const char* function, void* replacement);

// Patches an import of the test program for the lifetime of the object.
class ScopedImportPatch {
public:
    ScopedImportPatch(const char* dll, const char* function, void* replacement);
    ~ScopedImportPatch();
    ScopedImportPatch(const ScopedImportPatch&) = delete;
    ScopedImportPatch& operator=(const ScopedImportPatch&) = delete;
    void* Original() const { return m_pOriginal; }

private:
    const char* m_dll;
    const char* m_function;
    void* m_pOriginal;
};
