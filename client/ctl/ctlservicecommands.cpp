#include "ctlservicecommands.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QTimer>
#include <QTimerEvent>

#include "ctlexitcode.h"
#include "ctlterminal.h"
#include "qvpncredentialscrypt.h"

namespace {

// The service greets every client with its status at once; this is only
// a bound for a service that hangs.
const int GreetingTimeoutMs = 5000;
// Long enough for the service to stop OpenVPN (forced after 5 s) and the
// launcher to undo the tunnel's network changes.
const int DisconnectTimeoutMs = 20000;

const QString NoServiceAdvice = QStringLiteral("Is the service running? Try: systemctl status varvex");

} // namespace

ServiceCommand::ServiceCommand(QObject* parent)
    : QObject(parent)
{
    connect(&m_service, &QVarvexServiceConnection::assignedIP, this, [this](QByteArray ip) { m_address = ip; });
    connect(&m_service, &QVarvexServiceConnection::startTime, this, [this](uint time) { m_since = time; });
    connect(&m_service, &QVarvexServiceConnection::notifyStatusChange, this, [this](char code) {
        if (m_finished)
            return;
        CtlStatus status;
        status.code = uchar(code);
        if (status.code == QVarvexCommandConnected) {
            status.address = m_address;
            status.since = m_since;
        }
        statusReceived(status);
    });
    connect(&m_service, &QVarvexServiceConnection::credentials, this, [this](QByteArray credentials) {
        if (!m_finished)
            credentialsReceived(credentials);
    });
    connect(&m_service, &QVarvexServiceConnection::loginFailed, this, [this]() {
        if (!m_finished)
            loginFailed();
    });
    connect(&m_service, &QVarvexServiceConnection::updateBandwidth, this, [this](uchar type, uint down, uint up) {
        if (!m_finished)
            bandwidthReceived(type, down, up);
    });
    connect(&m_service, &QVarvexServiceConnection::serviceLost, this, [this]() {
        finish(CtlExit::ServiceGone,
               QStringLiteral("The connection to the Varvex service was closed. Check it with: systemctl status varvex"));
    });
}

int ServiceCommand::run()
{
    if (!m_service.connectToService()) {
        const QString refusal = m_service.refusalReason();
        CtlTerminal::error(refusal.isEmpty()
                               ? QStringLiteral("Can't connect to Varvex service. ") + NoServiceAdvice
                               : QStringLiteral("Can't connect to Varvex service: %1. Check who runs the service "
                                                "at that socket.").arg(refusal));
        return CtlExit::NoService;
    }
    started();
    return QCoreApplication::exec();
}

void ServiceCommand::waitAtMost(int milliseconds)
{
    m_waitTimer.start(milliseconds, this);
}

void ServiceCommand::timerEvent(QTimerEvent* event)
{
    if (event->timerId() != m_waitTimer.timerId()) {
        QObject::timerEvent(event);
        return;
    }
    m_waitTimer.stop();
    if (!m_finished)
        timedOut();
}

void ServiceCommand::finish(int exitCode, const QString& errorLine)
{
    if (m_finished)
        return;
    m_finished = true;
    m_waitTimer.stop();
    if (!errorLine.isEmpty())
        CtlTerminal::error(errorLine);
    m_service.disconnectFromService();
    // Queued: the command may finish before the event loop has started.
    QTimer::singleShot(0, qApp, [exitCode]() { QCoreApplication::exit(exitCode); });
}

// ---- status -----------------------------------------------------------------

void StatusCommand::started()
{
    waitAtMost(GreetingTimeoutMs);
}

void StatusCommand::statusReceived(const CtlStatus& status)
{
    if (m_json)
        CtlTerminal::out(CtlFormat::jsonLine(CtlFormat::statusJson(status)));
    else
        CtlTerminal::out(CtlFormat::statusText(status, QDateTime::currentDateTimeUtc()));
    finish(CtlExit::Success);
}

void StatusCommand::timedOut()
{
    finish(CtlExit::TimedOut, QStringLiteral("The Varvex service sent no status within %1 s. Try: systemctl "
                                             "restart varvex").arg(GreetingTimeoutMs / 1000));
}

// ---- disconnect -------------------------------------------------------------

void DisconnectCommand::statusReceived(const CtlStatus& status)
{
    if (status.code == QVarvexCommandDisconnected) {
        CtlTerminal::out(QStringLiteral("Disconnected.\n"));
        finish(CtlExit::Success);
        return;
    }
    if (!m_abortSent) {
        m_abortSent = true;
        service().sendAbortRequest();
        waitAtMost(DisconnectTimeoutMs);
    }
}

void DisconnectCommand::timedOut()
{
    finish(CtlExit::TimedOut, QStringLiteral("The tunnel was not down within %1 s; the service may refuse to stop "
                                             "an attempt while connecting. See: varvexctl status")
                                  .arg(DisconnectTimeoutMs / 1000));
}

// ---- connect ----------------------------------------------------------------

ConnectCommand::ConnectCommand(const VPNServerInfo& server, const QString& username, const QString& password,
                               int waitSeconds)
    : m_server(server)
    , m_username(username)
    , m_password(password)
    , m_waitSeconds(waitSeconds)
{
}

