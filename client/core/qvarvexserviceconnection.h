#ifndef QVARVEXSERVICECONNECTION_H
#define QVARVEXSERVICECONNECTION_H

#include <QByteArray>
#include <QLocalSocket>
#include <QObject>
#include <QString>

#include "varvexprotocol.h"

// A client's link to the service: sends requests and turns the service's
// frames into signals. Shared by the window and the terminal tool; what a
// lost service means to the user is theirs to say (serviceLost()).
class QVarvexServiceConnection : public QObject
{
    Q_OBJECT
public:
    explicit QVarvexServiceConnection(QObject* parent = nullptr);
    ~QVarvexServiceConnection() override;

    // False when no service answers, or when the one at the socket fails
    // the peer check; refusalReason() then says why it was not trusted.
    bool connectToService();
    QString refusalReason() const { return m_refusal; }
    void disconnectFromService();

    // False when the host name and encoded credentials together do not fit
    // in one connect request; sendConnectToVPNRequest then sends nothing.
    static bool connectRequestFits(const QString& host, const QString& username, const QString& password);

    // Takes bytes as they came from the service, in pieces of any size, and
    // emits what the whole frames among them say.
    void receive(const QByteArray& bytes);

signals:
    void disconnected();
    void status();
    void serverList();
    void credentials(QByteArray credentials);
    void notifyStatusChange(char status);
    void assignedIP(QByteArray ip);
    void startTime(uint startTime);
    void caFile(QByteArray fileContent);
    void updateBandwidth(uchar type, uint download, uint upload);
    void error(QString description);
    void loginFailed();
    // The service closed the connection without this side asking for it.
    void serviceLost();

public slots:
    void sendStatusRequest();
    void sendConnectToVPNRequest(QString host, QString username, QString password);
    void sendAbortRequest();
    void sendServerListRequest();
    void sendCredentialsRequest();
    void sendUpdateCAFileRequest();

private slots:
    void socket_readyRead();
    void socket_disconnected();

private:
    static bool buildConnectPayload(const QByteArray& host, const QByteArray& credentials, QByteArray* payload);
    bool beginRequest(const char* method);
    void sendRequest(const char* method, quint8 code, int pending, const QByteArray& payload = QByteArray());
    void dispatchFrame(const QByteArray& frame);
    void handleBandwidth(quint8 status, quint32 download, quint32 upload);

    QLocalSocket m_socket;
    int m_pendingRequest = 0;
    VarvexFrameReader m_buffer;
    quint32 m_lastDownload = 0;
    quint32 m_lastUpload = 0;
    quint8 m_lastBandwidthStatus = 0xFF;
    bool m_closing = false;
    QString m_refusal;
};

#endif // QVARVEXSERVICECONNECTION_H
