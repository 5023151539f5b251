#include "clientaccess.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QVector>

#include "socketfiles.h"

#include <cerrno>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char kGroupName[] = "varvex";
const int kGroupSocketMode = 0660;
const int kOpenSocketMode = 0666;
// Supplementary groups a peer may have (NGROUPS_MAX on Linux).
const int kMaxPeerGroups = 65536;

// The group's id, or false when the group does not exist.
bool groupId(gid_t* id)
{
    group entry;
    group* found = nullptr;
    QByteArray buffer(16384, Qt::Uninitialized);
    while (getgrnam_r(kGroupName, &entry, buffer.data(), size_t(buffer.size()), &found) == ERANGE
           && buffer.size() < (1 << 22))
        buffer.resize(buffer.size() * 2);
    if (!found)
        return false;
    *id = found->gr_gid;
    return true;
}

// The groups the peer's process had when it connected.
bool peerHasGroup(int fd, gid_t primary, gid_t wanted)
{
    if (primary == wanted)
        return true;
    QVector<gid_t> groups(64);
    socklen_t length = socklen_t(groups.size() * int(sizeof(gid_t)));
    while (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &length) != 0) {
        if (errno != ERANGE || groups.size() >= kMaxPeerGroups)
            return false;
        groups.resize(int(length / sizeof(gid_t)) + 1);
        length = socklen_t(groups.size() * int(sizeof(gid_t)));
    }
    const int count = int(length / sizeof(gid_t));
    for (int i = 0; i < count; ++i) {
        if (groups.at(i) == wanted)
            return true;
    }
    return false;
}

} // namespace

namespace ClientAccess {

QString groupName()
{
    return QString::fromLatin1(kGroupName);
}

bool listen(QLocalServer* server, const QString& path, bool* staleReplaced, QString* error)
{
    *staleReplaced = false;
    if (!SocketFiles::safeDirectory(QFileInfo(path).absolutePath(), error))
        return false;

    struct stat info;
    if (::lstat(QFile::encodeName(path).constData(), &info) == 0) {
        if (!S_ISSOCK(info.st_mode)) {
            *error = QStringLiteral("%1 is not a socket").arg(path);
            return false;
        }
        if (SocketFiles::answers(path)) {
            *error = QStringLiteral("another instance listens on %1").arg(path);
            return false;
        }
        *staleReplaced = true;
    }

    gid_t socketGroup = gid_t(-1);
    const bool grouped = groupId(&socketGroup);
    const int fd = SocketFiles::bindInPlace(path, grouped ? kGroupSocketMode : kOpenSocketMode, socketGroup, error);
    if (fd < 0)
        return false;
    if (!server->listen(fd)) {
        *error = server->errorString();
        ::close(fd);
        ::unlink(QFile::encodeName(path).constData());
        return false;
    }
    return true;
}

void removeSocketFile(const QString& path)
{
    struct stat info;
    if (::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISSOCK(info.st_mode))
        ::unlink(QFile::encodeName(path).constData());
}

bool peerMayReadCredentials(qintptr socketDescriptor, QString* peer)
{
    const int fd = int(socketDescriptor);
    ucred credentials;
    socklen_t length = sizeof(credentials);
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
        *peer = QStringLiteral("a peer of unknown identity");
        return false;
    }
    *peer = QStringLiteral("process %1 of user %2").arg(credentials.pid).arg(credentials.uid);
    if (credentials.uid == 0 || credentials.uid == ::geteuid())
        return true;
    gid_t allowedGroup = 0;
    return groupId(&allowedGroup) && peerHasGroup(fd, credentials.gid, allowedGroup);
}

} // namespace ClientAccess