void ConnectCommand::started()
{
    if (m_username.isEmpty())
        service().sendCredentialsRequest();
    if (CtlTerminal::outputIsTerminal())
        CtlTerminal::out(QStringLiteral("Connecting to %1...\n").arg(m_server.name));
    waitAtMost(qMax(m_waitSeconds * 1000, GreetingTimeoutMs));
}

void ConnectCommand::credentialsReceived(const QByteArray& credentials)
{
    if (!m_username.isEmpty())
        return;
    // The text ends at the first zero byte, as the window reads it.
    const int end = credentials.indexOf('\0');
    const QString text = QString::fromUtf8(end < 0 ? credentials : credentials.left(end));
    if (!QVPNCredentialsCrypt::decodeUserPass(text, m_username, m_password)) {
        finish(CtlExit::Usage, QStringLiteral("No saved login, and the service holds none for you. Give one: "
                                              "varvexctl connect --user NAME"));
        return;
    }
    sendWhenReady();
}

void ConnectCommand::statusReceived(const CtlStatus& status)
{
    const bool first = m_lastStatus < 0;
    m_lastStatus = status.code;
    if (first && status.code == QVarvexCommandConnected) {
        CtlTerminal::out(QStringLiteral("Already connected (%1). To change servers: varvexctl disconnect\n")
                             .arg(QString::fromLatin1(status.address)));
        finish(CtlExit::Success);
        return;
    }
    if (first && status.code == QVarvexCommandConnecting) {
        // Another client's attempt is under way: its outcome is ours.
        m_requestSent = true;
        waitAtMost(m_waitSeconds * 1000);
        return;
    }
    if (!m_requestSent) {
        sendWhenReady();
        return;
    }
    switch (status.code) {
    case QVarvexCommandConnected:
        CtlTerminal::out(QStringLiteral("Connected to %1, address %2.\n")
                             .arg(m_server.name, QString::fromLatin1(status.address)));
        finish(CtlExit::Success);
        break;
    case QVarvexCommandDisconnected:
        finish(CtlExit::NoTunnel, QStringLiteral("The attempt ended without a tunnel. The service's log says why: "
                                                 "/var/log/varvex/varvexservice.log"));
        break;
    default:
        break; // connecting, or waiting to try again
    }
}

void ConnectCommand::sendWhenReady()
{
    if (m_requestSent || m_username.isEmpty()
        || (m_lastStatus != QVarvexCommandDisconnected && m_lastStatus != QVarvexCommandReconnecting))
        return;
    m_requestSent = true;
    service().sendConnectToVPNRequest(m_server.hostname, m_username, m_password);
    if (m_waitSeconds == 0)
        finish(CtlExit::Success);
    else
        waitAtMost(m_waitSeconds * 1000);
}

void ConnectCommand::loginFailed()
{
    finish(CtlExit::LoginFailed, QStringLiteral("Login failed: check your user name and password "
                                                "(varvexctl connect --user NAME)."));
}

void ConnectCommand::timedOut()
{
    if (!m_requestSent) {
        finish(CtlExit::TimedOut, QStringLiteral("The service was not ready for a new connection within %1 s. "
                                                 "See: varvexctl status").arg(qMax(m_waitSeconds, GreetingTimeoutMs / 1000)));
        return;
    }
    finish(CtlExit::TimedOut, QStringLiteral("Not connected after %1 s; the attempt goes on. Follow it with "
                                             "varvexctl watch, or stop it with varvexctl disconnect.")
                                  .arg(m_waitSeconds));
}

// ---- watch ------------------------------------------------------------------

WatchCommand::WatchCommand(bool json)
    : m_json(json)
{
    auto* interrupts = new InterruptWatcher(this);
    connect(interrupts, &InterruptWatcher::interrupted, this, [this]() { finish(CtlExit::Success); });
}

void WatchCommand::started()
{
}

void WatchCommand::statusReceived(const CtlStatus& status)
{
    if (m_json) {
        QJsonObject object = CtlFormat::statusJson(status);
        object.insert(QStringLiteral("event"), QStringLiteral("status"));
        CtlTerminal::out(CtlFormat::jsonLine(object));
    } else {
        CtlTerminal::out(CtlFormat::statusLine(status, QTime::currentTime()) + QLatin1Char('\n'));
    }
}

void WatchCommand::loginFailed()
{
    if (m_json)
        CtlTerminal::out(CtlFormat::jsonLine(QJsonObject{{QStringLiteral("event"), QStringLiteral("login_failed")}}));
    else
        CtlTerminal::out(QTime::currentTime().toString(QStringLiteral("HH:mm:ss")) + QStringLiteral(" LOGIN FAILED\n"));
}

void WatchCommand::bandwidthReceived(uchar, uint download, uint upload)
{
    // The service samples once a second: octets per sample are octets per second.
    const quint64 down = quint64(download) * 8;
    const quint64 up = quint64(upload) * 8;
    if (m_json)
        CtlTerminal::out(CtlFormat::jsonLine(QJsonObject{{QStringLiteral("event"), QStringLiteral("bandwidth")},
                                                         {QStringLiteral("down"), qint64(down)},
                                                         {QStringLiteral("up"), qint64(up)}}));
    else
        CtlTerminal::out(CtlFormat::bandwidthLine(down, up, QTime::currentTime()) + QLatin1Char('\n'));
}
