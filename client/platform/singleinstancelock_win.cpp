#include "singleinstancelock.h"
#include "singleinstancelock_p.h"

#include <QCryptographicHash>

#include <windows.h>

// Windows: a named mutex in the logon session's own namespace ("Local\"),
// which the system releases when the process ends, however it ends.
QString SingleInstanceLock::lockDirectory()
{
    return QStringLiteral("Local\\");
}

SingleInstanceLock::SingleInstanceLock(const QString& key)
    : d(new SingleInstanceLockPrivate)
{
    // Paths are not case-sensitive on Windows: one program, one key.
    QCryptographicHash hash(QCryptographicHash::Sha1);
    hash.addData(key.toLower().toUtf8());
    d->path = lockDirectory() + QStringLiteral("varvexclient-") + QString::fromLatin1(hash.result().toHex().left(16));

    const HANDLE mutex = CreateMutexW(nullptr, TRUE, reinterpret_cast<const wchar_t*>(d->path.utf16()));
    const DWORD error = GetLastError();
    if (!mutex) {
        // ERROR_ACCESS_DENIED: someone holds the name with rights we lack.
        d->heldElsewhere = error == ERROR_ACCESS_DENIED;
        if (!d->heldElsewhere)
            qWarning("Cannot take the single-instance lock %s: error %lu", qPrintable(d->path), error);
        return;
    }
    if (error == ERROR_ALREADY_EXISTS) {
        d->heldElsewhere = true;
        CloseHandle(mutex);
        return;
    }
    d->mutex = mutex;
}

bool SingleInstanceLock::isHeldElsewhere() const
{
    return d->heldElsewhere;
}

bool SingleInstanceLock::isLocked() const
{
    return d->mutex != nullptr;
}

QString SingleInstanceLock::lockFilePath() const
{
    return d->path;
}

SingleInstanceLock::~SingleInstanceLock()
{
    if (d->mutex) {
        ReleaseMutex(d->mutex);
        CloseHandle(d->mutex);
    }
}
