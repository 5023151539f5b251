#include "nofollowfile.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool ownedByUs(const struct stat& info)
{
    return info.st_uid == 0 || info.st_uid == ::geteuid();
}

// A folder that only root can change: owned by root, writable by nobody else.
bool rootOnlyFolder(const QString& folder)
{
    struct stat info;
    return ::stat(QFile::encodeName(folder).constData(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == 0
        && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Where a write to path really goes. A link that only root could have made
// (owned by root, in a folder only root can change, pointing into such a
// folder) is taken as an administrator's choice, as a package makes to keep
// run-time files out of /usr; any other link is left in place, so the open
// below refuses it and a replacement by rename takes the link's place.
QString trustedTarget(const QString& path)
{
    struct stat info;
    const QByteArray encoded = QFile::encodeName(path);
    if (::lstat(encoded.constData(), &info) != 0 || !S_ISLNK(info.st_mode) || info.st_uid != 0
        || !rootOnlyFolder(QFileInfo(path).absolutePath()))
        return path;
    char resolved[PATH_MAX];
    if (!::realpath(encoded.constData(), resolved)) {
        // A dangling link: its target may not exist yet.
        const QString target = QFileInfo(path).symLinkTarget();
        return !target.isEmpty() && rootOnlyFolder(QFileInfo(target).absolutePath()) ? target : path;
    }
    const QString target = QFile::decodeName(resolved);
    return rootOnlyFolder(QFileInfo(target).absolutePath()) ? target : path;
}

// O_NONBLOCK keeps a planted FIFO from holding the open; O_NOFOLLOW makes
// a link at the path fail with ELOOP.
int openPlainFile(const QString& path, int flags, int createMode)
{
    const int fd = ::open(QFile::encodeName(trustedTarget(path)).constData(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                          mode_t(createMode));
    if (fd < 0)
        return -1;
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1 || !ownedByUs(info)) {
        ::close(fd);
        errno = EPERM;
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

} // namespace

namespace NoFollowFile {

bool openForAppend(QFile* file, const QString& path, int createMode)
{
    const int fd = openPlainFile(path, O_WRONLY | O_APPEND | O_CREAT, createMode);
    if (fd < 0)
        return false;
    if (!file->open(fd, QIODevice::WriteOnly | QIODevice::Append, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    return true;
}

bool restrictToOwner(const QString& path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    const int fd = openPlainFile(path, O_RDONLY | O_CREAT, 0600);
    if (fd < 0)
        return false;
    struct stat info;
    const bool ok = ::fstat(fd, &info) == 0 && info.st_uid == ::geteuid()
        && ((info.st_mode & 07777) == 0600 || ::fchmod(fd, 0600) == 0);
    ::close(fd);
    return ok;
}

} // namespace NoFollowFile

NoFollowSaveFile::NoFollowSaveFile(const QString& path, int mode)
    : m_path(trustedTarget(path))
    , m_mode(mode)
{
}

NoFollowSaveFile::~NoFollowSaveFile()
{
    cancelWriting();
}

bool NoFollowSaveFile::open()
{
    cancelWriting();
    const QByteArray path = QFile::encodeName(m_path);
    struct stat info;
    if (::lstat(path.constData(), &info) == 0) {
        if (S_ISDIR(info.st_mode))
            return false;
        // A plain file that we may not write stays as it is; a link or a
        // file of another user is simply replaced.
        if (S_ISREG(info.st_mode) && ownedByUs(info) && ::access(path.constData(), W_OK) != 0)
            return false;
    }
    m_temporaryPath = path + ".XXXXXX";
    m_fd = ::mkostemp(m_temporaryPath.data(), O_CLOEXEC);
    if (m_fd < 0) {
        m_temporaryPath.clear();
        return false;
    }
    m_failed = ::fchmod(m_fd, mode_t(m_mode)) != 0;
    return true;
}

qint64 NoFollowSaveFile::write(const QByteArray& data)
{
    if (m_fd < 0)
        return -1;
    const char* next = data.constData();
    qint64 left = data.size();
    while (left > 0) {
        const ssize_t written = ::write(m_fd, next, size_t(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            m_failed = true;
            return -1;
        }
        next += written;
        left -= written;
    }
    return data.size();
}

bool NoFollowSaveFile::commit()
{
    if (m_fd < 0)
        return false;
    const bool synced = ::fsync(m_fd) == 0;
    const bool closed = ::close(m_fd) == 0;
    m_fd = -1;
    if (m_failed || !synced || !closed
        || ::rename(m_temporaryPath.constData(), QFile::encodeName(m_path).constData()) != 0) {
        cancelWriting();
        return false;
    }
    m_temporaryPath.clear();
    return true;
}

void NoFollowSaveFile::cancelWriting()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    if (!m_temporaryPath.isEmpty()) {
        ::unlink(m_temporaryPath.constData());
        m_temporaryPath.clear();
    }
    m_failed = false;
}
