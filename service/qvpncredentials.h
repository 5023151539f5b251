#ifndef QVPNCREDENTIALS_H
#define QVPNCREDENTIALS_H

#include <QObject>
#include <QString>

#include "webapiclient.h"

// Fetches this installation's VPN credentials from the web API and keeps
// them, encoded, in the "Credentials" service setting.
class QVPNCredentials : public QObject
{
    Q_OBJECT
public:
    explicit QVPNCredentials(QObject* parent = nullptr);

    void setInstallerToken(const QString& token);
    bool hasCredentials() const;
    QString credentials() const;

signals:
    void updateFinish(bool success);

public slots:
    void updateCredentials();

private slots:
    void http_finished(const WebApiAnswer& answer);

private:
    QString m_installerToken;
    WebApiClient m_webApi;
};

#endif // QVPNCREDENTIALS_H
