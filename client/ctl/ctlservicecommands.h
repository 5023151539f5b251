#ifndef CTLSERVICECOMMANDS_H
#define CTLSERVICECOMMANDS_H

#include <QBasicTimer>
#include <QObject>
#include <QString>

#include "ctlformat.h"
#include "qvarvexserviceconnection.h"
#include "vpnserverinfo.h"

// A varvexctl command that talks to the service: one more client of it,
// whose coming and going changes nothing of the tunnel. Subclasses react to
// the service's notifications and end with an exit code.
class ServiceCommand : public QObject
{
    Q_OBJECT
public:
    explicit ServiceCommand(QObject* parent = nullptr);

    // Connects, runs the event loop until the command has finished, and
    // returns its exit code.
    int run();

protected:
    virtual void started() {}
    virtual void statusReceived(const CtlStatus& status) = 0;
    virtual void credentialsReceived(const QByteArray&) {}
    virtual void loginFailed() {}
    virtual void bandwidthReceived(uchar, uint, uint) {}
    // The wait set with waitAtMost() has run out.
    virtual void timedOut() = 0;

    void waitAtMost(int milliseconds);
    void finish(int exitCode, const QString& errorLine = QString());
    bool finished() const { return m_finished; }
    QVarvexServiceConnection& service() { return m_service; }

    void timerEvent(QTimerEvent* event) override;

private:
    QVarvexServiceConnection m_service;
    QBasicTimer m_waitTimer;
    QByteArray m_address;
    quint32 m_since = 0;
    bool m_finished = false;
};

// `status`: prints the first status notification.
class StatusCommand : public ServiceCommand
{
public:
    explicit StatusCommand(bool json)
        : m_json(json)
    {
    }

protected:
    void started() override;
    void statusReceived(const CtlStatus& status) override;
    void timedOut() override;

private:
    bool m_json;
};

// `disconnect`: sends the abort and waits for DISCONNECTED.
class DisconnectCommand : public ServiceCommand
{
protected:
    void statusReceived(const CtlStatus& status) override;
    void timedOut() override;

private:
    bool m_abortSent = false;
};

// `connect`: sends the connect request once the tunnel is down and the
// credentials are known, then waits for CONNECTED.
class ConnectCommand : public ServiceCommand
{
public:
    // Without a user name the service is asked for its credentials.
    ConnectCommand(const VPNServerInfo& server, const QString& username, const QString& password, int waitSeconds);

protected:
    void started() override;
    void statusReceived(const CtlStatus& status) override;
    void credentialsReceived(const QByteArray& credentials) override;
    void loginFailed() override;
    void timedOut() override;

private:
    void sendWhenReady();

    VPNServerInfo m_server;
    QString m_username;
    QString m_password;
    int m_waitSeconds;
    int m_lastStatus = -1;
    bool m_requestSent = false;
};

// `watch`: one line (or JSON object) per notification until interrupted.
class WatchCommand : public ServiceCommand
{
public:
    explicit WatchCommand(bool json);

protected:
    void started() override;
    void statusReceived(const CtlStatus& status) override;
    void loginFailed() override;
    void bandwidthReceived(uchar type, uint download, uint upload) override;
    void timedOut() override {}

private:
    bool m_json;
};

#endif // CTLSERVICECOMMANDS_H
