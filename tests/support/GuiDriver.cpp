#include "GuiDriver.h"

#include <algorithm>
#include <cstdio>

#include "TestSupport.h"

GuiProcess::GuiProcess(const std::wstring& exePath, const std::wstring& arguments, bool bCaptureOutput,
                       const std::wstring& desktop)
{
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    si.lpDesktop = desktop.empty() ? nullptr : const_cast<LPWSTR>(desktop.c_str());
    HANDLE hOutputWrite = nullptr;
    if (bCaptureOutput) {
        SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
        if (!CreatePipe(&m_hOutputRead, &hOutputWrite, &sa, 0)) {
            m_dwStartError = GetLastError();
            return;
        }
        SetHandleInformation(m_hOutputRead, HANDLE_FLAG_INHERIT, 0);
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = hOutputWrite;
        si.hStdError = hOutputWrite;
        si.hStdInput = nullptr;
    }
    std::wstring commandLine = L"\"" + exePath + L"\"";
    if (!arguments.empty())
        commandLine += L" " + arguments;
    // In its own folder, as Explorer starts a program.
    const std::wstring folder = exePath.substr(0, exePath.rfind(L'\\') + 1);
    if (!CreateProcessW(exePath.c_str(), &commandLine[0], nullptr, nullptr, bCaptureOutput, 0, nullptr,
                        folder.empty() ? nullptr : folder.c_str(), &si, &m_pi)) {
        m_dwStartError = GetLastError();
        m_pi = PROCESS_INFORMATION{};
    }
    if (hOutputWrite)
        CloseHandle(hOutputWrite);  // the child holds its own copy; EOF comes when it ends
}

GuiProcess::~GuiProcess()
{
    Terminate();
    if (m_pi.hThread)
        CloseHandle(m_pi.hThread);
    if (m_pi.hProcess)
        CloseHandle(m_pi.hProcess);
    if (m_hOutputRead)
        CloseHandle(m_hOutputRead);
}

bool GuiProcess::IsRunning() const
{
    return m_pi.hProcess && WaitForSingleObject(m_pi.hProcess, 0) == WAIT_TIMEOUT;
}

bool GuiProcess::WaitForExit(DWORD timeoutMs, DWORD* pExitCode)
{
    if (!m_pi.hProcess || WaitForSingleObject(m_pi.hProcess, timeoutMs) != WAIT_OBJECT_0)
        return false;
    if (pExitCode)
        GetExitCodeProcess(m_pi.hProcess, pExitCode);
    return true;
}

void GuiProcess::Terminate()
{
    if (IsRunning()) {
        TerminateProcess(m_pi.hProcess, 0xDEAD);
        WaitForSingleObject(m_pi.hProcess, 5000);
    }
}

bool GuiProcess::WaitForOutput(const std::string& text, DWORD timeoutMs)
{
    return m_hOutputRead && WaitUntil(
                                [&] {
                                    DWORD available = 0;
                                    char buf[4096];
                                    DWORD got = 0;
                                    while (PeekNamedPipe(m_hOutputRead, nullptr, 0, nullptr, &available, nullptr) &&
                                           available && ReadFile(m_hOutputRead, buf, sizeof(buf), &got, nullptr) && got)
                                        m_output.append(buf, got);
                                    return m_output.find(text) != std::string::npos;
                                },
                                timeoutMs);
}

namespace {

BOOL CALLBACK CollectOfProcess(HWND hWnd, LPARAM lParam)
{
    auto* pSearch = reinterpret_cast<std::pair<DWORD, std::vector<HWND>>*>(lParam);
    DWORD pid = 0;
    GetWindowThreadProcessId(hWnd, &pid);
    if (pid == pSearch->first)
        pSearch->second.push_back(hWnd);
    return TRUE;
}

}  // namespace

std::vector<HWND> GuiProcess::Windows() const
{
    std::pair<DWORD, std::vector<HWND>> search(m_pi.dwProcessId, {});
    EnumWindows(CollectOfProcess, reinterpret_cast<LPARAM>(&search));
    return search.second;
}

std::string GuiProcess::Output()
{
    std::string out = m_output;
    if (!m_hOutputRead)
        return out;
    char buf[4096];
    DWORD got = 0;
    while (ReadFile(m_hOutputRead, buf, sizeof(buf), &got, nullptr) && got)
        out.append(buf, got);
    return out;
}

std::wstring WindowText(HWND hWnd)
{
    int n = GetWindowTextLengthW(hWnd);
    std::wstring text(n + 1, L'\0');
    n = GetWindowTextW(hWnd, &text[0], n + 1);
    text.resize(n > 0 ? n : 0);
    return text;
}

std::wstring WindowClass(HWND hWnd)
{
    wchar_t sz[256] = {};
    GetClassNameW(hWnd, sz, 256);
    return sz;
}

namespace {

struct ProcessWindows {
    DWORD pid;
    std::vector<HWND> windows;
};

BOOL CALLBACK CollectDialog(HWND hWnd, LPARAM lParam)
{
    auto* pSearch = reinterpret_cast<ProcessWindows*>(lParam);
    DWORD pid = 0;
    GetWindowThreadProcessId(hWnd, &pid);
    if ((pSearch->pid == 0 || pid == pSearch->pid) && IsWindowVisible(hWnd) && WindowClass(hWnd) == L"#32770")
        pSearch->windows.push_back(hWnd);
    return TRUE;
}

BOOL CALLBACK CollectChild(HWND hWnd, LPARAM lParam)
{
    reinterpret_cast<std::vector<HWND>*>(lParam)->push_back(hWnd);
    return TRUE;
}

std::vector<HWND> Children(HWND hParent)
{
    std::vector<HWND> children;
    EnumChildWindows(hParent, CollectChild, reinterpret_cast<LPARAM>(&children));
    return children;
}

bool SameClass(const std::wstring& a, const wchar_t* b)
{
    return lstrcmpiW(a.c_str(), b) == 0;
}

}  // namespace

