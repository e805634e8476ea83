#pragma once
#include <windows.h>
#include <string>

extern volatile LONG g_nProgress;
extern const std::wstring g_strCaption;

DWORD WINAPI UninstallThread(LPVOID parameter);
void DoUninstall();
void CALLBACK ProgressTimerProc(HWND hWnd, UINT message, UINT_PTR idEvent, DWORD dwTime);
void RestartComputer();

// 1 from the press that starts a worker until that worker has rebuilt the list: the message
// loop starts no second worker meanwhile.
extern volatile LONG g_bWorkerRunning;
