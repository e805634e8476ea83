#pragma once
#include <windows.h>
#include <string>
#include <vector>

struct OtherDrivers;

// Uninstalls the OEM INFs that mention the driver, but none that another installed driver
// still comes from. Always TRUE: this step never ends a removal. `pUnsettled` gets the OEM INFs
// that mention the driver and are left without knowing their package: one still in the INF
// folder after its uninstall (SetupAPI or pnputil refused, failed or was still at work), or one
// SetupAPI could not place that had to be placed. The driver-store clean-up keeps their
// packages, so that both clean-ups decide a package alike.
BOOL UninstallOemInfs(std::wstring driverName, const OtherDrivers& others,
                      std::vector<std::wstring>* pUnsettled = nullptr);
