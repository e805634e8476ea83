#pragma once
#include <windows.h>
#include <string>

// Loads a DLL into a running process (a thread of its own calls LoadLibraryW there).
// This is how the stand-ins reach the real Uninstall.exe without changing it. False when it
// failed or did not finish in time; the caller should then end the process, not reuse it.
bool InjectDll(HANDLE hProcess, const std::wstring& dllPath);
