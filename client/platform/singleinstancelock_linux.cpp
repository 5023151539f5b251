#include "singleinstancelock.h"
#include "singleinstancelock_p.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QtGlobal>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The login session: the desktop's own id when there is one, else the
// kernel's audit session of this process.
QByteArray sessionId()
{
    const QByteArray xdg = qgetenv("XDG_SESSION_ID");
    if (!xdg.isEmpty())
        return "xdg:" + xdg;
    QFile audit(QStringLiteral("/proc/self/sessionid"));
    if (audit.open(QIODevice::ReadOnly)) {
        const QByteArray id = audit.readAll().trimmed();
        // 4294967295 means "no audit session".
        if (!id.isEmpty() && id != "4294967295")
            return "audit:" + id;
    }
    return QByteArray();
}

// A folder only this user can write to: anything else (someone else's
// folder, a symbolic link, open permissions) could let another user hold
// or fake the lock.
bool isPrivateDirectory(const QByteArray& path)
{
    struct stat info;
    if (lstat(path.constData(), &info) != 0)
        return false;
    return S_ISDIR(info.st_mode) && info.st_uid == geteuid() && (info.st_mode & 022) == 0;
}

} // namespace

QString SingleInstanceLock::lockDirectory()
{
    // Read here rather than through QStandardPaths::RuntimeLocation: that
    // makes a folder of its own, with a warning, when the variable is unset,
    // where the lock has its own fallback below.
    const QString runtime = QString::fromLocal8Bit(qgetenv("XDG_RUNTIME_DIR"));
    if (!runtime.isEmpty() && QDir::isAbsolutePath(runtime) && isPrivateDirectory(QFile::encodeName(runtime)))
        return runtime;

    const QString fallback = QDir::tempPath() + QStringLiteral("/varvex-") + QString::number(geteuid());
    const QByteArray encoded = QFile::encodeName(fallback);
    if (mkdir(encoded.constData(), 0700) != 0 && errno != EEXIST)
        return QString();
    return isPrivateDirectory(encoded) ? fallback : QString();
}

SingleInstanceLock::SingleInstanceLock(const QString& key)
    : d(new SingleInstanceLockPrivate)
{
    const QString dir = lockDirectory();
    if (dir.isEmpty()) {
        qWarning("No private folder for the single-instance lock; not checking for another client.");
        return;
    }
    QCryptographicHash hash(QCryptographicHash::Sha1);
    hash.addData(key.toUtf8());
    hash.addData("\n", 1);
    hash.addData(sessionId());
    d->path = dir + QStringLiteral("/varvexclient-") + QString::fromLatin1(hash.result().toHex().left(16)) + QStringLiteral(".lock");

    const int fd = open(QFile::encodeName(d->path).constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        qWarning("Cannot open the single-instance lock %s: %s", qPrintable(d->path), strerror(errno));
        return;
    }
    int result;
    do {
        result = flock(fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        d->heldElsewhere = (errno == EWOULDBLOCK);
        if (!d->heldElsewhere)
            qWarning("Cannot take the single-instance lock %s: %s", qPrintable(d->path), strerror(errno));
        close(fd);
        return;
    }
    d->fd = fd;
}

bool SingleInstanceLock::isHeldElsewhere() const
{
    return d->heldElsewhere;
}

bool SingleInstanceLock::isLocked() const
{
    return d->fd >= 0;
}

QString SingleInstanceLock::lockFilePath() const
{
    return d->path;
}

SingleInstanceLock::~SingleInstanceLock()
{
    // The file stays: removing it while another starter has it open would
    // let two instances lock two different files.
    if (d->fd >= 0)
        close(d->fd);
}
