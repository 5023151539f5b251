#include "recordinghttpserver.h"

#include <QFile>
#include <QHostAddress>
#include <QSslSocket>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

namespace {

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    default:
        return "Answer";
    }
}

} // namespace

RecordingHttpServer::RecordingHttpServer()
{
    QObject::connect(&m_server, &QTcpServer::newConnection, [this] {
        while (QTcpSocket* socket = m_server.nextPendingConnection())
            accept(socket);
    });
}

RecordingHttpServer::~RecordingHttpServer() = default;

bool RecordingHttpServer::start()
{
    return m_server.isListening() || m_server.listen(QHostAddress::LocalHost, 0);
}

bool RecordingHttpServer::startTls(const QString& certificateFile, const QString& keyFile)
{
    QFile certificate(certificateFile);
    QFile key(keyFile);
    if (!certificate.open(QIODevice::ReadOnly) || !key.open(QIODevice::ReadOnly))
        return false;
    m_server.certificate = QSslCertificate(&certificate, QSsl::Pem);
    m_server.key = QSslKey(&key, QSsl::Ec, QSsl::Pem);
    return !m_server.certificate.isNull() && !m_server.key.isNull() && start();
}

void RecordingHttpServer::Listener::incomingConnection(qintptr descriptor)
{
    if (certificate.isNull()) {
        QTcpServer::incomingConnection(descriptor);
        return;
    }
    auto* socket = new QSslSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    socket->setLocalCertificate(certificate);
    socket->setPrivateKey(key);
    socket->setPeerVerifyMode(QSslSocket::VerifyNone);
    // A client that refuses the certificate just goes away.
    connect(socket, QOverload<const QList<QSslError>&>::of(&QSslSocket::sslErrors), socket, [socket] { socket->abort(); });
    addPendingConnection(socket);
    socket->startServerEncryption();
}

QString RecordingHttpServer::hostAndPort() const
{
    return QStringLiteral("127.0.0.1:%1").arg(m_server.serverPort());
}

void RecordingHttpServer::setAnswer(const QString& endpoint, const Answer& answer)
{
    m_answers.insert(endpoint, answer);
}

void RecordingHttpServer::setAnswer(const QString& endpoint, int status, const QByteArray& body, int delayMs)
{
    setAnswer(endpoint, Answer{status, body, delayMs, QByteArray(), false});
}

void RecordingHttpServer::setRawAnswer(const QString& endpoint, const QByteArray& response)
{
    setAnswer(endpoint, Answer{200, QByteArray(), 0, response, false});
}

void RecordingHttpServer::setHangingAnswer(const QString& endpoint)
{
    setAnswer(endpoint, Answer{200, QByteArray(), 0, QByteArray(), true});
}

void RecordingHttpServer::hangNext(const QString& endpoint, int times)
{
    m_hangs.insert(endpoint, times);
}

int RecordingHttpServer::count(const QString& prefix) const
{
    int n = 0;
    for (const QString& path : requests)
        n += path.startsWith(prefix) ? 1 : 0;
    return n;
}

void RecordingHttpServer::clearRequests()
{
    requests.clear();
    requestLines.clear();
}

void RecordingHttpServer::accept(QTcpSocket* socket)
{
    socket->setParent(&m_server);
    QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    QObject::connect(socket, &QTcpSocket::destroyed, &m_server, [this, socket] { m_buffers.remove(socket); });
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
        QByteArray& buffer = m_buffers[socket];
        buffer += socket->readAll();
        // A TLS client at a plain server: the default answer, in plain HTTP,
        // as a plain web server (or someone posing as the web API) would give.
        if (buffer.startsWith('\x16')) {
            m_buffers.remove(socket);
            respond(socket, m_defaultAnswer);
            return;
        }
        if (!buffer.contains("\r\n\r\n"))
            return;
        const QByteArray requestLine = buffer.left(buffer.indexOf("\r\n"));
        m_buffers.remove(socket);
        const QList<QByteArray> words = requestLine.split(' ');
        const QString path = words.size() > 1 ? QString::fromLatin1(words.at(1)) : QString();
        requests << path;
        requestLines << requestLine;
        respond(socket, answerFor(path));
    });
}

QString RecordingHttpServer::endpointFor(const QString& path) const
{
    QString best;
    for (auto it = m_answers.cbegin(); it != m_answers.cend(); ++it) {
        if (path.startsWith(it.key()) && it.key().size() > best.size())
            best = it.key();
    }
    return best;
}

RecordingHttpServer::Answer RecordingHttpServer::answerFor(const QString& path)
{
    for (auto it = m_hangs.begin(); it != m_hangs.end(); ++it) {
        if (it.value() > 0 && path.startsWith(it.key())) {
            --it.value();
            return Answer{200, QByteArray(), 0, QByteArray(), true};
        }
    }
    const QString endpoint = endpointFor(path);
    return endpoint.isEmpty() ? m_defaultAnswer : m_answers.value(endpoint);
}

void RecordingHttpServer::respond(QTcpSocket* socket, const Answer& answer)
{
    if (answer.hang)
        return;
    QPointer<QTcpSocket> guarded(socket);
    auto send = [guarded, answer] {
        if (!guarded)
            return;
        if (!answer.raw.isEmpty()) {
            guarded->write(answer.raw);
            guarded->disconnectFromHost();
            return;
        }
        QByteArray head = "HTTP/1.1 " + QByteArray::number(answer.status) + ' ' + reasonPhrase(answer.status) + "\r\n";
        head += "Content-Type: application/json\r\n";
        head += "Content-Length: " + QByteArray::number(answer.body.size()) + "\r\n";
        head += "Connection: close\r\n\r\n";
        guarded->write(head + answer.body);
        guarded->disconnectFromHost();
    };
    if (answer.delayMs > 0)
        QTimer::singleShot(answer.delayMs, socket, send);
    else
        send();
}
