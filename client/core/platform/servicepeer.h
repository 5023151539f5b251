#ifndef SERVICEPEER_H
#define SERVICEPEER_H

#include <QString>

// Who is at the other end of the service socket. Only a service running as
// root, or as this client's own user (development, tests), is trusted with
// the user's password; anyone else may have put a socket where the client
// looks.
namespace ServicePeer {

// True when the peer of the connected socket may be talked to; otherwise
// *reason says why not.
bool isTrusted(qintptr socketDescriptor, QString* reason);

} // namespace ServicePeer

#endif // SERVICEPEER_H
