#ifndef QVPNCLIENTCONNECTION_H
#define QVPNCLIENTCONNECTION_H

#include <QByteArray>
#include <QString>
#include <QThread>

#include "varvexprotocol.h"

class QLocalSocket;

// One connected client program: reads its request frames, answers the
// credentials request and writes status, login-failed and bandwidth frames.
// Lives on the main thread; its own thread only runs an empty event loop.
class QVPNClientConnection : public QThread
{
    Q_OBJECT
public:
    QVPNClientConnection(QObject* parent, quintptr socketDescriptor);
    ~QVPNClientConnection() override;

    QLocalSocket* socket();

signals:
    void getStatus();
    void startVPN(QString host, QString username, QString password);
    void stopVPN();

public slots:
    void statusUpdate(int status);
    void loginFailed();
    void updateBandwidthInfo(uchar status, uint downloadBytes, uint uploadBytes);

protected:
    void run() override;

private slots:
    void socket_readyRead();

private:
    void dispatch(const QByteArray& frame);
    void connectRequest(const QByteArray& frame);
    void credentialsRequest();
    void send(const QByteArray& frame);

    quintptr m_socketDescriptor;
    QLocalSocket* m_socket;
    VarvexFrameReader m_buffer;
};

#endif // QVPNCLIENTCONNECTION_H
