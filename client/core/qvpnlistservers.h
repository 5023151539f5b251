#ifndef QVPNLISTSERVERS_H
#define QVPNLISTSERVERS_H

#include <QList>
#include <QObject>

#include "vpnserverinfo.h"
#include "webapiclient.h"

// One-shot download of the server list from the web API.
class QVPNListServers : public QObject
{
    Q_OBJECT
public:
    explicit QVPNListServers(QObject* parent = nullptr);

    void updateList();
    QList<VPNServerInfo> servers() const;
    // Why the last download gave no list (no answer, or not a JSON
    // object); empty when the web API answered with one.
    QString failure() const { return m_failure; }

signals:
    void finished();

private slots:
    void http_finished(const WebApiAnswer& answer);

private:
    WebApiClient m_webApi;
    QList<VPNServerInfo> m_servers;
    QString m_failure;
};

#endif // QVPNLISTSERVERS_H
