#pragma once
#include <windows.h>
#include <string>

struct OtherDrivers;

// Uninstalls the OEM INFs that mention the driver, but none that another installed driver
// still comes from. Always TRUE: this step never ends a removal.
BOOL UninstallOemInfs(std::wstring driverName, const OtherDrivers& others);
