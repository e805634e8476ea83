#include "cleanup/RemovalPlan.h"

#include <cwchar>

void AddToPlan(RemovalPlan& plan, const wchar_t* pItem, const std::wstring& strTarget, const Decision& decision)
{
    for (PlanItem& line : plan) {
        if (wcscmp(line.pItem, pItem) != 0 ||
            CompareStringOrdinal(line.strTarget.c_str(), -1, strTarget.c_str(), -1, TRUE) != CSTR_EQUAL)
            continue;
        if (decision.bRemove && !line.decision.bRemove)
            line.decision = decision;
        return;
    }
    PlanItem line;
    line.pItem = pItem;
    line.strTarget = strTarget;
    line.decision = decision;
    plan.push_back(line);
}
