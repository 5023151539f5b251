#ifndef SERVICETESTSUPPORT_H
#define SERVICETESTSUPPORT_H

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QLocalSocket>
#include <QString>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include "varvexlog.h"
#include "varvexprotocol.h"

// Reads what the log writer appended since the last mark.
class LogReader
{
public:
    void mark()
    {
        QFile file(path());
        m_offset = file.exists() ? file.size() : 0;
    }
    QByteArray sinceMark() const
    {
        QFile file(path());
        if (!file.open(QIODevice::ReadOnly))
            return QByteArray();
        file.seek(m_offset);
        return file.readAll();
    }
    bool contains(const QByteArray& text) const { return sinceMark().contains(text); }
    int count(const QByteArray& text) const { return sinceMark().count(text); }

    // Starts the test's log afresh so that it does not grow run after run.
    static void removeFile()
    {
        QFile::remove(path());
    }

private:
    static QString path()
    {
        // The writer works the path out at its first line after setupLog.
        if (currentLogPath().isEmpty())
            writeLog(QStringLiteral("test log opened"), LOG_CRITICAL);
        return currentLogPath();
    }
    qint64 m_offset = 0;
};

// A client end of the local socket that collects whole frames.
class FrameClient
{
public:
    bool connectTo(const QString& name)
    {
        m_socket.connectToServer(name);
        return m_socket.waitForConnected(1000);
    }
    void send(const QByteArray& bytes)
    {
        m_socket.write(bytes);
        m_socket.flush();
    }
    // Frames received so far (the event loop must run to receive more).
    QList<QByteArray> frames()
    {
        m_reader.append(m_socket.readAll());
        QByteArray frame;
        while (m_reader.next(&frame) == VarvexFrameReader::Frame)
            m_frames.append(frame);
        return m_frames;
    }
    QList<QByteArray> framesWithCode(quint8 code)
    {
        QList<QByteArray> result;
        for (const QByteArray& frame : frames()) {
            if (quint8(frame.at(2)) == code)
                result.append(frame);
        }
        return result;
    }
    QByteArray statusBytes()
    {
        QByteArray result;
        for (const QByteArray& frame : framesWithCode(VARVEX_CMD_STATUS_UPDATE))
            result.append(frame.at(3));
        return result;
    }
    void clear()
    {
        frames();
        m_frames.clear();
    }
    QLocalSocket& socket() { return m_socket; }

private:
    QLocalSocket m_socket;
    VarvexFrameReader m_reader;
    QList<QByteArray> m_frames;
};

// Stands in for the web API on a loopback port: records request paths and
// answers with an empty body.
class RecordingWebApi : public QTcpServer
{
public:
    RecordingWebApi()
    {
        listen(QHostAddress::LocalHost, 0);
        connect(this, &QTcpServer::newConnection, this, [this]() {
            while (QTcpSocket* socket = nextPendingConnection()) {
                connect(socket, &QTcpSocket::readyRead, socket, [this, socket]() {
                    const QByteArray request = socket->readAll();
                    const QList<QByteArray> words = request.split(' ');
                    if (words.size() > 1)
                        paths.append(words.at(1));
                    socket->write("HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
                    socket->disconnectFromHost();
                });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
    }
    QString hostAndPort() const { return QStringLiteral("127.0.0.1:%1").arg(serverPort()); }
    int countContaining(const QByteArray& text) const
    {
        int n = 0;
        for (const QByteArray& path : paths)
            n += path.contains(text) ? 1 : 0;
        return n;
    }
    QList<QByteArray> paths;
};

inline QByteArray fromHex(const char* hex)
{
    return QByteArray::fromHex(QByteArray(hex));
}

#endif // SERVICETESTSUPPORT_H
