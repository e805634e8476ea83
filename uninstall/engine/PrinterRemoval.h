#pragma once
#include <windows.h>
#include <string>

BOOL RemovePrinter(const std::wstring& printerName);
