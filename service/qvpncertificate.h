#ifndef QVPNCERTIFICATE_H
#define QVPNCERTIFICATE_H

#include <QByteArray>
#include <QNetworkAccessManager>
#include <QObject>
#include <QString>

class QNetworkReply;

// Keeps OpenVPN's CA certificate file equal to the one the web API publishes.
class QVPNCertificate : public QObject
{
    Q_OBJECT
public:
    enum RequestType { InfoRequest = 0, FileRequest = 1 };

    QVPNCertificate(const QString& certificatePath, QObject* parent = nullptr);

    void updateCerfiticateFile();
    QByteArray fileHash();

signals:
    void updateFinish(bool success);

public slots:
    void updateCertificate();

private slots:
    void http_finished(QNetworkReply* reply);

private:
    void sendRequest(RequestType type);
    void handleInfoAnswer(QNetworkReply* reply);
    void handleFileAnswer(QNetworkReply* reply);
    static QString failureReason(QNetworkReply* reply);

    QNetworkAccessManager m_networkManager;
    QString m_certificatePath;
    // Kind of the request sent last; each reply also carries its own kind,
    // which is what its answer is judged by.
    int m_requestType = InfoRequest;
    int m_pendingReplies = 0;
};

#endif // QVPNCERTIFICATE_H
