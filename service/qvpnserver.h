#ifndef QVPNSERVER_H
#define QVPNSERVER_H

#include <QByteArray>
#include <QList>
#include <QLocalServer>

#include "localacceptguard.h"
#include "qvarvexcommand.h"
#include "qvpncertificate.h"
#include "qvpncredentials.h"
#include "varvexlog.h"

class QVPNClientConnection;
class QTimerEvent;

// The service's local server: accepts client programs, wires each to the one
// OpenVPN controller and samples the traffic counters once a second while
// any client is connected.
class QVPNServer : public QLocalServer
{
    Q_OBJECT
public:
    // Clients served at once. Each costs one file descriptor (its socket);
    // a connection beyond this many is closed as soon as it is accepted, so
    // that one local user cannot run the service out of descriptors.
    static const int MaxClientConnections = 256;
    // Descriptors left for the service's own use (its threads' wakeup
    // handles, OpenVPN's pipes, web requests, settings and log files) when
    // the process may open only a few: running out of them ends the process,
    // so under a low limit fewer clients are admitted.
    static const int DescriptorsKeptForTheService = 64;

    // The number of clients admitted at once under this process's limit.
    int clientConnectionLimit() const { return m_clientConnectionLimit; }

    explicit QVPNServer(QObject* parent);
    ~QVPNServer() override;

    static QVPNServer* instance();
    QVarvexCommand* command();

    void start();
    void stop();

    static QByteArray getNICDeviceNameFromGuid(const char* guid);
    static bool getNICBytes(QByteArray guid, uint* downloadBytes, uint* uploadBytes);

    // The log threshold that a "LogLevel" setting stands for.
    static int logThresholdForLevel(int logLevel);
    // The token in an installer's path; false (with the reason logged) when
    // the path does not have the expected form.
    static bool installerToken(const QString& installerName, QString* token);

    int clientCount() const { return m_workers.size(); }
    bool bandwidthTimerRunning() const { return m_BandwidthMonitorTimer != 0; }

signals:
    void updateBandwidthInfo(uchar status, uint downloadBytes, uint uploadBytes);

protected:
    void timerEvent(QTimerEvent* event) override;
    void incomingConnection(quintptr socketDescriptor) override;

private slots:
    void worker_disconnected();

private:
    // One Warning at start when the web API is used without TLS.
    void logWebApiTransport();
    bool listenOrReclaim(const QString& name);
    void attachAcceptGuard();

    QVarvexCommand m_command;
    QList<QVPNClientConnection*> m_workers;
    QVPNCredentials m_credentials;
    QVPNCertificate m_certificate;
    int m_BandwidthMonitorTimer = 0;
    QString m_socketPath;
    LocalAcceptGuard m_acceptGuard;
    int m_clientConnectionLimit = MaxClientConnections;
    VarvexLogSummary m_refusalLog;

    static QVPNServer* s_instance;
};

#endif // QVPNSERVER_H
