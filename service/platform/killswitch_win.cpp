#include "killswitch.h"

// Windows: no kill switch yet. Its equivalent would be a filter set of the
// Windows Filtering Platform; until one exists nothing is blocked, no plan
// is recorded, and no block can be left behind.
namespace KillSwitch {

bool available()
{
    return false;
}

bool block(const Plan&, QString* error)
{
    *error = QStringLiteral("this platform has no kill switch");
    return false;
}

bool lift(QString*)
{
    return true;
}

bool blockPresent(bool* present, QString*)
{
    *present = false;
    return true;
}

bool wantedPlan(Plan*)
{
    return false;
}

void forgetPlan()
{
}

} // namespace KillSwitch
