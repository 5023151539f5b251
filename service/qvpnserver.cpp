#include "qvpnserver.h"

#include <QCoreApplication>
#include <QDir>
#include <QHash>
#include <QLocalSocket>
#include <QPair>
#include <QTimerEvent>

#include "adaptercounters.h"
#include "clientaccess.h"
#include "localsocketpath.h"
#include "qvpnclientconnection.h"
#include "qvpnsettings.h"
#include "varvexlog.h"
#include "webapi.h"

QVPNServer* QVPNServer::s_instance = nullptr;

namespace {
// Octet counters of every interface at the previous all-interfaces sample.
QHash<QByteArray, QPair<quint32, quint32>>& previousSample()
{
    static QHash<QByteArray, QPair<quint32, quint32>> table;
    return table;
}

QString certificatePath()
{
    return QDir::toNativeSeparators(QCoreApplication::applicationDirPath() + QStringLiteral("/bin/ca.crt"));
}
} // namespace

QVPNServer::QVPNServer(QObject* parent)
    : QLocalServer(parent)
    , m_command(nullptr)
    , m_credentials(nullptr)
    , m_certificate(certificatePath(), this)
{
    writeLog(QStringLiteral("QVPNServer"), LOG_INFORMATION);
    const long descriptors = LocalAcceptGuard::raiseDescriptorLimit();
    if (descriptors >= 0 && descriptors - DescriptorsKeptForTheService < MaxClientConnections) {
        m_clientConnectionLimit = int(qMax(1L, descriptors - DescriptorsKeptForTheService));
        writeLog(QStringLiteral("Only %1 file descriptors may be open: at most %2 clients at once.")
                     .arg(descriptors).arg(m_clientConnectionLimit), LOG_WARNING);
    }
    s_instance = this;
    setSocketOptions(QLocalServer::WorldAccessOption);
    m_command.start(QThread::InheritPriority);
}

QVPNServer::~QVPNServer()
{
    writeLog(QStringLiteral("~QVPNServer"), LOG_INFORMATION);
    if (s_instance == this)
        s_instance = nullptr;
    // The controller is a running thread object: end its thread before the
    // member goes.
    m_command.quit();
    m_command.wait();
    if (!m_socketPath.isEmpty()) {
        close();
        ClientAccess::removeSocketFile(m_socketPath);
    }
}

QVPNServer* QVPNServer::instance()
{
    writeLog(QStringLiteral("instance"), LOG_INFORMATION);
    return s_instance;
}

QVarvexCommand* QVPNServer::command()
{
    writeLog(QStringLiteral("command"), LOG_INFORMATION);
    return &m_command;
}

int QVPNServer::logThresholdForLevel(int logLevel)
{
    switch (logLevel) {
    case 0:
        return LOG_CRITICAL;
    case 1:
        return LOG_ERROR;
    case 3:
        return LOG_DEBUG;
    case 4:
        return LOG_INFORMATION;
    default:
        return LOG_WARNING;
    }
}

bool QVPNServer::installerToken(const QString& installerName, QString* token)
{
    if (!installerName.endsWith(QLatin1String(".exe"), Qt::CaseInsensitive)) {
        writeLog(QStringLiteral("Varvex installer string does not end with .exe"), LOG_CRITICAL);
        return false;
    }
    QString name = installerName.left(installerName.size() - 4);
    // A Windows path cuts at backslashes, a Linux one at slashes.
    const int slash = qMax(name.lastIndexOf(QLatin1Char('\\')), name.lastIndexOf(QLatin1Char('/')));
    if (slash <= 0) {
        writeLog(QStringLiteral("Varvex installer string doesn't contain \" character."), LOG_CRITICAL);
        return false;
    }
    name = name.mid(slash + 1);
    const int dash = name.lastIndexOf(QLatin1Char('-'));
    if (dash <= 0) {
        writeLog(QStringLiteral("Varvex installer string doesn't contain - character."), LOG_CRITICAL);
        return false;
    }
    *token = name.mid(dash + 1);
    return true;
}

void QVPNServer::start()
{
    writeLog(QStringLiteral("start"), LOG_INFORMATION);

    QString installerName;
    QString socketName;
    int logLevel;
    {
        QVPNSettings settings;
        installerName = settings.value(QStringLiteral("InstallerName"), QString()).toString();
        socketName = settings.value(QStringLiteral("LocalSocketName"), QStringLiteral("Varvex")).toString();
        logLevel = settings.value(QStringLiteral("LogLevel"), 2).toInt();
    }

    setupLog(logThresholdForLevel(logLevel), true);
    logWebApiTransport();

    // A tunnel of a service that was killed may have left DNS changed, and
    // its kill switch's block; clients learn the status that follows.
    m_command.resumeAfterRestart();

    QString token;
    if (installerToken(installerName, &token)) {
        m_credentials.setInstallerToken(token);
        if (!m_credentials.hasCredentials())
            m_credentials.updateCredentials();
    }

    if (!listenOrReclaim(socketName))
        writeLog(QStringLiteral("Varvex failed to listen for connections(another instance is running maybe?)."), LOG_CRITICAL);
}

