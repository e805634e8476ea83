#pragma once
#include <windows.h>
#include <string>
#include <vector>

struct OtherDrivers;

// Deletes the driver-store packages whose INF mentions the driver, but none that another
// installed driver still comes from, none of Windows' own, and none published as one of the
// `unsettledOemInfs` that the OEM INF clean-up left (see UninstallOemInfs).
BOOL CleanDriverStore(std::wstring driverName, const OtherDrivers& others,
                      const std::vector<std::wstring>& unsettledOemInfs = std::vector<std::wstring>());
BOOL FileMentionsDriver(const std::wstring& path, const std::wstring& driverName);
// Whether the file's text names, complete and in double quotes, one of `otherNames` other
// than `driverName` itself: the model names that INFs give their drivers.
BOOL FileNamesAnotherDriver(const std::wstring& path, const std::wstring& driverName,
                            const std::vector<std::wstring>& otherNames);
std::wstring GetFolderFromPath(const std::wstring& path);
void GrantFolderAccess(const std::wstring& folder);
