#pragma once
#include <windows.h>
#include <string>
#include <vector>

#include "cleanup/RemovalPlan.h"

struct OtherDrivers;

// Deletes the driver-store packages whose INF mentions the driver, but none that another
// installed driver still comes from, none of Windows' own, and none published as one of the
// `unsettledOemInfs` that the OEM INF clean-up left (see UninstallOemInfs).
// A package that could not be deleted whole fails the clean-up, whichever comes last.
BOOL CleanDriverStore(const std::wstring& driverName, const OtherDrivers& others,
                      const std::vector<std::wstring>& unsettledOemInfs = std::vector<std::wstring>());
// The same clean-up's plan, by the same decisions: each package whose INF mentions the driver,
// to be deleted or kept by the rule that keeps it. Takes nothing over and enables nothing.
BOOL PlanDriverStore(const std::wstring& driverName, const OtherDrivers& others,
                     const std::vector<std::wstring>& unsettledOemInfs, RemovalPlan& plan);
// Whether the file's text names the driver. `pdwUnread`, when given, learns the error where the
// file could not be opened or read whole (it then mentions nothing), ERROR_SUCCESS otherwise.
BOOL FileMentionsDriver(const std::wstring& path, const std::wstring& driverName, DWORD* pdwUnread = nullptr);
// Whether the file's text names, complete and in double quotes, one of `otherNames` other
// than `driverName` itself: the model names that INFs give their drivers. `pStrNamed`, when
// given, learns the name found.
BOOL FileNamesAnotherDriver(const std::wstring& path, const std::wstring& driverName,
                            const std::vector<std::wstring>& otherNames, std::wstring* pStrNamed = nullptr);
std::wstring GetFolderFromPath(const std::wstring& path);
void GrantFolderAccess(const std::wstring& folder);
