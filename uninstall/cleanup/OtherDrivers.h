#pragma once
#include <windows.h>
#include <map>
#include <string>
#include <vector>

#include "cleanup/DirScanner.h"

// What every other installed driver still needs, so that a removal leaves it: "other" is each
// driver of every environment but the removed one (same name and environment); the removed
// driver's twin of another environment counts.
struct OtherDrivers {
    FileNameSet fileNames;                                          // bare names of the files they list
    std::map<std::wstring, std::wstring, FileNameLess> fileOwners;  // each of those: the first driver listing it
    std::vector<std::wstring> names;                                // their names, the model names their INFs give them
    std::vector<std::wstring> infPaths;  // the driver-store INFs they came from, where the spooler tells
};

// Reads the other drivers while the spooler runs (it answers nothing once stopped). FALSE,
// with the failed call logged, when the drivers cannot be listed.
BOOL ReadOtherDrivers(const DRIVER_INFO_6W* pDriverInfo, OtherDrivers& others);

// The driver-store INF that a published INF (...\inf\oem<N>.inf) was copied from, as SetupAPI
// tells it (Vista on; looked up at run time: Wine 8 has only a stub). FALSE, with the error left
// for the caller, when it cannot be told.
BOOL GetStoreInfOf(const std::wstring& strPublishedInf, std::wstring& strStoreInf);

// Whether two paths lie in one driver-store package (below ...\DriverStore\FileRepository\,
// reached through System32 or Sysnative alike).
bool InSamePackage(const std::wstring& storePath, const std::wstring& otherStorePath);

// Whether another driver came from the driver-store package that holds `storePath` (an INF or
// folder below ...\DriverStore\FileRepository\, reached through System32 or Sysnative alike).
// `pStrInf`, when given, learns that driver's INF.
bool AnotherDriverComesFromPackage(const OtherDrivers& others, const std::wstring& storePath,
                                   std::wstring* pStrInf = nullptr);
