#ifndef SINGLEINSTANCELOCK_H
#define SINGLEINSTANCELOCK_H

#include <QString>

#include <memory>

class SingleInstanceLockPrivate;

// A lock held for the lifetime of the object (and of the process: the
// system drops it when the process ends, however it ends). Only one holder
// per key and user session.
class SingleInstanceLock
{
public:
    // The key is usually the executable's path; the user's session is
    // added to it here.
    explicit SingleInstanceLock(const QString& key);
    ~SingleInstanceLock();

    SingleInstanceLock(const SingleInstanceLock&) = delete;
    SingleInstanceLock& operator=(const SingleInstanceLock&) = delete;

    // True when another holder of the same key already holds the lock.
    bool isHeldElsewhere() const;
    // True when this object holds the lock.
    bool isLocked() const;
    // The lock file used, empty when no safe place for it was found.
    QString lockFilePath() const;

    // The folder for per-user lock files: XDG_RUNTIME_DIR, else a private
    // folder named after the user id in the temporary directory.
    static QString lockDirectory();

private:
    // What the platform keeps for the lock.
    std::unique_ptr<SingleInstanceLockPrivate> d;
};

#endif // SINGLEINSTANCELOCK_H