std::vector<HWND> DialogWindows(DWORD pid)
{
    ProcessWindows search{pid, {}};
    EnumWindows(CollectDialog, reinterpret_cast<LPARAM>(&search));
    return search.windows;
}

std::vector<std::wstring> StaticTexts(HWND hDialog)
{
    std::vector<std::wstring> texts;
    for (HWND hChild : Children(hDialog))
        if (SameClass(WindowClass(hChild), L"Static"))
            texts.push_back(WindowText(hChild));
    return texts;
}

HWND WaitForDialog(DWORD pid, const std::wstring& title, int nChildId, DWORD timeoutMs)
{
    HWND hFound = nullptr;
    WaitUntil(
        [&] {
            for (HWND hWnd : DialogWindows(pid))
                if (WindowText(hWnd) == title && GetDlgItem(hWnd, nChildId)) {
                    hFound = hWnd;
                    return true;
                }
            return false;
        },
        timeoutMs);
    return hFound;
}

std::vector<HWND> FindMessageBoxes(DWORD pid, const std::wstring& text)
{
    std::vector<HWND> boxes;
    for (HWND hWnd : DialogWindows(pid)) {
        std::vector<std::wstring> texts = StaticTexts(hWnd);
        if (std::find(texts.begin(), texts.end(), text) != texts.end())
            boxes.push_back(hWnd);
    }
    return boxes;
}

HWND WaitForMessageBox(DWORD pid, const std::wstring& text, DWORD timeoutMs)
{
    HWND hFound = nullptr;
    WaitUntil(
        [&] {
            std::vector<HWND> boxes = FindMessageBoxes(pid, text);
            hFound = boxes.empty() ? nullptr : boxes.front();
            return hFound != nullptr;
        },
        timeoutMs);
    // A box that never came says what the process showed instead (another box, or none).
    if (!hFound) {
        std::printf("[ boxes   ] no box \"%s\" within %lu ms; the process shows:", Utf8(text).c_str(),
                    static_cast<unsigned long>(timeoutMs));
        for (HWND hWnd : DialogWindows(pid))
            for (const std::wstring& shown : StaticTexts(hWnd))
                if (!shown.empty())
                    std::printf(" \"%s\"", Utf8(shown).c_str());
        std::printf("\n");
    }
    return hFound;
}

bool WaitForWindowGone(HWND hWnd, DWORD timeoutMs)
{
    return WaitUntil([&] { return !IsWindow(hWnd) || !IsWindowVisible(hWnd); }, timeoutMs);
}

std::vector<int> ButtonIds(HWND hDialog)
{
    std::vector<int> ids;
    for (HWND hChild : Children(hDialog))
        if (SameClass(WindowClass(hChild), L"Button") && IsWindowVisible(hChild))
            ids.push_back(GetDlgCtrlID(hChild));
    return ids;
}

std::vector<std::wstring> ListRows(HWND hListBox)
{
    std::vector<std::wstring> rows;
    LRESULT nCount = SendMessageW(hListBox, LB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < nCount; ++i) {
        LRESULT nLength = SendMessageW(hListBox, LB_GETTEXTLEN, static_cast<WPARAM>(i), 0);
        if (nLength == LB_ERR) {
            rows.push_back(L"<LB_GETTEXTLEN failed>");
            continue;
        }
        std::wstring row(static_cast<size_t>(nLength) + 1, L'\0');
        LRESULT nGot = SendMessageW(hListBox, LB_GETTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&row[0]));
        row.resize(nGot == LB_ERR ? 0 : static_cast<size_t>(nGot));
        rows.push_back(row);
    }
    return rows;
}

int SelectedRow(HWND hListBox)
{
    return static_cast<int>(SendMessageW(hListBox, LB_GETCURSEL, 0, 0));
}

bool SelectRow(HWND hListBox, int nRow)
{
    return SendMessageW(hListBox, LB_SETCURSEL, static_cast<WPARAM>(nRow), 0) == nRow;
}

void PressButton(HWND hButton)
{
    RECT rc = {};
    GetClientRect(hButton, &rc);
    LPARAM lPoint = MAKELPARAM((rc.right - rc.left) / 2, (rc.bottom - rc.top) / 2);
    PostMessageW(hButton, WM_LBUTTONDOWN, MK_LBUTTON, lPoint);
    PostMessageW(hButton, WM_LBUTTONUP, 0, lPoint);
}

bool AnswerMessageBox(HWND hBox, int nButtonId, DWORD timeoutMs)
{
    HWND hButton = GetDlgItem(hBox, nButtonId);
    if (!hButton)
        return false;
    PressButton(hButton);
    return WaitForWindowGone(hBox, timeoutMs);
}

UnseenDesktop::UnseenDesktop()
{
    HWINSTA hOwn = GetProcessWindowStation();
    m_hStation = CreateWindowStationW(L"TavrelUnseen", 0, WINSTA_ALL_ACCESS, nullptr);
    // A desktop is made in the process's own station.
    if (m_hStation && SetProcessWindowStation(m_hStation)) {
        m_hDesktop = CreateDesktopW(L"Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
        SetProcessWindowStation(hOwn);
    }
}

UnseenDesktop::~UnseenDesktop()
{
    if (m_hDesktop)
        CloseDesktop(m_hDesktop);
    if (m_hStation)
        CloseWindowStation(m_hStation);
}
