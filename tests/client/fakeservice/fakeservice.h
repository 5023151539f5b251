#ifndef FAKESERVICE_H
#define FAKESERVICE_H

#include <QByteArray>
#include <QList>
#include <QLocalServer>
#include <QObject>
#include <QString>

#include "varvexprotocol.h"

class QLocalSocket;

// Stands in for varvexservice on the local socket "Varvex": greets each
// client with a status frame, records every frame the client sends and
// sends whatever notification a test asks for.
class FakeService : public QObject
{
    Q_OBJECT
public:
    explicit FakeService(QObject* parent = nullptr);
    ~FakeService() override;

    bool listen(const QString& name = QStringLiteral("Varvex"));
    int clientCount() const { return m_clients.size(); }

    void sendStatus(quint8 status, const QByteArray& address = "10.8.0.6", quint32 connectTime = 0);
    void sendBandwidth(quint8 status, quint32 download, quint32 upload);
    void sendLoginFailed();
    void sendCredentials(const QByteArray& text);
    void sendRaw(const QByteArray& bytes);

    // Frames received from clients, in order.
    QList<QByteArray> frames;
    int count(quint8 code) const;
    // The host and credentials fields of the last connect request.
    bool lastConnect(QString* host, QByteArray* credentials) const;

    quint8 greetingStatus = 3;

private:
    void onNewConnection();

    QLocalServer m_server;
    QList<QLocalSocket*> m_clients;
    QList<VarvexFrameReader*> m_readers;
};

#endif // FAKESERVICE_H
