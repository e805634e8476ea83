#pragma once
// Driving another program's windows as a person would: start it, find its dialogs and message
// boxes by their texts, read and pick list rows, press buttons with the left mouse button,
// answer boxes, and read its exit code.
#include <windows.h>
#include <string>
#include <vector>

// Bounds of the waits for what a program does by itself. A wait ends as soon as its condition
// holds, so a bound costs nothing on a passing run; each is set for the slowest run there is,
// the 32-bit programs in the emulated guest with its host busy (twice as slow as idle, and a
// program's start alone takes 8 to 10 s there when idle), with room to spare.
const DWORD kProgramStartMs = 120000;  // a program's start, up to its first window or its end
const DWORD kUiStepMs = 60000;         // a window, a box or a control's state after an action

// A program started for a test. The destructor ends it if it is still running.
// A desktop in a window station of its own, which no one sees, as a service's (Wine too reports
// a new station without WSF_VISIBLE): a GuiProcess started on kName shows nothing to anyone.
class UnseenDesktop {
public:
    static constexpr const wchar_t* kName = L"TavrelUnseen\\Default";
    UnseenDesktop();
    ~UnseenDesktop();
    UnseenDesktop(const UnseenDesktop&) = delete;
    UnseenDesktop& operator=(const UnseenDesktop&) = delete;
    HDESK Handle() const { return m_hDesktop; }  // null when it could not be made

private:
    HWINSTA m_hStation = nullptr;
    HDESK m_hDesktop = nullptr;
};

class GuiProcess {
public:
    // Starts `exePath` with the command line `"exePath" arguments`, in the program's own
    // folder (as Explorer starts it). With bCaptureOutput its
    // standard output goes into a pipe that Output() reads once the program has ended. A
    // desktop ("station\desktop") other than the test's own puts it there.
    explicit GuiProcess(const std::wstring& exePath, const std::wstring& arguments = L"", bool bCaptureOutput = false,
                        const std::wstring& desktop = L"");
    ~GuiProcess();
    GuiProcess(const GuiProcess&) = delete;
    GuiProcess& operator=(const GuiProcess&) = delete;

    bool Started() const { return m_pi.hProcess != nullptr; }
    DWORD StartError() const { return m_dwStartError; }
    DWORD Pid() const { return m_pi.dwProcessId; }
    HANDLE Handle() const { return m_pi.hProcess; }
    bool IsRunning() const;
    // True when the program ended within the time; its exit code goes to *pExitCode.
    bool WaitForExit(DWORD timeoutMs, DWORD* pExitCode = nullptr);
    void Terminate();
    std::string Output();  // everything written to standard output (bCaptureOutput only)
    // Waits up to timeoutMs, while the program runs, until its output so far contains `text`.
    bool WaitForOutput(const std::string& text, DWORD timeoutMs);
    // Top-level windows of the process now, hidden ones included.
    std::vector<HWND> Windows() const;

private:
    PROCESS_INFORMATION m_pi = {};
    HANDLE m_hOutputRead = nullptr;
    std::string m_output;  // what WaitForOutput has read so far
    DWORD m_dwStartError = 0;
};

std::wstring WindowText(HWND hWnd);
std::wstring WindowClass(HWND hWnd);
// Disabled and still there: a window that is gone, with its program, is not enabled either.
inline bool IsDisabled(HWND hWnd) { return IsWindow(hWnd) && !IsWindowEnabled(hWnd); }

// Visible top-level windows of a process (pid 0: of any process) whose class is the dialog
// class "#32770". The searches below take the same pid.
std::vector<HWND> DialogWindows(DWORD pid);
// The texts of the static controls of a dialog (a message box's text is one of them).
std::vector<std::wstring> StaticTexts(HWND hDialog);

// Waits up to timeoutMs for a visible dialog of the process with this title that has a child
// control with this id; null when none came.
HWND WaitForDialog(DWORD pid, const std::wstring& title, int nChildId, DWORD timeoutMs);
// Message boxes of the process now open that show exactly `text`.
std::vector<HWND> FindMessageBoxes(DWORD pid, const std::wstring& text);
// Waits up to timeoutMs for a message box of the process showing exactly `text`.
HWND WaitForMessageBox(DWORD pid, const std::wstring& text, DWORD timeoutMs);
// True when the window is gone (or hidden) within the time.
bool WaitForWindowGone(HWND hWnd, DWORD timeoutMs);
// Ids of the buttons of a dialog, in child order.
std::vector<int> ButtonIds(HWND hDialog);

// List box rows, read through the list box's own messages.
std::vector<std::wstring> ListRows(HWND hListBox);
int SelectedRow(HWND hListBox);       // LB_ERR (-1) when none
bool SelectRow(HWND hListBox, int nRow);

// A left-button press and release in the middle of the control, posted as the mouse would.
void PressButton(HWND hButton);
// Presses the button with this id on a message box and waits until the box has closed.
bool AnswerMessageBox(HWND hBox, int nButtonId, DWORD timeoutMs = kUiStepMs);

// Polls `condition` every 50 ms until it holds or the time is up.
template <typename Condition>
bool WaitUntil(Condition condition, DWORD timeoutMs)
{
    ULONGLONG end = GetTickCount64() + timeoutMs;
    for (;;) {
        if (condition())
            return true;
        if (GetTickCount64() >= end)
            return false;
        Sleep(50);
    }
}
