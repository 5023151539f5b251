#ifndef LOCALACCEPTGUARD_P_H
#define LOCALACCEPTGUARD_P_H

//
// Not part of the guard's interface: only its implementation includes this.
//

#include <QPointer>
#include <QSocketNotifier>

#include "localacceptguard.h"

class LocalAcceptGuardPrivate
{
public:
    QPointer<QSocketNotifier> notifier; // the server's own read notifier
    int listenSocket = -1;
    // Kept open so that one descriptor is always free to take and close a
    // connection with when the process has run out.
    int reserve = -1;
    LocalAcceptGuard::Deliver deliver;
    LocalAcceptGuard::Refused outOfDescriptors;
};

#endif // LOCALACCEPTGUARD_P_H
