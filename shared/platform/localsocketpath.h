#ifndef LOCALSOCKETPATH_H
#define LOCALSOCKETPATH_H

#include <QString>

// Where the service's local socket lives. Both programs must agree on it, and
// the folder must be one that only the service's account can write, so that
// nobody else can put a socket where the client looks.
namespace LocalSocketPath {

// VARVEX_SOCKET_DIR when set, else /run/varvex.
QString directory();
// The full path of the socket named name in that folder.
QString forName(const QString& name);

} // namespace LocalSocketPath

#endif // LOCALSOCKETPATH_H
