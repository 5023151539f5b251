#ifndef CLIENTACCESS_H
#define CLIENTACCESS_H

#include <QString>

class QLocalServer;

// Who may use the service's local socket: one decision of the system's
// administrator, made with a group. When the group exists, the socket
// belongs to root and that group with mode 0660; when it does not, every
// local user may connect. The provisioned credentials go only to root, to
// the service's own user and to members of the group.
namespace ClientAccess {

// The group's name: "varvex".
QString groupName();

// Listens at path (a folder only the service's account can write, created
// when missing) with the access above. A socket left at path by an instance
// that no longer answers is replaced and *staleReplaced set; a live one is
// left alone. False with *error saying why.
bool listen(QLocalServer* server, const QString& path, bool* staleReplaced, QString* error);

// Removes the socket file at path after the server stopped listening.
void removeSocketFile(const QString& path);

// True when the peer of the connected socket may read the provisioned
// credentials. *peer describes the peer for the log.
bool peerMayReadCredentials(qintptr socketDescriptor, QString* peer);

} // namespace ClientAccess

#endif // CLIENTACCESS_H
