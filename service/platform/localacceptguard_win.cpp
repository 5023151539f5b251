#include "localacceptguard.h"
#include "localacceptguard_p.h"

// Windows: the toolkit's pipe server keeps listening when one connection
// fails, and there is no descriptor limit to run into: the toolkit accepts,
// and there is nothing to guard.
LocalAcceptGuard::LocalAcceptGuard(QObject* parent)
    : QObject(parent)
    , d(new LocalAcceptGuardPrivate)
{
}

LocalAcceptGuard::~LocalAcceptGuard() = default;

bool LocalAcceptGuard::attach(QLocalServer* server, Deliver deliver, Refused outOfDescriptors)
{
    Q_UNUSED(server);
    Q_UNUSED(deliver);
    Q_UNUSED(outOfDescriptors);
    return true;
}

long LocalAcceptGuard::raiseDescriptorLimit()
{
    return -1;
}

void LocalAcceptGuard::notifier_activated()
{
}

bool LocalAcceptGuard::openReserve()
{
    return false;
}
