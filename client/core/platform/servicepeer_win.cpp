#include "servicepeer.h"

#include "processaccount.h"

#include <windows.h>

// Windows: whoever creates \\.\pipe\<name> first serves it. The service runs
// as LocalSystem; a pipe served by anyone but LocalSystem or this user gets
// nothing from the client.
namespace ServicePeer {

bool isTrusted(qintptr socketDescriptor, QString* reason)
{
    ULONG pid = 0;
    if (!GetNamedPipeServerProcessId(HANDLE(socketDescriptor), &pid)) {
        *reason = QStringLiteral("the service's user cannot be told");
        return false;
    }
    QString account;
    switch (ProcessAccount::ofProcess(pid, &account)) {
    case ProcessAccount::Kind::LocalSystem:
    case ProcessAccount::Kind::SameUser:
        return true;
    case ProcessAccount::Kind::Unknown:
        *reason = QStringLiteral("the service's user cannot be told (%1)").arg(account);
        return false;
    case ProcessAccount::Kind::Administrator:
    case ProcessAccount::Kind::Other:
        break;
    }
    *reason = QStringLiteral("the service pipe belongs to %1, neither LocalSystem nor this user").arg(account);
    return false;
}

} // namespace ServicePeer
