#pragma once
#include <windows.h>
#include <string>

BOOL UninstallOemInfs(std::wstring driverName);
