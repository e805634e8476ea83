#pragma once
#include <windows.h>
#include <string>

// The steps of Installer, apart from its entry so that they can be run in a test program.
std::wstring OwnModulePath();
WORD NativeProcessorArchitecture();
const wchar_t* SetupProgramFor(WORD wArchitecture);
// PROCESSOR_ARCHITECTURE_ARM64, which older SDKs do not name.
const WORD kArchitectureArm64 = 12;
// ERROR_INSTALL_PLATFORM_UNSUPPORTED: an ARM64 PC, and no ARM64 setup beside the Installer.
const int kExitNoArm64Setup = 1633;
// ERROR_FILE_NOT_FOUND: the setup for this PC does not lie beside the Installer.
const int kExitSetupMissing = 2;
// The whole program; returns its exit code: the setup's own, kExitNoArm64Setup,
// kExitSetupMissing, or the error of a start that failed.
int RunInstaller();
