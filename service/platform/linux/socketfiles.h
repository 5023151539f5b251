#ifndef SOCKETFILES_H
#define SOCKETFILES_H

#include <QString>

#include <sys/types.h>

struct sockaddr_un;

// Socket files of the service, made so that nobody else can take their place
// or reach them before their access is set.
namespace SocketFiles {

// Fills in the address of a socket file; false (errno ENAMETOOLONG) when the
// path does not fit.
bool makeAddress(const QString& path, sockaddr_un* address);

// Creates path when missing (mode 0755) and checks that only root or this
// process's user can put files into it.
bool safeDirectory(const QString& path, QString* error);

// Binds and listens on a socket at path with the given mode and group
// (group -1 keeps the process's own). The socket is made in a private folder
// first and then renamed into place, so no one can connect before its mode is
// set and a link at path is replaced, never followed. Returns the listening
// descriptor, or -1 with *error set.
int bindInPlace(const QString& path, int mode, gid_t group, QString* error);

// True when something accepts connections at path.
bool answers(const QString& path);

} // namespace SocketFiles

#endif // SOCKETFILES_H
