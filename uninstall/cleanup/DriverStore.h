#pragma once
#include <windows.h>
#include <string>

BOOL CleanDriverStore(std::wstring driverName);
BOOL FileMentionsDriver(const std::wstring& path, const std::wstring& driverName);
std::wstring GetFolderFromPath(const std::wstring& path);
void GrantFolderAccess(const std::wstring& folder);
