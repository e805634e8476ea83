#pragma once
#include <windows.h>
#include <string>
#include <vector>

#include "cleanup/RemovalPlan.h"

struct OtherDrivers;

// Uninstalls the OEM INFs that mention the driver, but none that another installed driver
// still comes from. Always TRUE: this step never ends a removal. `pUnsettled` gets the OEM INFs
// that mention the driver and are left without knowing their package: one still in the INF
// folder after its uninstall (SetupAPI or pnputil refused, failed or was still at work), or one
// SetupAPI could not place that had to be placed, or one that could not be read. The driver-store
// clean-up keeps their packages, so that both clean-ups decide a package alike.
// `pbRestartNeeded` is set when an uninstall asked for a restart.
BOOL UninstallOemInfs(const std::wstring& driverName, const OtherDrivers& others,
                      std::vector<std::wstring>* pUnsettled = nullptr, bool* pbRestartNeeded = nullptr);
// The same clean-up's plan, by the same decisions: each OEM INF that mentions the driver, to be
// uninstalled or kept by the rule that keeps it; `unsettled` gets those a removal would leave
// unsettled were every uninstall to succeed.
BOOL PlanOemInfs(const std::wstring& driverName, const OtherDrivers& others, std::vector<std::wstring>& unsettled,
                 RemovalPlan& plan);
