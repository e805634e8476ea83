#pragma once
#include <windows.h>
#include <string>

#include "cleanup/DirScanner.h"

// The bare names of the files that every other installed driver lists (driver, data,
// configuration and help file, every dependent file), of every environment; the driver of
// `pDriverInfo` itself (same name and environment) does not count, its twin of another
// environment does. Read while the spooler runs: it answers nothing once stopped. FALSE, with
// the failed call logged, when the drivers cannot be listed.
BOOL ReadOtherDriversFiles(const DRIVER_INFO_6W* pDriverInfo, FileNameSet& otherDriversFiles);
// Deletes the driver's own files below the spooler's driver folder, but never a file whose
// bare name is in `otherDriversFiles`: that file is still another driver's.
BOOL CleanSpoolDriverFiles(const DRIVER_INFO_6W* pDriverInfo, const FileNameSet& otherDriversFiles);
std::wstring GetFileNameFromPath(const std::wstring& path);
