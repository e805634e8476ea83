#pragma once
#include <windows.h>
#include <string>

// Loads a DLL into a running process (a thread of its own calls LoadLibraryW there).
// This is how the stand-ins reach the real Uninstall.exe without changing it.
bool InjectDll(HANDLE hProcess, const std::wstring& dllPath);
