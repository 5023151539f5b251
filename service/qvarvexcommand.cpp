#include "qvarvexcommand.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QProcessEnvironment>
#include <QTimer>
#include <QTimerEvent>

#include <memory>

#include "controlcharacters.h"
#include "networkjobs.h"
#include "networkrestore.h"
#include "openvpnprocess.h"
#include "qvpnsettings.h"
#include "varvexlog.h"

namespace {
// Addresses of one server handed to OpenVPN at most.
const int MaxServerAddresses = 16;

void readKillSwitchSettings(bool* killSwitch, bool* allowLocalNetwork)
{
    QVPNSettings settings;
    *killSwitch = settings.value(QStringLiteral("KillSwitch"), true).toBool();
    *allowLocalNetwork = settings.value(QStringLiteral("AllowLocalNetwork"), true).toBool();
}

QStringList usableAddresses(const QList<QHostAddress>& found)
{
    QStringList addresses;
    for (const QHostAddress& address : found) {
        // A scoped (link-local) address names no server beyond the link.
        if (!address.scopeId().isEmpty() || addresses.size() >= MaxServerAddresses)
            continue;
        const QString text = address.toString();
        if (!addresses.contains(text))
            addresses.append(text);
    }
    return addresses;
}
} // namespace

QVarvexCommand::QVarvexCommand(QObject* parent)
    : QThread(parent)
    , m_process(new OpenVpnProcess(this))
    , m_networkJobs(new NetworkJobs)
{
    writeLog(QStringLiteral("QVarvexCommand"), LOG_INFORMATION);
    m_process->setWorkingDirectory(openVpnWorkingDirectory());
    connect(m_process, SIGNAL(finished(int,QProcess::ExitStatus)), this, SLOT(process_finished(int,QProcess::ExitStatus)));
    connect(m_process, SIGNAL(errorOccurred(QProcess::ProcessError)), this, SLOT(process_error(QProcess::ProcessError)));
    connect(m_process, SIGNAL(readyReadStandardOutput()), this, SLOT(process_readyReadOutput()));
    connect(m_process, SIGNAL(readyReadStandardError()), this, SLOT(process_readyReadError()));
}

