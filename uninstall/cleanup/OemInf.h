#pragma once
#include <windows.h>
#include <string>
#include <vector>

struct OtherDrivers;

// Uninstalls the OEM INFs that mention the driver, but none that another installed driver
// still comes from. Always TRUE: this step never ends a removal. `pUnsettled` gets the OEM INFs
// that mention the driver and were left without knowing their package (SetupAPI could not
// place one that had to be placed, or its pnputil was still at work when the wait ended): the
// driver-store clean-up keeps their packages, so that both clean-ups decide a package alike.
BOOL UninstallOemInfs(std::wstring driverName, const OtherDrivers& others,
                      std::vector<std::wstring>* pUnsettled = nullptr);
