#include "clientaccess.h"

#include <QLocalServer>

#include "processaccount.h"

#include <windows.h>

// Windows: the socket is the named pipe \\.\pipe\<name>, open to every
// local user (the server's world access). The provisioned credentials go to
// LocalSystem, the service's own account and the local administrators.
namespace ClientAccess {

QString groupName()
{
    return QStringLiteral("Administrators");
}

bool listen(QLocalServer* server, const QString& path, bool* staleReplaced, QString* error)
{
    // A pipe disappears with the last process that serves it: nothing can
    // be stale. A pipe of the same name that exists now is a running
    // instance, or someone else's, and either way not ours to share.
    *staleReplaced = false;
    const std::wstring pipe = (QStringLiteral("\\\\.\\pipe\\") + path).toStdWString();
    if (WaitNamedPipeW(pipe.c_str(), 1) || GetLastError() != ERROR_FILE_NOT_FOUND) {
        *error = QStringLiteral("another process serves the pipe %1").arg(path);
        return false;
    }
    if (!server->listen(path)) {
        *error = server->errorString();
        return false;
    }
    return true;
}

void removeSocketFile(const QString& path)
{
    Q_UNUSED(path); // the pipe went when the server closed
}

bool peerMayReadCredentials(qintptr socketDescriptor, QString* peer)
{
    ULONG pid = 0;
    if (!GetNamedPipeClientProcessId(HANDLE(socketDescriptor), &pid)) {
        *peer = QStringLiteral("a peer of unknown identity");
        return false;
    }
    switch (ProcessAccount::ofProcess(pid, peer)) {
    case ProcessAccount::Kind::LocalSystem:
    case ProcessAccount::Kind::SameUser:
    case ProcessAccount::Kind::Administrator:
        return true;
    case ProcessAccount::Kind::Unknown:
    case ProcessAccount::Kind::Other:
        break;
    }
    return false;
}

} // namespace ClientAccess
