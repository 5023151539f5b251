#ifndef RECORDINGHTTPSERVER_H
#define RECORDINGHTTPSERVER_H

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <QSslCertificate>
#include <QSslKey>
#include <QTcpServer>

class QTcpSocket;

// A web server on loopback whose answers each test sets: status, body and an
// optional delay per endpoint (the longest endpoint a path begins with
// decides), with every request recorded. An answer can also be raw bytes
// sent as they are, or none at all: the request is accepted and never
// answered. Every answer closes its connection. It speaks plain HTTP, or
// HTTPS when started with a certificate; a plain one gives a TLS client the
// default answer, unrecorded.
class RecordingHttpServer
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

    RecordingHttpServer();
    ~RecordingHttpServer();

    bool start();
    // HTTPS with this certificate and key (PEM files).
    bool startTls(const QString& certificateFile, const QString& keyFile);
    quint16 port() const { return m_server.serverPort(); }
    QString hostAndPort() const;

    // endpoint: "/get_ca_info/", "/get_list/", ...
    void setAnswer(const QString& endpoint, const Answer& answer);
    void setAnswer(const QString& endpoint, int status, const QByteArray& body, int delayMs = 0);
    void setRawAnswer(const QString& endpoint, const QByteArray& response);
    void setHangingAnswer(const QString& endpoint);
    // The next `times` requests to the endpoint are accepted and never answered.
    void hangNext(const QString& endpoint, int times);
    // For paths no endpoint matches; 404 with "{}" unless set.
    void setDefaultAnswer(const Answer& answer) { m_defaultAnswer = answer; }

    // Paths requested, and the whole first lines of the requests, in order.
    QStringList requests;
    QList<QByteArray> requestLines;
    // Requests whose path begins with the prefix.
    int count(const QString& prefix) const;
    void clearRequests();

private:
    void accept(QTcpSocket* socket);
    QString endpointFor(const QString& path) const;
    Answer answerFor(const QString& path);
    static void respond(QTcpSocket* socket, const Answer& answer);

    class Listener : public QTcpServer
    {
    public:
        QSslCertificate certificate;
        QSslKey key;

    protected:
        void incomingConnection(qintptr descriptor) override;
    };

    Listener m_server;
    QHash<QString, Answer> m_answers;
    QHash<QString, int> m_hangs;
    Answer m_defaultAnswer{404, QByteArray("{}"), 0, QByteArray(), false};
    QHash<QTcpSocket*, QByteArray> m_buffers;
};

#endif // RECORDINGHTTPSERVER_H
