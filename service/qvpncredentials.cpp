#include "qvpncredentials.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>

#include "controlcharacters.h"
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
    connect(&m_webApi, SIGNAL(answered(WebApiAnswer)), this, SLOT(http_finished(WebApiAnswer)));
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
    // The token comes from a file name: encoded, it stays one path segment
    // whatever characters it holds.
    const QString userCode = QString::fromLatin1(QUrl::toPercentEncoding(m_installerToken));
    m_webApi.get(WebApi::url(VARVEX_API_GET_USER, QStringLiteral("/") + userCode));
}

void QVPNCredentials::http_finished(const WebApiAnswer& answer)
{
    if (!answer.ok()) {
        writeLog(QStringLiteral("Credentials fetch failed at function http_finished: %1").arg(answer.failure()), LOG_ERROR);
        emit updateFinish(false);
        return;
    }

    QJsonParseError parseError;
    const QJsonObject fields = QJsonDocument::fromJson(answer.body, &parseError).object();
    if (parseError.error != QJsonParseError::NoError) {
        emit updateFinish(false);
        return;
    }

    const QString username = fields.value(QStringLiteral("username")).toString();
    const QString password = fields.value(QStringLiteral("password")).toString();
    if (containsControlCharacter(username) || containsControlCharacter(password)) {
        writeLog(QStringLiteral("Provisioned credentials contain control characters. Nothing is stored."), LOG_ERROR);
        emit updateFinish(false);
        return;
    }
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