void QVPNServer::logWebApiTransport()
{
    if (WebApi::usesPlainHttp())
        writeLog(QStringLiteral("VARVEX_API_SCHEME=http: the web API is used without TLS; whoever is on the path decides OpenVPN's CA certificate and sees the provisioned credentials."), LOG_WARNING);
    const QString unknown = WebApi::unknownSchemeSetting();
    if (!unknown.isEmpty())
        writeLog(QStringLiteral("VARVEX_API_SCHEME=%1 is neither https nor http; the web API is used over https.").arg(unknown), LOG_WARNING);
}

bool QVPNServer::listenOrReclaim(const QString& name)
{
    // The socket is a file in a folder only the service's account can
    // write; a file left by a crashed instance is replaced, a running
    // instance keeps its name.
    const QString path = LocalSocketPath::forName(name);
    bool staleReplaced = false;
    QString error;
    const bool listening = ClientAccess::listen(this, path, &staleReplaced, &error);
    if (staleReplaced)
        writeLog(QStringLiteral("Removing stale local socket \"%1\" that no running service answers on.").arg(name), LOG_WARNING);
    if (!listening) {
        writeLog(QStringLiteral("%1 - %2").arg(QStringLiteral("start"), error), LOG_ERROR);
        return false;
    }
    m_socketPath = path;
    attachAcceptGuard();
    return true;
}

void QVPNServer::attachAcceptGuard()
{
    const bool guarded = m_acceptGuard.attach(
        this, [this](quintptr socketDescriptor) { incomingConnection(socketDescriptor); },
        [this]() {
            m_refusalLog.write(QStringLiteral("%1 - Out of file descriptors; a new connection was closed at once.")
                                   .arg(QStringLiteral("incomingConnection")), LOG_WARNING);
        });
    if (!guarded)
        writeLog(QStringLiteral("%1 - The accept guard could not take over the local server's notifier (Qt %2); "
                                "running out of file descriptors would close the local socket.")
                     .arg(QStringLiteral("attachAcceptGuard"), QString::fromLatin1(qVersion())),
                 LOG_ERROR);
}

void QVPNServer::stop()
{
    writeLog(QStringLiteral("stop"), LOG_INFORMATION);
    if (m_BandwidthMonitorTimer != 0) {
        writeLog(QStringLiteral("Stoping m_BandwidthMonitorTimer timer."), LOG_INFORMATION);
        killTimer(m_BandwidthMonitorTimer);
        m_BandwidthMonitorTimer = 0;
    }
    if (isListening()) {
        writeLog(QStringLiteral("Closing localsocket."), LOG_INFORMATION);
        close();
        ClientAccess::removeSocketFile(m_socketPath);
        m_socketPath.clear();
    }
    while (!m_workers.isEmpty()) {
        writeLog(QStringLiteral("gracefully stoping worker."), LOG_DEBUG);
        QVPNClientConnection* worker = m_workers.takeLast();
        worker->exit(0);
        if (!worker->wait(3000)) {
            writeLog(QStringLiteral("force worker to stop the work."), LOG_WARNING);
            worker->terminate();
            worker->wait(3000);
        }
        worker->deleteLater();
    }
}

void QVPNServer::incomingConnection(quintptr socketDescriptor)
{
    writeLog(QStringLiteral("incomingConnection"), LOG_INFORMATION);
    if (m_workers.size() >= m_clientConnectionLimit) {
        QLocalSocket refused;
        refused.setSocketDescriptor(socketDescriptor);
        refused.abort();
        m_refusalLog.write(QStringLiteral("%1 - %2 clients are connected already; a new connection was closed at once.")
                               .arg(QStringLiteral("incomingConnection")).arg(m_clientConnectionLimit), LOG_WARNING);
        return;
    }
    QVPNClientConnection* worker = new QVPNClientConnection(this, socketDescriptor);

    connect(worker->socket(), SIGNAL(disconnected()), this, SLOT(worker_disconnected()), Qt::QueuedConnection);
    connect(worker, SIGNAL(startVPN(QString,QString,QString)), &m_command, SLOT(startVPN(QString,QString,QString)), Qt::QueuedConnection);
    connect(worker, SIGNAL(stopVPN()), &m_command, SLOT(stopVPN()), Qt::QueuedConnection);
    connect(&m_command, SIGNAL(statusUpdate(int)), worker, SLOT(statusUpdate(int)), Qt::QueuedConnection);
    connect(&m_command, SIGNAL(loginFailed()), worker, SLOT(loginFailed()), Qt::QueuedConnection);
    connect(this, SIGNAL(updateBandwidthInfo(quint8,quint32,quint32)), worker, SLOT(updateBandwidthInfo(quint8,quint32,quint32)));

    m_workers.append(worker);
    if (m_workers.size() == 1) {
        writeLog(QStringLiteral("Starting m_BandwidthMonitorTimer timer."), LOG_INFORMATION);
        m_BandwidthMonitorTimer = startTimer(1000, Qt::CoarseTimer);
    }
    // The connection's thread is not started: it would only run an empty
    // event loop, and each running thread holds descriptors of its own.
    worker->statusUpdate(m_command.status());

    writeLog(QStringLiteral("call updateCertificate."), LOG_INFORMATION);
    m_certificate.updateCertificate();
}

