#include "qvpnpublicaddresslookup.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QTimer>

#include "webapi.h"

QVPNPublicAddressLookup::QVPNPublicAddressLookup(QObject* parent)
    : QObject(parent)
{
}

void QVPNPublicAddressLookup::startSeries()
{
    m_attempts = 0;
    scheduleAttempt();
}

void QVPNPublicAddressLookup::scheduleAttempt()
{
    QTimer::singleShot(RetryInterval, this, &QVPNPublicAddressLookup::lookUp);
}

void QVPNPublicAddressLookup::lookUp()
{
    ++m_attempts;
    emit resultReady(Looking, QString());
    m_webApi.get(WebApi::url(VARVEX_API_GET_IP));
}

void QVPNPublicAddressLookup::evaluate(const WebApiAnswer& answer)
{
    QString address;
    if (answer.ok()) {
        QJsonParseError parseError;
        const QJsonDocument document = QJsonDocument::fromJson(answer.body, &parseError);
        if (parseError.error == QJsonParseError::NoError)
            address = document.object().value(QStringLiteral("ip")).toString();
    }

    if (!address.isEmpty())
        emit resultReady(Found, address);
    else if (m_attempts > MaxAttempts)
        emit resultReady(GaveUp, QString());
    else
        scheduleAttempt();
}
