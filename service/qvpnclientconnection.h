#ifndef QVPNCLIENTCONNECTION_H
#define QVPNCLIENTCONNECTION_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>
#include <QThread>

#include "varvexlog.h"
#include "varvexprotocol.h"

class QLocalSocket;

// One connected client program: reads its request frames, answers the
// credentials request and writes status, login-failed and bandwidth frames.
// Lives on the main thread; its own thread would only run an empty event
// loop, so the server does not start it (a running thread costs descriptors).
//
// A client cannot make the service hold more than a bounded amount for it:
// at most ReceiveBufferLimit bytes of its requests are read ahead, requests
// wait while OutputLimit bytes of output are unsent, a notification that
// finds the output that full while the client has taken nothing for
// OutputStallMs (or twice that full in any case) closes the connection, and
// at most FramesPerTurn frames are served before the other clients get their
// turn.
class QVPNClientConnection : public QThread
{
    Q_OBJECT
public:
    static const int ReceiveBufferLimit = 64 * 1024;
    static const int OutputLimit = 64 * 1024;
    static const int FramesPerTurn = 64;
    static const int OutputStallMs = 5000;

    QVPNClientConnection(QObject* parent, quintptr socketDescriptor);
    ~QVPNClientConnection() override;

    QLocalSocket* socket();

    // The host and credentials of a connect request frame; false, with the
    // reason logged, when the request cannot be used.
    static bool readConnectRequest(const QByteArray& frame, QString* host, QString* username, QString* password);

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
    void socket_bytesWritten();

private:
    void serveFrames();
    void fillBuffer();
    void scheduleTurn();
    void dispatch(const QByteArray& frame);
    void connectRequest(const QByteArray& frame);
    void credentialsRequest();
    void send(const QByteArray& frame);
    bool canNotify(const QString& slotName);

    quintptr m_socketDescriptor;
    QLocalSocket* m_socket;
    VarvexFrameReader m_buffer;
    VarvexLogSummary m_log;
    bool m_turnScheduled = false;
    bool m_waitingForOutput = false;
    QElapsedTimer m_lastDrain;
};

#endif // QVPNCLIENTCONNECTION_H
