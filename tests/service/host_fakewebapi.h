#ifndef HOST_FAKEWEBAPI_H
#define HOST_FAKEWEBAPI_H

// A web API on loopback whose answers each test sets: status, body and an
// optional delay per endpoint, with every requested path recorded. An answer
// can also be raw bytes sent as they are (then the connection closes), or
// none at all: the request is accepted and never answered.

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QPointer>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

class HostFakeWebApi
{
public:
    struct Answer
    {
        int status = 200;
        QByteArray body;
        int delayMs = 0;
        QByteArray raw;    // when set: the whole response, head included
        bool hang = false; // when set: never answer
    };

    HostFakeWebApi()
    {
        QObject::connect(&m_server, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* socket = m_server.nextPendingConnection())
                accept(socket);
        });
    }

    bool start() { return m_server.listen(QHostAddress::LocalHost, 0); }
    QString hostAndPort() const { return QStringLiteral("127.0.0.1:%1").arg(m_server.serverPort()); }

    // endpoint: "/get_ca_info/", "/get_ca/", "/get_user/"...
    void setAnswer(const QString& endpoint, const Answer& answer) { m_answers.insert(endpoint, answer); }
    void setAnswer(const QString& endpoint, int status, const QByteArray& body, int delayMs = 0)
    {
        setAnswer(endpoint, Answer{status, body, delayMs, QByteArray(), false});
    }
    void setRawAnswer(const QString& endpoint, const QByteArray& response)
    {
        setAnswer(endpoint, Answer{200, QByteArray(), 0, response, false});
    }
    void setHangingAnswer(const QString& endpoint) { setAnswer(endpoint, Answer{200, QByteArray(), 0, QByteArray(), true}); }

    QStringList requests;

    int count(const QString& endpoint) const
    {
        int n = 0;
        for (const QString& path : requests)
            n += path.startsWith(endpoint) ? 1 : 0;
        return n;
    }

private:
    void accept(QTcpSocket* socket)
    {
        socket->setParent(&m_server);
        QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
            QByteArray& buffer = m_buffers[socket];
            buffer += socket->readAll();
            if (!buffer.contains("\r\n\r\n"))
                return;
            const QList<QByteArray> requestLine = buffer.left(buffer.indexOf("\r\n")).split(' ');
            m_buffers.remove(socket);
            const QString path = requestLine.size() > 1 ? QString::fromLatin1(requestLine.at(1)) : QString();
            requests << path;
            respond(socket, answerFor(path));
        });
    }

    Answer answerFor(const QString& path) const
    {
        QString best;
        for (auto it = m_answers.cbegin(); it != m_answers.cend(); ++it) {
            if (path.startsWith(it.key()) && it.key().size() > best.size())
                best = it.key();
        }
        if (best.isEmpty())
            return Answer{404, QByteArray("{}"), 0, QByteArray(), false};
        return m_answers.value(best);
    }

    static void respond(QTcpSocket* socket, const Answer& answer)
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
            QByteArray head = "HTTP/1.1 " + QByteArray::number(answer.status) + " Answer\r\n";
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

    QTcpServer m_server;
    QHash<QString, Answer> m_answers;
    QHash<QTcpSocket*, QByteArray> m_buffers;
};

#endif // HOST_FAKEWEBAPI_H
