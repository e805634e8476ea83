#pragma once
#include <windows.h>
#include <cfgmgr32.h>
#include <string>
#include <vector>

// Stand-ins for the calls that Wine 8.0 lacks or does differently from Windows, behaving as
// Windows documents them. Each call is also recorded ("Name|arg|arg"), so that tests can see
// what the program asked for.
BOOL WINAPI StandInDeletePrinterDriverExW(LPWSTR pName, LPWSTR pEnvironment, LPWSTR pDriverName, DWORD dwDeleteFlag,
                                          DWORD dwVersionFlag);
CONFIGRET WINAPI StandInCM_Locate_DevNodeW(PDEVINST pdnDevInst, DEVINSTID_W pDeviceID, ULONG ulFlags);
CONFIGRET WINAPI StandInCM_Reenumerate_DevNode(DEVINST dnDevInst, ULONG ulFlags);
BOOL WINAPI StandInSetupUninstallOEMInfW(PCWSTR InfFileName, DWORD Flags, PVOID Reserved);
BOOL WINAPI StandInExitWindowsEx(UINT uFlags, DWORD dwReason);

// Points the imports of `module` at every stand-in above.
void InstallWindowsStandIns(HMODULE module);

// The recorded calls of this process, in order; also appended to the file named by the
// environment variable STANDIN_RECORD when it is set (for a program under test).
std::vector<std::wstring> StandInCalls();
void ClearStandInCalls();
void RecordStandInCall(const std::wstring& call);

// Test controls: the next CM_Locate_DevNodeW / CM_Reenumerate_DevNode return this code.
void SetStandInDevNodeResults(CONFIGRET locate, CONFIGRET reenumerate);
