#pragma once
#include <windows.h>
#include <string>
#include <vector>

// What a removal does with one thing it finds, and the rule that decided it: the clean-ups
// decide through the same functions whether they act (a removal) or only record (a plan).
struct Decision {
    bool bRemove = false;
    const wchar_t* pRule = L"";  // a short English token that never changes (see docs/managed-pcs.md)
    std::wstring strBecause;     // what decided a keep (a driver, a printer, an INF), or why a remove
};

// One line of a removal's plan: an item ("printer", "driver", "spool-file", "driver-file",
// "oem-inf", "package", "device"), its target (a name, a full path, a device instance ID) and
// the decision on it.
struct PlanItem {
    const wchar_t* pItem = L"";
    std::wstring strTarget;
    Decision decision;
};
typedef std::vector<PlanItem> RemovalPlan;

// Adds a line, or merges it into the line that plans the same target already: a removal of
// several rows deletes what any row's clean-up deletes, so a remove outweighs a keep.
void AddToPlan(RemovalPlan& plan, const wchar_t* pItem, const std::wstring& strTarget, const Decision& decision);
