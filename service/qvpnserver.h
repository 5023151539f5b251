#ifndef QVPNSERVER_H
#define QVPNSERVER_H

#include <QByteArray>
#include <QList>
#include <QLocalServer>

#include "qvarvexcommand.h"
#include "qvpncertificate.h"
#include "qvpncredentials.h"

class QVPNClientConnection;
class QTimerEvent;

// The service's local server: accepts client programs, wires each to the one
// OpenVPN controller and samples the traffic counters once a second while
// any client is connected.
class QVPNServer : public QLocalServer
{
    Q_OBJECT
public:
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
    bool listenOrReclaim(const QString& name);

    QVarvexCommand m_command;
    QList<QVPNClientConnection*> m_workers;
    QVPNCredentials m_credentials;
    QVPNCertificate m_certificate;
    int m_BandwidthMonitorTimer = 0;
    QString m_socketPath;

    static QVPNServer* s_instance;
};

#endif // QVPNSERVER_H
