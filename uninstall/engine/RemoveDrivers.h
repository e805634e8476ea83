#pragma once
#include <windows.h>
#include <vector>
#include "shell/DriverListEntry.h"

BOOL RemoveDrivers(const std::vector<DriverListEntry>& list);
