#ifndef LOCALACCEPTGUARD_H
#define LOCALACCEPTGUARD_H

#include <QObject>

#include <functional>
#include <memory>

class QLocalServer;
class LocalAcceptGuardPrivate;

// Accepts the connections of a listening QLocalServer in its place. The
// toolkit's own accept closes the whole server (and frees its name) when one
// accept fails, as it does when the process is out of file descriptors; here
// such a connection is closed at once and the server goes on listening.
// Accepted descriptors are handed to the callback as the toolkit would hand
// them to incomingConnection().
class LocalAcceptGuard : public QObject
{
    Q_OBJECT
public:
    using Deliver = std::function<void(quintptr socketDescriptor)>;
    using Refused = std::function<void()>;

    explicit LocalAcceptGuard(QObject* parent = nullptr);
    ~LocalAcceptGuard() override;

    // Call after each successful listen(). False when the server's way of
    // accepting is not the one this guard knows; the toolkit then accepts.
    bool attach(QLocalServer* server, Deliver deliver, Refused outOfDescriptors);

    // Raises the process's soft limit on open files to its hard limit and
    // returns the limit now in force (-1 for none known).
    static long raiseDescriptorLimit();

private slots:
    void notifier_activated();

private:
    bool openReserve();

    // The platform's listening socket, spare descriptor and callbacks.
    std::unique_ptr<LocalAcceptGuardPrivate> d;
};

#endif // LOCALACCEPTGUARD_H
