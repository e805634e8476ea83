#pragma once
#include <windows.h>

// Written once during start-up, before any thread that reads them exists.
extern HWND g_hDlg;
extern HWND g_pListBox;
extern HWND g_pUninstallButton;
extern HWND g_pProgress;

int RunDialog();
INT_PTR CALLBACK DlgProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
DWORD WINAPI StopPcaSvcThread(LPVOID parameter);
DWORD WINAPI StartPcaSvcThread(LPVOID parameter);
