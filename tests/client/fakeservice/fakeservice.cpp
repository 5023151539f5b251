#include "fakeservice.h"

#include <QLocalSocket>

FakeService::FakeService(QObject* parent)
    : QObject(parent)
{
    connect(&m_server, &QLocalServer::newConnection, this, &FakeService::onNewConnection);
}

FakeService::~FakeService()
{
    for (QLocalSocket* socket : m_clients) {
        socket->disconnect(this);
        socket->abort();
        delete socket;
    }
    qDeleteAll(m_readers);
}

bool FakeService::listen(const QString& name)
{
    QLocalServer::removeServer(name);
    return m_server.listen(name);
}

void FakeService::onNewConnection()
{
    while (QLocalSocket* socket = m_server.nextPendingConnection()) {
        socket->setParent(nullptr);
        auto* reader = new VarvexFrameReader;
        m_clients << socket;
        m_readers << reader;
        connect(socket, &QLocalSocket::readyRead, this, [this, socket, reader]() {
            reader->append(socket->readAll());
            QByteArray frame;
            VarvexFrameReader::Result result;
            while ((result = reader->next(&frame)) != VarvexFrameReader::NeedMore) {
                if (result == VarvexFrameReader::Frame)
                    frames << frame;
            }
        });
        QByteArray payload;
        payload.append(char(greetingStatus));
        socket->write(VarvexFrame::build(VARVEX_CMD_STATUS_UPDATE, payload));
    }
}

void FakeService::sendRaw(const QByteArray& bytes)
{
    for (QLocalSocket* socket : m_clients)
        socket->write(bytes);
}

void FakeService::sendStatus(quint8 status, const QByteArray& address, quint32 connectTime)
{
    QByteArray payload;
    payload.append(char(status));
    if (status == 1) {
        VarvexFrame::appendField(payload, address);
        VarvexFrame::appendUInt32(payload, connectTime);
    }
    sendRaw(VarvexFrame::build(VARVEX_CMD_STATUS_UPDATE, payload));
}

void FakeService::sendBandwidth(quint8 status, quint32 download, quint32 upload)
{
    QByteArray payload;
    payload.append(char(status));
    VarvexFrame::appendUInt32(payload, download);
    VarvexFrame::appendUInt32(payload, upload);
    sendRaw(VarvexFrame::build(VARVEX_CMD_BANDWIDTH_UPDATE, payload));
}

void FakeService::sendLoginFailed()
{
    sendRaw(VarvexFrame::build(VARVEX_CMD_LOGIN_FAILED));
}

void FakeService::sendCredentials(const QByteArray& text)
{
    QByteArray payload;
    VarvexFrame::appendField(payload, text);
    sendRaw(VarvexFrame::build(VARVEX_CMD_CREDENTIALS_REPLY, payload));
}

int FakeService::count(quint8 code) const
{
    int n = 0;
    for (const QByteArray& frame : frames)
        n += quint8(frame.at(2)) == code ? 1 : 0;
    return n;
}

bool FakeService::lastConnect(QString* host, QByteArray* credentials) const
{
    for (int i = frames.size() - 1; i >= 0; --i) {
        if (quint8(frames.at(i).at(2)) != VARVEX_CMD_CONNECT_REQUEST)
            continue;
        QByteArray payload = frames.at(i).mid(3, frames.at(i).size() - 4);
        *host = QString::fromUtf8(VarvexFrame::takeField(payload));
        *credentials = VarvexFrame::takeField(payload);
        return true;
    }
    return false;
}