QVarvexCommand::~QVarvexCommand()
{
    // The tunnel goes with the service, and OpenVPN has ended before the
    // service does; the handlers of a half-destroyed object must not run.
    m_process->disconnect(this);
    m_process->stopAndWait();
    // The network changes asked for run to their end. A block of a tunnel
    // that is still wanted stays: the next start keeps it.
    delete m_networkJobs;
    m_networkJobs = nullptr;
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
    return QDir::toNativeSeparators(QCoreApplication::applicationDirPath() + QStringLiteral("/bin/openvpn"));
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
    if (m_networkJobs->pending() >= MaxPendingNetworkJobs) {
        writeLog(QStringLiteral("Can't start VPN because the network changes asked for before are not done yet."), LOG_WARNING);
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
    m_connectedWhenBlocked = false;

    const int attempt = ++m_attempt;
    bool allowLocalNetwork = true;
    readKillSwitchSettings(&m_killSwitch, &allowLocalNetwork);
    if (!m_killSwitch) {
        // A block kept from before the setting was turned off goes first.
        if (m_blockStands)
            undoNetworkChanges(true);
        // OpenVPN starts once the network changes asked for before are
        // over, and behind the status notifications.
        m_networkJobs->whenIdle(this, [this, attempt] { launchOpenVpn(attempt); });
        return;
    }
    // A reconnect under the standing block cannot resolve the name again:
    // it reuses the addresses resolved before the block went up.
    if (m_blockStands && host == m_plan.host && !m_plan.serverAddresses.isEmpty()) {
        if (allowLocalNetwork == m_plan.allowLocalNetwork) {
            m_networkJobs->whenIdle(this, [this, attempt] { launchOpenVpn(attempt); });
        } else {
            m_plan.allowLocalNetwork = allowLocalNetwork;
            raiseBlock(attempt);
        }
        return;
    }
    m_plan = KillSwitch::Plan();
    m_plan.host = host;
    m_plan.allowLocalNetwork = allowLocalNetwork;
    m_lookupId = QHostInfo::lookupHost(host, this, SLOT(hostLookedUp(QHostInfo)));
    const int lookupId = m_lookupId;
    QTimer::singleShot(HostLookupTimeout, this, [this, lookupId] {
        if (m_lookupId != lookupId)
            return;
        QHostInfo::abortHostLookup(lookupId);
        m_lookupId = -1;
        failStart(QStringLiteral("The server's name %1 did not resolve within %2 seconds; the attempt ends.")
                      .arg(m_plan.host).arg(HostLookupTimeout / 1000));
    });
}

void QVarvexCommand::hostLookedUp(const QHostInfo& info)
{
    if (info.lookupId() != m_lookupId)
        return;
    m_lookupId = -1;
    const QStringList addresses = usableAddresses(info.addresses());
    if (info.error() != QHostInfo::NoError || addresses.isEmpty()) {
        failStart(QStringLiteral("The server's name %1 does not resolve (%2); with the kill switch on, "
                                 "OpenVPN is given addresses only.")
                      .arg(m_plan.host, info.error() != QHostInfo::NoError ? info.errorString()
                                                                           : QStringLiteral("no address")));
        return;
    }
    m_plan.serverAddresses = addresses;
    writeLog(QStringLiteral("Kill switch: %1 is %2").arg(m_plan.host, addresses.join(QStringLiteral(", "))),
             LOG_INFORMATION);
    raiseBlock(m_attempt);
}

void QVarvexCommand::raiseBlock(int attempt)
{
    // OpenVPN starts once the jobs before are over (the undo of the last
    // tunnel) and needs a while to connect: the block goes up meanwhile,
    // beside it, instead of adding an nft call to every connect. OpenVPN's
    // own packets pass the block either way, and the tunnel counts as
    // connected only once the block stands.
    m_networkJobs->whenIdle(this, [this, attempt] { launchOpenVpn(attempt); });
    const KillSwitch::Plan plan = m_plan;
    auto raised = std::make_shared<bool>(false);
    auto error = std::make_shared<QString>();
    m_networkJobs->run([plan, raised, error] { *raised = KillSwitch::block(plan, error.get()); }, this,
                       [this, attempt, raised, error] {
                           // An abort meanwhile has queued the lifting behind this.
                           if (attempt != m_attempt)
                               return;
                           if (!*raised) {
                               // No tunnel without its protection.
                               m_process->stop();
                               failStart(QStringLiteral("The kill switch could not be applied: %1; "
                                                        "the attempt ends.").arg(*error));
                               return;
                           }
                           m_blockStands = true;
                           writeLog(QStringLiteral("Kill switch: only the tunnel and %1 are let through")
                                        .arg(m_plan.serverAddresses.join(QStringLiteral(", "))), LOG_INFORMATION);
                           if (m_connectedWhenBlocked && m_status == QVarvexCommandConnecting)
                               tunnelCompleted();
                       });
}

void QVarvexCommand::failStart(const QString& reason)
{
    writeLog(reason, LOG_CRITICAL);
    ++m_attempt;
    m_keepConnected = false;
    m_reconnectCount = 0;
    if (m_reconnectTimerId != 0) {
        killTimer(m_reconnectTimerId);
        m_reconnectTimerId = 0;
    }
    setStatus(QVarvexCommandDisconnected);
    if (blockMayStand())
        undoNetworkChanges(true);
}

void QVarvexCommand::launchOpenVpn(int attempt)
{
    // Only the attempt that queued this call may start OpenVPN.
    if (attempt != m_attempt || m_status != QVarvexCommandConnecting || m_process->state() != QProcess::NotRunning)
        return;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("VARVEX_LOCKDOWN"));
    environment.remove(QStringLiteral("VARVEX_REMOTE_ADDRESSES"));
    if (m_killSwitch) {
        environment.insert(QStringLiteral("VARVEX_LOCKDOWN"), QStringLiteral("1"));
        environment.insert(QStringLiteral("VARVEX_REMOTE_ADDRESSES"), m_plan.serverAddresses.join(QLatin1Char(' ')));
    }
    m_process->setProcessEnvironment(environment);
    stopConnectingTimer();
    m_connectingTimerId = startTimer(m_connectingTimeout, Qt::CoarseTimer);
    m_process->start(openVpnProgram(), openVpnArguments(m_host), QIODevice::ReadWrite);
}