void QVPNServer::worker_disconnected()
{
    writeLog(QStringLiteral("worker_disconnected"), LOG_INFORMATION);
    QObject* emitter = sender();

    for (int i = m_workers.size() - 1; i >= 0; --i) {
        QVPNClientConnection* worker = m_workers.at(i);
        if (worker->socket() != emitter)
            continue;
        writeLog(QStringLiteral("remove worker from m_workers list."), LOG_DEBUG);
        worker->exit(0);
        worker->wait(100);
        m_workers.removeAt(i);
        worker->deleteLater();
    }

    if (!m_workers.isEmpty()) {
        writeLog(QStringLiteral("m_workers.isEmpty()"), LOG_DEBUG);
        return;
    }
    writeLog(QStringLiteral("killTimer m_BandwidthMonitorTimer"), LOG_DEBUG);
    if (m_BandwidthMonitorTimer != 0)
        killTimer(m_BandwidthMonitorTimer);
    m_BandwidthMonitorTimer = 0;
    // Under the kill switch nothing but the tunnel gets out: cancelling the
    // reconnect would leave the machine offline with nothing retrying.
    if (m_command.blockStands()) {
        writeLog(QStringLiteral("The kill switch stands: the reconnect goes on without clients."), LOG_INFORMATION);
        return;
    }
    instance()->command()->stopReconnectTimer();
}

void QVPNServer::timerEvent(QTimerEvent* event)
{
    writeLog(QStringLiteral("timerEvent"), LOG_INFORMATION);
    if (event->timerId() != m_BandwidthMonitorTimer) {
        writeLog(QStringLiteral("%1 - Unknown timerId").arg(QStringLiteral("timerEvent")), LOG_ERROR);
        return;
    }
    uint download = 0;
    uint upload = 0;
    uchar status = VarvexBandwidthAllInterfaces;
    if (m_command.status() == QVarvexCommandConnected) {
        getNICBytes(m_command.deviceGuid(), &download, &upload);
        status = VarvexBandwidthTunnel;
    } else {
        getNICBytes(QByteArray(), &download, &upload);
    }
    emit updateBandwidthInfo(status, download, upload);
}

QByteArray QVPNServer::getNICDeviceNameFromGuid(const char* guid)
{
    writeLog(QStringLiteral("getNICDeviceNameFromGuid"), LOG_INFORMATION);
    QList<AdapterInfo> adapters;
    if (!AdapterCounterSource::current()->adapters(&adapters)) {
        writeLog(QStringLiteral("%1 - (result != ERROR_BUFFER_OVERFLOW)||(size == 0)").arg(QStringLiteral("getNICDeviceNameFromGuid")), LOG_ERROR);
        return QByteArray();
    }
    const QByteArray wanted(guid ? guid : "");
    for (const AdapterInfo& adapter : qAsConst(adapters)) {
        if (adapter.name == wanted)
            return adapter.description;
    }
    return QByteArray();
}

bool QVPNServer::getNICBytes(QByteArray guid, uint* downloadBytes, uint* uploadBytes)
{
    writeLog(QStringLiteral("getNICBytes"), LOG_INFORMATION);
    QList<InterfaceCounters> rows;
    if (!AdapterCounterSource::current()->interfaceTable(&rows)) {
        writeLog(QStringLiteral("GetIfTable didn't returned 122. Why, I don't know!"), LOG_ERROR);
        return false;
    }

    if (!guid.isEmpty()) {
        const QByteArray description = getNICDeviceNameFromGuid(guid.constData());
        for (const InterfaceCounters& row : qAsConst(rows)) {
            if (row.description == description) {
                *downloadBytes = row.inOctets;
                *uploadBytes = row.outOctets;
                return true;
            }
        }
        return false;
    }

    *downloadBytes = 0;
    *uploadBytes = 0;
    const QHash<QByteArray, QPair<quint32, quint32>> previous = previousSample();
    QHash<QByteArray, QPair<quint32, quint32>>& current = previousSample();
    current.clear();
    for (const InterfaceCounters& row : qAsConst(rows)) {
        const auto before = previous.constFind(row.description);
        if (before != previous.constEnd()) {
            *downloadBytes += quint32(row.inOctets - before->first);
            *uploadBytes += quint32(row.outOctets - before->second);
        }
        current.insert(row.description, qMakePair(row.inOctets, row.outOctets));
    }
    return true;
}
