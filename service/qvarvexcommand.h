#ifndef QVARVEXCOMMAND_H
#define QVARVEXCOMMAND_H

#include <QByteArray>
#include <QHostInfo>
#include <QProcess>
#include <QString>
#include <QThread>

#include "killswitch.h"
#include "varvexprotocol.h"

class NetworkJobs;
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

    // True while the kill switch's block stands, or is going up, for a
    // tunnel that is wanted.
    bool blockStands() const { return m_blockStands || (m_killSwitch && m_keepConnected); }
    // At the service's start: undoes what a killed tunnel left, and keeps
    // the block of a tunnel that was still wanted (status 4, no reconnect
    // timer until a client asks) or removes one that was not.
    void resumeAfterRestart();
    // Network changes waiting to be made at most when a start is taken: a
    // client that connects and aborts in a loop cannot grow the queue.
    static const int MaxPendingNetworkJobs = 16;
    // How long the server's name may take to resolve before the attempt fails.
    static const int HostLookupTimeout = 20000;

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
    void hostLookedUp(const QHostInfo& info);

private:
    void launchOpenVpn(int attempt);
    void tunnelCompleted();
    void raiseBlock(int attempt);
    // Ends an attempt that could not begin: Critical line, status 3, no block.
    void failStart(const QString& reason);
    // Queues the undo of the tunnel's DNS and routes, then, when asked, the
    // lifting of the block, as one step of the network jobs.
    void undoNetworkChanges(bool liftBlock);
    bool blockMayStand() const { return m_killSwitch || m_blockStands; }
    void handleLine(const QByteArray& line);
    void dropLongLine();
    void stopConnectingTimer();
    void connectingTimedOut();

    OpenVpnProcess* m_process;
    NetworkJobs* m_networkJobs;
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

    // Each start and each abort is a new attempt; a late answer for an
    // earlier one (name look-up, block applied) is ignored.
    int m_attempt = 0;
    // This attempt runs under the kill switch (the setting when it began).
    bool m_killSwitch = false;
    bool m_blockStands = false;
    // OpenVPN completed while its block was still being applied.
    bool m_connectedWhenBlocked = false;
    // The server as last resolved: reconnects under the block reuse it.
    KillSwitch::Plan m_plan;
    int m_lookupId = -1;
};

#endif // QVARVEXCOMMAND_H