void QVarvexCommand::undoNetworkChanges(bool liftBlock)
{
    if (liftBlock)
        m_blockStands = false;
    m_networkJobs->run([liftBlock] {
        // An OpenVPN killed outright runs no script on its way out: what it
        // changed in the network set-up is undone here, before the block
        // goes, so that nothing leaves by the old DNS or routes meanwhile.
        NetworkRestore::undoLeftovers();
        if (!liftBlock)
            return;
        QString error;
        if (KillSwitch::lift(&error))
            writeLog(QStringLiteral("Kill switch: lifted"), LOG_INFORMATION);
        else
            writeLog(QStringLiteral("Kill switch: cannot lift the block: %1").arg(error), LOG_ERROR);
    });
}

void QVarvexCommand::resumeAfterRestart()
{
    KillSwitch::Plan plan;
    const bool wanted = KillSwitch::wantedPlan(&plan);
    const int attempt = m_attempt;
    if (wanted) {
        // Until a client asks: no credentials are kept across a restart,
        // so no reconnect timer can run.
        m_plan = plan;
        m_host = plan.host;
        m_killSwitch = true;
        m_blockStands = true;
        setStatus(QVarvexCommandReconnecting);
    }
    auto present = std::make_shared<bool>(false);
    auto checked = std::make_shared<bool>(false);
    auto error = std::make_shared<QString>();
    m_networkJobs->run([wanted, present, checked, error] {
        NetworkRestore::undoLeftovers();
        *checked = KillSwitch::blockPresent(present.get(), error.get());
        if (!*checked || wanted)
            return;
        // The table is known by its name: no record is needed to remove it.
        if (*present) {
            writeLog(QStringLiteral("Kill switch: an earlier run left its block but no tunnel that is wanted; "
                                    "removing it."), LOG_WARNING);
            if (!KillSwitch::lift(error.get()))
                writeLog(QStringLiteral("Kill switch: cannot lift the block: %1").arg(*error), LOG_ERROR);
        }
    }, this, [this, wanted, present, checked, error, attempt] {
        if (!wanted)
            return;
        if (!*checked) {
            writeLog(QStringLiteral("Kill switch: cannot tell whether the block still stands: %1").arg(*error),
                     LOG_ERROR);
            return;
        }
        if (*present) {
            writeLog(QStringLiteral("Kill switch: the tunnel to %1 was still wanted when the service ended; "
                                    "its block is kept until Connect or Disconnect.").arg(m_plan.host),
                     LOG_WARNING);
            return;
        }
        writeLog(QStringLiteral("Kill switch: the tunnel to %1 was still wanted, but its block is gone; "
                                "starting disconnected.").arg(m_plan.host), LOG_WARNING);
        if (attempt == m_attempt && m_status == QVarvexCommandReconnecting) {
            m_blockStands = false;
            m_killSwitch = false;
            setStatus(QVarvexCommandDisconnected);
        }
        m_networkJobs->run([] { KillSwitch::forgetPlan(); });
    });
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
        ++m_attempt;
        if (blockMayStand())
            undoNetworkChanges(true);
    } else if (m_status == QVarvexCommandConnecting && m_killSwitch) {
        // With the block up, refusing would leave the user without any
        // network for the whole attempt: the attempt ends instead.
        writeLog(QStringLiteral("Stop connecting: the attempt ends and the kill switch is lifted."), LOG_INFORMATION);
        m_keepConnected = false;
        ++m_attempt;
        if (m_lookupId != -1) {
            QHostInfo::abortHostLookup(m_lookupId);
            m_lookupId = -1;
        }
        if (m_process->state() != QProcess::NotRunning) {
            // Status 3 and the lifting follow from the end of the process.
            m_process->stop();
        } else {
            m_reconnectCount = 0;
            setStatus(QVarvexCommandDisconnected);
            undoNetworkChanges(true);
        }
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
        undoNetworkChanges(false);
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
        // The tunnel is still wanted: its block stays through the wait.
        undoNetworkChanges(false);
    } else {
        setStatus(QVarvexCommandDisconnected);
        m_reconnectCount = 0;
        undoNetworkChanges(blockMayStand());
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
    setStatus(QVarvexCommandDisconnected);
    m_reconnectCount = 0;
    // No end of the process follows a failed start: the attempt is over
    // here. After a crash the end that follows decides.
    if (error == QProcess::FailedToStart) {
        stopConnectingTimer();
        if (blockMayStand())
            undoNetworkChanges(true);
    }
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
