#pragma once
#include <windows.h>
#include <string>

// Longest time a start or stop wait polls a service before giving up.
constexpr DWORD kServiceWaitLimitMs = 30000;

BOOL StopServiceByName(const std::wstring& name);
BOOL StartServiceByName(const std::wstring& name);
BOOL RestartSpooler();
// Both take an open service control manager handle and close it.
void StartPcaSvc(SC_HANDLE hScManager);
void StopPcaSvc(SC_HANDLE hScManager);
