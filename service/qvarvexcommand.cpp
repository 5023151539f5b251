#include "qvarvexcommand.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QTimerEvent>

#include "controlcharacters.h"
#include "networkrestore.h"
#include "openvpnprocess.h"
#include "varvexlog.h"

QVarvexCommand::QVarvexCommand(QObject* parent)
    : QThread(parent)
    , m_process(new OpenVpnProcess(this))
{
    writeLog(QStringLiteral("QVarvexCommand"), LOG_INFORMATION);
    m_process->setWorkingDirectory(openVpnWorkingDirectory());
    connect(m_process, SIGNAL(finished(int,QProcess::ExitStatus)), this, SLOT(process_finished(int,QProcess::ExitStatus)));
    connect(m_process, SIGNAL(errorOccurred(QProcess::ProcessError)), this, SLOT(process_error(QProcess::ProcessError)));
    connect(m_process, SIGNAL(readyReadStandardOutput()), this, SLOT(process_readyReadOutput()));
    connect(m_process, SIGNAL(readyReadStandardError()), this, SLOT(process_readyReadError()));
    // An OpenVPN killed outright runs no script on its way out: what it
    // changed in the network set-up is undone here.
    connect(m_process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            [] { NetworkRestore::undoLeftovers(); });
}

QVarvexCommand::~QVarvexCommand()
{
    // The tunnel goes with the service, and OpenVPN has ended before the
    // service does; the handlers of a half-destroyed object must not run.
    m_process->disconnect(this);
    m_process->stopAndWait();
    if (isRunning()) {
        quit();
        wait();
    }
}

QString QVarvexCommand::openVpnWorkingDirectory()
{
    return QDir::toNativeSeparators(QCoreApplication::applicationDirPath() + QStringLiteral("/bin"));
}

QString QVarvexCommand::openVpnProgram()
{
    return QDir::toNativeSeparators(QCoreApplication::applicationDirPath() + QStringLiteral("/bin/") + OpenVpnProcess::programFileName());
}

QStringList QVarvexCommand::openVpnArguments(const QString& host)
{
    return QStringList {
        QStringLiteral("--client"),
        QStringLiteral("--dev"), QStringLiteral("tun"),
        QStringLiteral("--proto"), QStringLiteral("udp"),
        QStringLiteral("--remote"), host, QStringLiteral("443"),
        QStringLiteral("--resolv-retry"), QStringLiteral("infinite"),
        QStringLiteral("--nobind"),
        QStringLiteral("--persist-key"),
        QStringLiteral("--persist-tun"),
        QStringLiteral("--ca"), QStringLiteral("ca.crt"),
        QStringLiteral("--tls-client"),
        QStringLiteral("--remote-cert-tls"), QStringLiteral("server"),
        QStringLiteral("--auth-user-pass"),
        QStringLiteral("--comp-lzo"),
        QStringLiteral("--verb"), QStringLiteral("1"),
        QStringLiteral("--reneg-sec"), QStringLiteral("0"),
        QStringLiteral("--connect-retry-max"), QStringLiteral("0"),
        QStringLiteral("--ping-restart"), QStringLiteral("0"),
        QStringLiteral("--ping-exit"), QStringLiteral("10"),
        QStringLiteral("--socks-proxy-retry"), QStringLiteral("0"),
        QStringLiteral("--link-mtu"), QStringLiteral("1574"),
        QStringLiteral("--auth-nocache"),
    };
}

int QVarvexCommand::reconnectWait(int attempt)
{
    switch (attempt) {
    case 1:
        return 10000;
    case 2:
        return 30000;
    default:
        return 60000;
    }
}

void QVarvexCommand::setConnectingTimeout(int milliseconds)
{
    m_connectingTimeout = milliseconds;
}

void QVarvexCommand::setStatus(int status)
{
    writeLog(QStringLiteral("setStatus"), LOG_INFORMATION);
    if (status == m_status) {
        writeLog(QStringLiteral("No need to change status(same values)."), LOG_INFORMATION);
        return;
    }
    m_status = status;
    emit statusUpdate(status);
}

int QVarvexCommand::status()
{
    writeLog(QStringLiteral("status"), LOG_INFORMATION);
    return m_status;
}

