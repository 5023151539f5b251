#ifndef QVARVEXCOMMAND_H
#define QVARVEXCOMMAND_H

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QThread>

#include "varvexprotocol.h"

class OpenVpnProcess;
class QTimerEvent;

// Owns the OpenVPN process: starts it for a host and credentials, answers its
// prompts, follows its output, stops it on request and retries after an
// unexpected end. The object lives on the main thread; its own thread only
// runs an empty event loop.
class QVarvexCommand : public QThread
{
    Q_OBJECT
public:
    explicit QVarvexCommand(QObject* parent = nullptr);
    ~QVarvexCommand() override;

    void setStatus(int status);

    int status();
    uint connectTime();
    QByteArray deviceIP();
    QByteArray deviceName();
    QByteArray deviceGuid();

    // An attempt that has not brought the tunnel up within this time is ended
    // and counts as an unexpected end of OpenVPN.
    static const int DefaultConnectingTimeout = 60000;
    void setConnectingTimeout(int milliseconds);
    int connectingTimeout() const { return m_connectingTimeout; }

    bool reconnectPending() const { return m_reconnectTimerId != 0; }

    // The designed wait before reconnect attempt 1, 2 and 3.
    static int reconnectWait(int attempt);

    // Output bytes held for one line at most; a longer line is dropped.
    static const int MaxOutputLineLength = 64 * 1024;

    static QStringList openVpnArguments(const QString& host);
    static QString openVpnProgram();
    static QString openVpnWorkingDirectory();

signals:
    void statusUpdate(int state);
    void loginFailed();

public slots:
    void startVPN(QString host, QString username, QString password);
    void stopVPN();
    void stopReconnectTimer();

protected:
    void timerEvent(QTimerEvent* event) override;
    // Starts the reconnect wait and returns its timer id; tests shorten it.
    virtual int startReconnectTimer(int milliseconds);
    // Handles bytes OpenVPN wrote to standard output / standard error.
    void handleOutput(const QByteArray& bytes);
    void handleError(const QByteArray& chunk);
    int heldOutputSize() const { return m_outputBuffer.size(); }

private slots:
    void process_finished(int exitCode, QProcess::ExitStatus exitStatus);
    void process_error(QProcess::ProcessError error);
    void process_readyReadOutput();
    void process_readyReadError();
    void launchOpenVpn();

private:
    void handleLine(const QByteArray& line);
    void dropLongLine();
    void stopConnectingTimer();
    void connectingTimedOut();

    OpenVpnProcess* m_process;
    QByteArray m_outputBuffer;
    QByteArray m_deviceIP;
    QByteArray m_deviceName;
    QByteArray m_deviceGuid;
    QString m_host;
    QString m_username;
    QString m_password;
    int m_status = QVarvexCommandDisconnected;
    uint m_connectTime = 0;
    bool m_keepConnected = false;
    int m_reconnectCount = 0;
    int m_reconnectTimerId = 0;
    bool m_loginFailed = false;

    int m_connectingTimeout = DefaultConnectingTimeout;
    int m_connectingTimerId = 0;
    // Set while a stalled attempt is being killed, so its end counts as a
    // plain unexpected end rather than a process error.
    bool m_endingStalledAttempt = false;
    // Set while the rest of an over-long output line is being skipped.
    bool m_droppingLongLine = false;
};

#endif // QVARVEXCOMMAND_H
