#pragma once
#include <windows.h>
#include <string>

BOOL CleanSpoolDriverFiles(const DRIVER_INFO_6W* pDriverInfo);
std::wstring GetFileNameFromPath(const std::wstring& path);
