#pragma once
#include <windows.h>
#include <string>

#include "cleanup/DirScanner.h"

// Deletes the driver's own files below the spooler's driver folder, but never a file whose
// bare name is in `otherDriversFiles`: that file is still another driver's.
BOOL CleanSpoolDriverFiles(const DRIVER_INFO_6W* pDriverInfo, const FileNameSet& otherDriversFiles);
std::wstring GetFileNameFromPath(const std::wstring& path);
