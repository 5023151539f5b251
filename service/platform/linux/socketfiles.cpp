#include "socketfiles.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

namespace SocketFiles {

bool makeAddress(const QString& path, sockaddr_un* address)
{
    const QByteArray bytes = QFile::encodeName(path);
    std::memset(address, 0, sizeof(*address));
    address->sun_family = AF_UNIX;
    if (size_t(bytes.size()) >= sizeof(address->sun_path)) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(address->sun_path, bytes.constData(), size_t(bytes.size()));
    return true;
}

bool safeDirectory(const QString& path, QString* error)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    if (::mkdir(QFile::encodeName(path).constData(), 0755) != 0 && errno != EEXIST) {
        *error = QStringLiteral("cannot create %1: %2").arg(path, systemError(errno));
        return false;
    }
    struct stat info;
    if (::stat(QFile::encodeName(path).constData(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        *error = QStringLiteral("%1 is not a folder").arg(path);
        return false;
    }
    if ((info.st_uid != 0 && info.st_uid != ::geteuid()) || (info.st_mode & (S_IWGRP | S_IWOTH))) {
        *error = QStringLiteral("%1 may be written by other users").arg(path);
        return false;
    }
    return true;
}

int bindInPlace(const QString& path, int mode, gid_t group, QString* error)
{
    const QString directory = QFileInfo(path).absolutePath();
    QByteArray scratch = QFile::encodeName(directory + QStringLiteral("/.socket-XXXXXX"));
    if (!::mkdtemp(scratch.data())) {
        *error = QStringLiteral("cannot create a folder in %1: %2").arg(directory, systemError(errno));
        return -1;
    }
    const QByteArray scratchSocket = scratch + "/s";

    int fd = -1;
    sockaddr_un scratchAddress;
    sockaddr_un finalAddress;
    const char* failed = nullptr;
    if (!makeAddress(QFile::decodeName(scratchSocket), &scratchAddress) || !makeAddress(path, &finalAddress))
        failed = "path too long";
    else if ((fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) < 0)
        failed = "socket";
    else if (::bind(fd, reinterpret_cast<const sockaddr*>(&scratchAddress), sizeof(scratchAddress)) != 0)
        failed = "bind";
    else if (group != gid_t(-1) && ::chown(scratchSocket.constData(), uid_t(-1), group) != 0)
        failed = "chown";
    else if (::chmod(scratchSocket.constData(), mode_t(mode)) != 0)
        failed = "chmod";
    else if (::listen(fd, 50) != 0)
        failed = "listen";
    else if (::rename(scratchSocket.constData(), QFile::encodeName(path).constData()) != 0)
        failed = "rename";

    const int savedErrno = errno;
    ::unlink(scratchSocket.constData());
    ::rmdir(scratch.constData());
    if (failed) {
        *error = QStringLiteral("%1: %2").arg(QLatin1String(failed), systemError(savedErrno));
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    return fd;
}

bool answers(const QString& path)
{
    sockaddr_un address;
    if (!makeAddress(path, &address))
        return false;
    // Without blocking: a listener whose backlog is full still answers.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    const bool connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0
        || errno == EAGAIN;
    ::close(fd);
    return connected;
}

} // namespace SocketFiles
