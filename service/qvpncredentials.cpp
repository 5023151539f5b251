#include "qvpncredentials.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

#include "nofollowfile.h"
#include "qvpncredentialscrypt.h"
#include "qvpnsettings.h"
#include "varvexlog.h"
#include "webapi.h"

namespace {

const int kMaxFieldLength = 32;

bool acceptableField(const QString& value)
{
    return !value.isEmpty() && value.size() <= kMaxFieldLength;
}

} // namespace

QVPNCredentials::QVPNCredentials(QObject* parent)
    : QObject(parent)
{
    connect(&m_networkManager, SIGNAL(finished(QNetworkReply*)), this, SLOT(http_finished(QNetworkReply*)));
}

void QVPNCredentials::setInstallerToken(const QString& token)
{
    m_installerToken = token;
}

bool QVPNCredentials::hasCredentials() const
{
    return !credentials().isEmpty();
}

QString QVPNCredentials::credentials() const
{
    QVPNSettings settings;
    return settings.value(QStringLiteral("Credentials")).toString();
}

void QVPNCredentials::updateCredentials()
{
    // Clearing the cache drops requests still queued on a cached connection.
    if (m_pendingReplies == 0)
        m_networkManager.clearAccessCache();
    ++m_pendingReplies;
    // The token comes from a file name: encoded, it stays one path segment
    // whatever characters it holds.
    const QString userCode = QString::fromLatin1(QUrl::toPercentEncoding(m_installerToken));
    m_networkManager.get(QNetworkRequest(WebApi::url(VARVEX_API_GET_USER, QStringLiteral("/") + userCode)));
}

void QVPNCredentials::http_finished(QNetworkReply* reply)
{
    if (!reply) {
        emit updateFinish(false);
        return;
    }
    reply->deleteLater();
    if (m_pendingReplies > 0)
        --m_pendingReplies;

    const QByteArray body = reply->readAll();
    if (reply->error() != QNetworkReply::NoError
        || reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() != 200) {
        emit updateFinish(false);
        return;
    }

    QJsonParseError parseError;
    const QJsonObject answer = QJsonDocument::fromJson(body, &parseError).object();
    if (parseError.error != QJsonParseError::NoError) {
        emit updateFinish(false);
        return;
    }

    const QString username = answer.value(QStringLiteral("username")).toString();
    const QString password = answer.value(QStringLiteral("password")).toString();
    if (!acceptableField(username) || !acceptableField(password)) {
        emit updateFinish(false);
        return;
    }

    // The settings file is written in one step, and it keeps the mode of the
    // file it replaces: make that one readable by the service alone first.
    if (!NoFollowFile::restrictToOwner(QVPNSettings::storePath())) {
        writeLog(QStringLiteral("Credentials not stored: the settings file %1 cannot be made readable by the service alone.")
                     .arg(QVPNSettings::storePath()), LOG_ERROR);
        emit updateFinish(false);
        return;
    }
    QVPNSettings settings;
    settings.setValue(QStringLiteral("Credentials"), QVPNCredentialsCrypt::encodeUserPass(username, password));
    settings.sync();
    emit updateFinish(settings.status() == QSettings::NoError);
}
