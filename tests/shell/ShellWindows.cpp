#include "ShellWindows.h"

#include <commctrl.h>

#include "GuiDriver.h"
#include "shell/Dialog.h"

namespace {
ShellWindows* g_pCurrent = nullptr;
}

ShellWindows::ShellWindows()
{
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    HINSTANCE hInstance = GetModuleHandleW(nullptr);
    m_hHost = CreateWindowExW(0, L"STATIC", L"template title", WS_POPUP | WS_CAPTION, 0, 0, 400, 400, nullptr,
                              nullptr, hInstance, nullptr);
    g_hDlg = m_hHost;
    g_pListBox = CreateWindowExW(0, L"LISTBOX", nullptr,
                                 WS_CHILD | WS_VISIBLE | WS_BORDER | WS_VSCROLL | WS_TABSTOP | LBS_NOTIFY | LBS_SORT |
                                     LBS_NOINTEGRALHEIGHT,
                                 10, 10, 300, 200, m_hHost, reinterpret_cast<HMENU>(1000), hInstance, nullptr);
    g_pUninstallButton = CreateWindowExW(0, L"BUTTON", L"卸载", WS_CHILD | WS_VISIBLE | BS_DEFPUSHBUTTON, 10, 220, 80,
                                         24, m_hHost, reinterpret_cast<HMENU>(IDOK), hInstance, nullptr);
    g_pProgress = CreateWindowExW(0, PROGRESS_CLASSW, nullptr, WS_CHILD | WS_VISIBLE | WS_BORDER, 10, 260, 300, 20,
                                  m_hHost, reinterpret_cast<HMENU>(1001), hInstance, nullptr);
    SendMessageW(g_pProgress, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    g_pCurrent = this;
    m_pProgressProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(g_pProgress, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&ShellWindows::ProgressProc)));
}

ShellWindows::~ShellWindows()
{
    DestroyWindow(m_hHost);
    g_pCurrent = nullptr;
    g_hDlg = g_pListBox = g_pUninstallButton = g_pProgress = nullptr;
}

LRESULT CALLBACK ShellWindows::ProgressProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == PBM_SETPOS && g_pCurrent)
        g_pCurrent->m_positions.push_back(static_cast<int>(wParam));
    return CallWindowProcW(g_pCurrent->m_pProgressProc, hWnd, message, wParam, lParam);
}

std::vector<std::wstring> ShellWindows::Rows() const
{
    return ListRows(g_pListBox);
}

bool RunServingMessages(LPTHREAD_START_ROUTINE pProc, DWORD timeoutMs)
{
    HANDLE hThread = CreateThread(nullptr, 0, pProc, nullptr, 0, nullptr);
    if (!hThread)
        return false;
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    bool bEnded = false;
    while (!bEnded && GetTickCount64() < end) {
        DWORD dwWait = MsgWaitForMultipleObjects(1, &hThread, FALSE, 100, QS_ALLINPUT);
        bEnded = dwWait == WAIT_OBJECT_0;
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    if (!bEnded)
        TerminateThread(hThread, 1);
    CloseHandle(hThread);
    return bEnded;
}
