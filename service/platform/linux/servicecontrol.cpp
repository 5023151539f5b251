#include "servicecontrol.h"

#include "socketfiles.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSaveFile>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const int kMaxRequestLength = 64;

// A connected socket to path, or -1 with errno set.
int connectTo(const QString& path)
{
    sockaddr_un address;
    if (!SocketFiles::makeAddress(path, &address))
        return -1;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

bool processAlive(const QString& pidFile)
{
    QFile file(pidFile);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    bool ok = false;
    const pid_t pid = pid_t(file.readAll().trimmed().toLongLong(&ok));
    if (!ok || pid <= 0)
        return false;
    return ::kill(pid, 0) == 0 || errno == EPERM;
}

} // namespace

namespace ServiceControl {

QString directory()
{
    const QByteArray overridden = qgetenv("VARVEX_CONTROL_DIR");
    if (!overridden.isEmpty())
        return QString::fromLocal8Bit(overridden);
    return QStringLiteral("/run/varvex");
}

QString socketPath(const QString& serviceName)
{
    return directory() + QLatin1Char('/') + serviceName.toLower() + QStringLiteral(".control");
}

QString pidFilePath(const QString& serviceName)
{
    return directory() + QLatin1Char('/') + serviceName.toLower() + QStringLiteral(".pid");
}

bool send(const QString& serviceName, int code, int timeoutMs)
{
    const int fd = connectTo(socketPath(serviceName));
    if (fd < 0)
        return false;

    const QByteArray request = "control " + QByteArray::number(code) + '\n';
    if (::send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL) != request.size()) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return false;
    }

    QByteArray reply;
    pollfd wait = {fd, POLLIN, 0};
    while (!reply.contains('\n')) {
        const int ready = ::poll(&wait, 1, timeoutMs);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0) {
            ::close(fd);
            errno = ready == 0 ? ETIMEDOUT : errno;
            return false;
        }
        char buffer[64];
        const ssize_t n = ::read(fd, buffer, sizeof(buffer));
        if (n <= 0)
            break;
        reply.append(buffer, int(n));
    }
    ::close(fd);
    if (reply.trimmed() != "ok") {
        errno = reply.trimmed() == "denied" ? EACCES : EPROTO;
        return false;
    }
    return true;
}

bool isRunning(const QString& serviceName)
{
    const int fd = connectTo(socketPath(serviceName));
    if (fd >= 0) {
        ::close(fd);
        return true;
    }
    // Only root and the service's account may connect; anyone else learns
    // from the process id that the service left.
    if (errno == EACCES || errno == EPERM)
        return processAlive(pidFilePath(serviceName));
    return false;
}

bool waitUntilGone(const QString& serviceName, int attempts, int intervalMs)
{
    for (int i = 0; i < attempts; ++i) {
        const int fd = connectTo(socketPath(serviceName));
        if (fd < 0 && errno != EACCES && errno != EPERM)
            return true;
        if (fd >= 0)
            ::close(fd);
        ::usleep(useconds_t(intervalMs) * 1000);
    }
    return false;
}

} // namespace ServiceControl

ServiceControlListener::ServiceControlListener(const QString& serviceName, QObject* parent)
    : QObject(parent)
    , m_serviceName(serviceName)
{
}

ServiceControlListener::~ServiceControlListener()
{
    close();
}

bool ServiceControlListener::listen(QString* error)
{
    const QString directory = ServiceControl::directory();
    const QString path = ServiceControl::socketPath(m_serviceName);
    if (!SocketFiles::safeDirectory(directory, error))
        return false;

    struct stat info;
    if (::lstat(QFile::encodeName(path).constData(), &info) == 0) {
        if (!S_ISSOCK(info.st_mode)) {
            *error = QStringLiteral("%1 is not a socket").arg(path);
            return false;
        }
        const int fd = connectTo(path);
        if (fd >= 0) {
            ::close(fd);
            *error = QStringLiteral("another instance listens on %1").arg(path);
            return false;
        }
        // Left over from an instance that did not end cleanly.
        ::unlink(QFile::encodeName(path).constData());
    }

    const int fd = SocketFiles::bindInPlace(path, 0600, gid_t(-1), error);
    if (fd < 0)
        return false;
    m_server = new QLocalServer(this);
    if (!m_server->listen(fd)) {
        *error = m_server->errorString();
        ::close(fd);
        ::unlink(QFile::encodeName(path).constData());
        delete m_server;
        m_server = nullptr;
        return false;
    }
    connect(m_server, SIGNAL(newConnection()), this, SLOT(server_newConnection()));
    m_ownsFiles = true;

    QSaveFile pidFile(ServiceControl::pidFilePath(m_serviceName));
    if (pidFile.open(QIODevice::WriteOnly)) {
        pidFile.write(QByteArray::number(qint64(::getpid())) + '\n');
        pidFile.commit();
    }
    return true;
}

void ServiceControlListener::close()
{
    if (m_server) {
        m_server->close();
        delete m_server;
        m_server = nullptr;
    }
    if (m_ownsFiles) {
        ::unlink(QFile::encodeName(ServiceControl::socketPath(m_serviceName)).constData());
        ::unlink(QFile::encodeName(ServiceControl::pidFilePath(m_serviceName)).constData());
        m_ownsFiles = false;
    }
}

bool ServiceControlListener::peerAllowed(QLocalSocket* socket) const
{
    ucred peer;
    socklen_t length = sizeof(peer);
    if (::getsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0)
        return false;
    return peer.uid == 0 || peer.uid == ::geteuid();
}

void ServiceControlListener::server_newConnection()
{
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        socket->setParent(this);
        connect(socket, SIGNAL(disconnected()), socket, SLOT(deleteLater()));
        if (!peerAllowed(socket)) {
            socket->write("denied\n");
            socket->flush();
            socket->disconnectFromServer();
            continue;
        }
        connect(socket, SIGNAL(readyRead()), this, SLOT(socket_readyRead()));
        if (socket->bytesAvailable() > 0)
            socket_readyRead();
    }
}

void ServiceControlListener::socket_readyRead()
{
    QLocalSocket* socket = qobject_cast<QLocalSocket*>(sender());
    if (!socket || !socket->canReadLine()) {
        if (socket && socket->bytesAvailable() > kMaxRequestLength)
            socket->disconnectFromServer();
        return;
    }

    const QByteArray line = socket->readLine(kMaxRequestLength + 1).trimmed();
    disconnect(socket, SIGNAL(readyRead()), this, SLOT(socket_readyRead()));

    bool ok = false;
    const int code = line.startsWith("control ") ? line.mid(8).toInt(&ok) : 0;
    const bool known = ok
        && (code == ServiceControl::Stop || code == ServiceControl::Pause || code == ServiceControl::Continue
            || (code >= ServiceControl::UserBase && code <= ServiceControl::UserLast));
    if (known)
        emit controlRequested(code);

    socket->write(known ? "ok\n" : "error\n");
    socket->flush();
    socket->waitForBytesWritten(100);
    socket->disconnectFromServer();
}