uint QVarvexCommand::connectTime()
{
    writeLog(QStringLiteral("connectTime"), LOG_INFORMATION);
    return m_connectTime;
}

QByteArray QVarvexCommand::deviceIP()
{
    writeLog(QStringLiteral("deviceIP"), LOG_INFORMATION);
    return m_deviceIP;
}

QByteArray QVarvexCommand::deviceName()
{
    writeLog(QStringLiteral("deviceName"), LOG_INFORMATION);
    return m_deviceName;
}

QByteArray QVarvexCommand::deviceGuid()
{
    writeLog(QStringLiteral("deviceGuid"), LOG_INFORMATION);
    return m_deviceGuid;
}

void QVarvexCommand::startVPN(QString host, QString username, QString password)
{
    writeLog(QStringLiteral("startVPN"), LOG_INFORMATION);
    if (m_status != QVarvexCommandDisconnected && m_status != QVarvexCommandReconnecting) {
        writeLog(QStringLiteral("Can't start VPN because current status is not QVarvexCommandDisconnected."), LOG_WARNING);
        return;
    }
    // OpenVPN reads every argument that begins with "--" as a new option, so
    // such a host would let any local client add options to a root process.
    if (host.startsWith(QLatin1String("--"))) {
        writeLog(QStringLiteral("Can't start VPN because the host name begins with \"--\"."), LOG_WARNING);
        return;
    }
    if (containsControlCharacter(username) || containsControlCharacter(password)) {
        writeLog(QStringLiteral("Can't start VPN because the user name or password contains a control character."), LOG_WARNING);
        return;
    }

    // A process left over after a read or write error would make the new
    // start fail silently; end it quietly first.
    if (m_process->state() != QProcess::NotRunning) {
        writeLog(QStringLiteral("Ending a leftover openvpn process before a new start."), LOG_WARNING);
        m_process->blockSignals(true);
        m_process->stopAndWait();
        m_process->blockSignals(false);
    }

    setStatus(QVarvexCommandConnecting);
    m_host = host;
    m_username = username;
    m_password = password;
    m_outputBuffer.clear();
    m_droppingLongLine = false;
    m_deviceIP.clear();
    m_deviceName.clear();
    m_deviceGuid.clear();
    writeLog(QStringLiteral("openvpn call working dir: %1").arg(m_process->workingDirectory()), LOG_INFORMATION);
    m_keepConnected = true;
    m_loginFailed = false;
    m_endingStalledAttempt = false;

    // Starting a process takes milliseconds; queue it behind the status
    // notifications so clients learn at once that the request was taken.
    QMetaObject::invokeMethod(this, "launchOpenVpn", Qt::QueuedConnection);
}

void QVarvexCommand::launchOpenVpn()
{
    // Only the attempt that queued this call may start OpenVPN.
    if (m_status != QVarvexCommandConnecting || m_process->state() != QProcess::NotRunning)
        return;
    stopConnectingTimer();
    m_connectingTimerId = startTimer(m_connectingTimeout, Qt::CoarseTimer);
    m_process->start(openVpnProgram(), openVpnArguments(m_host), QIODevice::ReadWrite);
}

void QVarvexCommand::stopVPN()
{
    writeLog(QStringLiteral("stopVPN"), LOG_INFORMATION);
    if (m_status == QVarvexCommandConnected) {
        writeLog(QStringLiteral("Disconnecting openvpn process."), LOG_INFORMATION);
        setStatus(QVarvexCommandDisconnecting);
        m_keepConnected = false;
        // Status 3 follows from the end of the process, which on Linux
        // comes only once OpenVPN itself has ended.
        m_process->stop();
        m_connectTime = 0;
    } else if (m_status == QVarvexCommandReconnecting) {
        writeLog(QStringLiteral("Stop reconnect."), LOG_INFORMATION);
        setStatus(QVarvexCommandDisconnected);
        m_keepConnected = false;
        if (m_reconnectTimerId != 0) {
            killTimer(m_reconnectTimerId);
            m_reconnectTimerId = 0;
        }
        m_reconnectCount = 0;
        m_connectTime = 0;
    } else {
        writeLog(QStringLiteral("Can't stop VPN because current status is not QVarvexCommandConnected."), LOG_WARNING);
    }
}

