#ifndef SINGLEINSTANCELOCK_P_H
#define SINGLEINSTANCELOCK_P_H

//
// Not part of the lock's interface: only its implementation includes this.
//

#include <QString>

class SingleInstanceLockPrivate
{
public:
#ifdef Q_OS_WIN
    void* mutex = nullptr; // the named mutex, owned for as long as the lock is held
#else
    int fd = -1; // the locked file, open for as long as the lock is held
#endif
    bool heldElsewhere = false;
    QString path;
};

#endif // SINGLEINSTANCELOCK_P_H
