#pragma once
#include <windows.h>
#include <string>

// The steps of Installer, apart from its entry so that they can be run in a test program.
std::wstring OwnModulePath();
WORD NativeProcessorArchitecture();
const wchar_t* SetupProgramFor(WORD wArchitecture);
int RunInstaller();  // the whole program; returns its exit code (always 0)