void QVarvexCommand::stopReconnectTimer()
{
    if (m_reconnectTimerId != 0) {
        killTimer(m_reconnectTimerId);
        m_reconnectTimerId = 0;
    }
    m_reconnectCount = 0;
}

int QVarvexCommand::startReconnectTimer(int milliseconds)
{
    return startTimer(milliseconds, Qt::CoarseTimer);
}

void QVarvexCommand::stopConnectingTimer()
{
    if (m_connectingTimerId != 0) {
        killTimer(m_connectingTimerId);
        m_connectingTimerId = 0;
    }
}

void QVarvexCommand::connectingTimedOut()
{
    stopConnectingTimer();
    if (m_status != QVarvexCommandConnecting || m_process->state() == QProcess::NotRunning)
        return;
    // OpenVPN retries some failures (a rejected certificate) for ever, and a
    // stop is refused while connecting: end the attempt so the reconnect
    // rule decides what happens next.
    writeLog(QStringLiteral("OpenVPN did not complete initialization within %1 seconds; ending the attempt.")
                 .arg(m_connectingTimeout / 1000), LOG_ERROR);
    m_endingStalledAttempt = true;
    m_process->stop();
}

void QVarvexCommand::process_finished(int exitCode, QProcess::ExitStatus exitStatus)
{
    writeLog(QStringLiteral("process_finished"), LOG_INFORMATION);
    stopConnectingTimer();
    m_endingStalledAttempt = false;

    // The program ran but could not start OpenVPN: the same as OpenVPN
    // missing, which is no reason to retry.
    if (OpenVpnProcess::reportsFailedStart(exitCode, exitStatus)) {
        process_error(QProcess::FailedToStart);
        return;
    }

    if (!m_loginFailed && m_keepConnected && m_reconnectCount < 3) {
        setStatus(QVarvexCommandReconnecting);
        ++m_reconnectCount;
        // A start accepted while waiting leaves the old wait running; once
        // that attempt has ended too, the new wait replaces it, so no timer
        // is left behind that nothing can stop.
        if (m_reconnectTimerId != 0)
            killTimer(m_reconnectTimerId);
        m_reconnectTimerId = startReconnectTimer(reconnectWait(m_reconnectCount));
    } else {
        setStatus(QVarvexCommandDisconnected);
        m_reconnectCount = 0;
    }
}

static QString processErrorName(QProcess::ProcessError error)
{
    switch (error) {
    case QProcess::FailedToStart:
        return QStringLiteral("FailedToStart");
    case QProcess::Crashed:
        return QStringLiteral("Crashed");
    case QProcess::Timedout:
        return QStringLiteral("Timedout");
    case QProcess::ReadError:
        return QStringLiteral("ReadError");
    case QProcess::WriteError:
        return QStringLiteral("WriteError");
    case QProcess::UnknownError:
        return QStringLiteral("UnknownError");
    default:
        return QStringLiteral("UnknownError2");
    }
}

void QVarvexCommand::process_error(QProcess::ProcessError error)
{
    if (m_endingStalledAttempt && error == QProcess::Crashed) {
        // Our own kill of a stalled attempt: the end that follows decides.
        return;
    }
    if (m_keepConnected)
        writeLog(QStringLiteral("openvpn.exe process call failed. Error: ") + processErrorName(error), LOG_CRITICAL);
    if (error == QProcess::FailedToStart)
        stopConnectingTimer();
    setStatus(QVarvexCommandDisconnected);
    m_reconnectCount = 0;
}

void QVarvexCommand::timerEvent(QTimerEvent* event)
{
    writeLog(QStringLiteral("timerEvent"), LOG_INFORMATION);
    if (event->timerId() == m_reconnectTimerId && m_reconnectTimerId != 0) {
        writeLog(QStringLiteral("%1 - Reconncet timer triggered.").arg(QStringLiteral("timerEvent")), LOG_INFORMATION);
        killTimer(m_reconnectTimerId);
        m_reconnectTimerId = 0;
        startVPN(m_host, m_username, m_password);
    } else if (event->timerId() == m_connectingTimerId && m_connectingTimerId != 0) {
        connectingTimedOut();
    } else {
        writeLog(QStringLiteral("%1 - Unknown timer triggered.").arg(QStringLiteral("timerEvent")), LOG_ERROR);
    }
}
