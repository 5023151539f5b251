#ifndef SERVICECONTROL_H
#define SERVICECONTROL_H

#include <QObject>
#include <QString>

#include "servicecontrolcode.h"

class QLocalServer;
class QLocalSocket;

// Control requests between the command line and a running service, over a
// socket that only root and the service's own account may use. Requests
// carry the codes of servicecontrolcode.h.
namespace ServiceControl {

// Folder of the control socket: VARVEX_CONTROL_DIR when set, else /run/varvex.
QString directory();
QString socketPath(const QString& serviceName);
QString pidFilePath(const QString& serviceName);

// Sends one request and waits up to timeoutMs for the service to have handled
// it. On failure errno tells why.
bool send(const QString& serviceName, int code, int timeoutMs);
// True while a service listens on the control socket.
bool isRunning(const QString& serviceName);
// True when the control socket can no longer be reached, waiting up to
// attempts x intervalMs.
bool waitUntilGone(const QString& serviceName, int attempts, int intervalMs);

} // namespace ServiceControl

// The running service's end of the control socket. Requests are read on the
// thread that owns the object and handed on through controlRequested(); the
// sender gets its answer after every connected slot has returned.
class ServiceControlListener : public QObject
{
    Q_OBJECT
public:
    explicit ServiceControlListener(const QString& serviceName, QObject* parent = nullptr);
    ~ServiceControlListener() override;

    bool listen(QString* error);

signals:
    void controlRequested(int code);

private slots:
    void server_newConnection();
    void socket_readyRead();

private:
    bool peerAllowed(QLocalSocket* socket) const;
    void close();

    QString m_serviceName;
    QLocalServer* m_server = nullptr;
    bool m_ownsFiles = false;
};

#endif // SERVICECONTROL_H
