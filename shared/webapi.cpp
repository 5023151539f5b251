#include "webapi.h"

#include <QByteArray>
#include <QtGlobal>

namespace {

QString fromEnvironment(const char* variable, const char* fallback)
{
    const QByteArray value = qgetenv(variable).trimmed();
    return value.isEmpty() ? QString::fromLatin1(fallback) : QString::fromLatin1(value);
}

QByteArray schemeSetting()
{
    return qgetenv("VARVEX_API_SCHEME").trimmed();
}

} // namespace

namespace WebApi {

QString host()
{
    return fromEnvironment("VARVEX_API_HOST", VARVEX_DEFAULT_API_HOST);
}

bool usesPlainHttp()
{
    return schemeSetting() == "http";
}

QString scheme()
{
    return usesPlainHttp() ? QStringLiteral("http") : QStringLiteral("https");
}

QString unknownSchemeSetting()
{
    const QByteArray value = schemeSetting();
    if (value.isEmpty() || value == "https" || value == "http")
        return QString();
    return QString::fromLocal8Bit(value);
}

QUrl url(const char* endpoint, const QString& suffix)
{
    return QUrl(scheme() + QStringLiteral("://") + host() + QLatin1String(endpoint)
                + QStringLiteral(VARVEX_API_KEY) + suffix);
}

QString extraCaFile()
{
    return QString::fromLocal8Bit(qgetenv("VARVEX_API_CA_FILE"));
}

QString webHost()
{
    return fromEnvironment("VARVEX_WEB_HOST", VARVEX_DEFAULT_WEB_HOST);
}

QUrl feedbackUrl()
{
    return QUrl(QStringLiteral("https://") + webHost() + QStringLiteral("/feedback/"));
}

} // namespace WebApi
