#pragma once
#include <windows.h>
#include <string>

#include "cleanup/DirScanner.h"
#include "cleanup/RemovalPlan.h"

struct OtherDrivers;

// Deletes the driver's own files below the spooler's driver folder, but never a file whose
// bare name is in `otherDriversFiles`: that file is still another driver's.
BOOL CleanSpoolDriverFiles(const DRIVER_INFO_6W* pDriverInfo, const FileNameSet& otherDriversFiles);
// The same clean-up's plan, by the same walks: each file it would delete, each it would pass over
// because another driver lists it (naming that driver), each listed file the core list keeps.
BOOL PlanSpoolDriverFiles(const DRIVER_INFO_6W* pDriverInfo, const OtherDrivers& others, RemovalPlan& plan);
std::wstring GetFileNameFromPath(const std::wstring& path);
