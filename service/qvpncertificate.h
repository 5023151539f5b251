#ifndef QVPNCERTIFICATE_H
#define QVPNCERTIFICATE_H

#include <QByteArray>
#include <QObject>
#include <QString>

#include "webapiclient.h"

// Keeps OpenVPN's CA certificate file equal to the one the web API publishes.
class QVPNCertificate : public QObject
{
    Q_OBJECT
public:
    enum RequestType { InfoRequest = 0, FileRequest = 1 };
    // Largest certificate file accepted; a CA certificate is a few KiB.
    static constexpr qint64 MaxCertificateSize = 64 * 1024;

    QVPNCertificate(const QString& certificatePath, QObject* parent = nullptr);

    void updateCerfiticateFile();
    QByteArray fileHash();

signals:
    void updateFinish(bool success);

public slots:
    void updateCertificate();

private slots:
    void http_finished(const WebApiAnswer& answer);

private:
    void sendRequest(RequestType type);
    void handleInfoAnswer(const WebApiAnswer& answer);
    void handleFileAnswer(const WebApiAnswer& answer);
    QString downloadFault(const WebApiAnswer& answer) const;
    void finishUpdate(bool success);

    WebApiClient m_webApi;
    QString m_certificatePath;
    // Kind of the request sent last; each answer carries its own kind,
    // which is what it is judged by.
    int m_requestType = InfoRequest;
    // A check or download is under way: later checks join it.
    bool m_updateRunning = false;
    // The hash the check published, which the download must match.
    bool m_checkPreceded = false;
    QByteArray m_publishedHash;
};

#endif // QVPNCERTIFICATE_H
