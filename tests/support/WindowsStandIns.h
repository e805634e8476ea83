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

// Private namespaces, which Wine 8 lacks (its CreateBoundaryDescriptorW returns null): a
// namespace is an object directory of the session named by its alias, so that the real
// CreateMutexW finds "<alias>\<name>" in it, and it lasts while a handle to it is open. Only a
// caller within the boundary may create or open it: a boundary needs a SID, and with
// SetStandInOutsideBoundary(true) the caller is a standard user (ERROR_ACCESS_DENIED). Two
// boundaries under one alias are not told apart. Recorded: "CreatePrivateNamespaceW|alias|
// boundary|SIDs...|SDDL" and "OpenPrivateNamespaceW|alias|boundary|SIDs...".
HANDLE WINAPI StandInCreateBoundaryDescriptorW(LPCWSTR Name, ULONG Flags);
BOOL WINAPI StandInAddSIDToBoundaryDescriptor(HANDLE* BoundaryDescriptor, PSID RequiredSid);
VOID WINAPI StandInDeleteBoundaryDescriptor(HANDLE BoundaryDescriptor);
HANDLE WINAPI StandInCreatePrivateNamespaceW(LPSECURITY_ATTRIBUTES pAttributes, LPVOID pBoundary, LPCWSTR pAlias);
HANDLE WINAPI StandInOpenPrivateNamespaceW(LPVOID pBoundary, LPCWSTR pAlias);
BOOLEAN WINAPI StandInClosePrivateNamespace(HANDLE Handle, ULONG Flags);
void SetStandInOutsideBoundary(bool bOutside);

// Points the imports of `module` at every stand-in above.
void InstallWindowsStandIns(HMODULE module);

// The recorded calls of this process, in order; also appended to the file named by the
// environment variable STANDIN_RECORD when it is set (for a program under test).
std::vector<std::wstring> StandInCalls();
void ClearStandInCalls();
void RecordStandInCall(const std::wstring& call);

// Test controls: the next CM_Locate_DevNodeW / CM_Reenumerate_DevNode return this code.
void SetStandInDevNodeResults(CONFIGRET locate, CONFIGRET reenumerate);
