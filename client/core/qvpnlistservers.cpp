#include "qvpnlistservers.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

#include "webapi.h"

QVPNListServers::QVPNListServers(QObject* parent)
    : QObject(parent)
{
    connect(&m_webApi, &WebApiClient::answered, this, &QVPNListServers::http_finished);
}

void QVPNListServers::updateList()
{
    m_servers = QList<VPNServerInfo>();
    m_failure.clear();
    m_webApi.get(WebApi::url(VARVEX_API_GET_LIST));
}

QList<VPNServerInfo> QVPNListServers::servers() const
{
    return m_servers;
}

void QVPNListServers::http_finished(const WebApiAnswer& answer)
{
    // The body alone decides, whatever the status: an error page does not
    // parse and leaves the list empty. A transfer that failed, timed out or
    // ran over the size cap has no body to decide by.
    if (answer.outcome != WebApiAnswer::Answered) {
        m_failure = answer.failure();
        emit finished();
        return;
    }

    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(answer.body, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        m_failure = answer.status == 200 ? QStringLiteral("the server list is not a JSON object")
                                         : answer.failure();
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
