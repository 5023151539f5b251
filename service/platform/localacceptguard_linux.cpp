#include "localacceptguard.h"
#include "localacceptguard_p.h"

#include <QLocalServer>
#include <QTimer>

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// Enough to empty a burst of waiting connections without holding up the
// event loop for long.
const int AcceptsPerActivation = 32;
} // namespace

LocalAcceptGuard::LocalAcceptGuard(QObject* parent)
    : QObject(parent)
    , d(new LocalAcceptGuardPrivate)
{
}

LocalAcceptGuard::~LocalAcceptGuard()
{
    if (d->reserve >= 0)
        ::close(d->reserve);
}

long LocalAcceptGuard::raiseDescriptorLimit()
{
    rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return -1;
    if (limit.rlim_cur < limit.rlim_max) {
        const rlim_t before = limit.rlim_cur;
        limit.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0)
            limit.rlim_cur = before;
    }
    if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > rlim_t(LONG_MAX))
        return LONG_MAX;
    return long(limit.rlim_cur);
}

bool LocalAcceptGuard::openReserve()
{
    if (d->reserve < 0)
        d->reserve = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    return d->reserve >= 0;
}

bool LocalAcceptGuard::attach(QLocalServer* server, Deliver deliver, Refused outOfDescriptors)
{
    const int listenSocket = int(server->socketDescriptor());
    QSocketNotifier* found = nullptr;
    for (QSocketNotifier* notifier : server->findChildren<QSocketNotifier*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (notifier->socket() == listenSocket && notifier->type() == QSocketNotifier::Read && notifier->isEnabled())
            found = notifier;
    }
    if (listenSocket < 0 || !found)
        return false;
    const int flags = ::fcntl(listenSocket, F_GETFL);
    if (flags < 0 || ::fcntl(listenSocket, F_SETFL, flags | O_NONBLOCK) != 0)
        return false;

    // Ours is connected first: should the toolkit's notifier ever lack this
    // signal, the server keeps its own accept path untouched.
    if (d->notifier)
        QObject::disconnect(d->notifier, nullptr, this, nullptr);
    if (!connect(found, SIGNAL(activated(QSocketDescriptor)), this, SLOT(notifier_activated()))) {
        d->notifier = nullptr;
        return false;
    }
    // The toolkit's notifier stays (it is the server's, and goes when the
    // server closes); only its reaction is replaced. If nothing of the
    // server's was connected to it, the toolkit accepts some other way and
    // both would race for each connection: undo ours.
    if (!QObject::disconnect(found, nullptr, server, nullptr)) {
        QObject::disconnect(found, nullptr, this, nullptr);
        d->notifier = nullptr;
        return false;
    }
    d->notifier = found;
    d->listenSocket = listenSocket;
    d->deliver = std::move(deliver);
    d->outOfDescriptors = std::move(outOfDescriptors);
    openReserve();
    return true;
}

void LocalAcceptGuard::notifier_activated()
{
    for (int i = 0; i < AcceptsPerActivation; ++i) {
        const int socket = ::accept4(d->listenSocket, nullptr, nullptr, SOCK_CLOEXEC);
        if (socket >= 0) {
            d->deliver(quintptr(socket));
            continue;
        }
        if (errno == EINTR || errno == ECONNABORTED)
            continue;
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
            // Left waiting, the connection would wake the loop again at once.
            // Give up the reserved descriptor to take the connection and
            // close it, and to write the line that says so.
            if (d->reserve >= 0) {
                ::close(d->reserve);
                d->reserve = -1;
                const int refused = ::accept4(d->listenSocket, nullptr, nullptr, SOCK_CLOEXEC);
                if (refused >= 0)
                    ::close(refused);
            }
            if (d->outOfDescriptors)
                d->outOfDescriptors();
            if (!openReserve()) {
                // Nothing to take the next one with: look again a little
                // later rather than spin.
                d->notifier->setEnabled(false);
                QTimer::singleShot(100, this, [this]() {
                    if (d->notifier)
                        d->notifier->setEnabled(true);
                });
            }
        }
        return;  // EAGAIN: nothing more waiting
    }
}
