#include "qvpnlistservers.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QNetworkReply>
#include <QNetworkRequest>

#include "webapi.h"

QVPNListServers::QVPNListServers(QObject* parent)
    : QObject(parent)
{
    connect(&m_networkManager, &QNetworkAccessManager::finished,
            this, &QVPNListServers::http_finished);
}

void QVPNListServers::updateList()
{
    m_servers = QList<VPNServerInfo>();
    m_networkManager.clearAccessCache();
    m_networkManager.get(QNetworkRequest(WebApi::url(VARVEX_API_GET_LIST)));
}

QList<VPNServerInfo> QVPNListServers::servers() const
{
    return m_servers;
}

void QVPNListServers::http_finished(QNetworkReply* reply)
{
    if (!reply) {
        emit finished();
        return;
    }

    // The body alone decides: an error page or a dropped connection does not
    // parse and leaves the list empty.
    const QByteArray body = reply->readAll();
    reply->deleteLater();

    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        emit finished();
        return;
    }

    const QJsonObject servers = document.object();
    const QStringList names = servers.keys();
    for (const QString& name : names) {
        const QJsonValue value = servers.value(name);
        if (!value.isObject())
            continue;
        const QJsonObject server = value.toObject();
        if (!server.contains(QLatin1String("code")) || !server.contains(QLatin1String("host")))
            continue;
        VPNServerInfo info;
        info.name = name;
        info.code = server.value(QLatin1String("code")).toString();
        info.hostname = server.value(QLatin1String("host")).toString();
        m_servers.append(info);
    }

    emit finished();
}
