#include "servicepeer.h"

#include <sys/socket.h>
#include <unistd.h>

namespace ServicePeer {

bool isTrusted(qintptr socketDescriptor, QString* reason)
{
    ucred peer;
    socklen_t length = sizeof(peer);
    if (::getsockopt(int(socketDescriptor), SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) {
        *reason = QStringLiteral("the service's user cannot be told");
        return false;
    }
    if (peer.uid == 0 || peer.uid == ::geteuid())
        return true;
    *reason = QStringLiteral("the service socket belongs to a process of user %1 (process %2), "
                             "neither root nor this user")
                  .arg(peer.uid)
                  .arg(peer.pid);
    return false;
}

} // namespace ServicePeer
