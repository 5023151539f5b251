#include "webapi.h"

#include <QByteArray>
#include <QtGlobal>

namespace {

QString fromEnvironment(const char* variable, const char* fallback)
{
    const QByteArray value = qgetenv(variable).trimmed();
    return value.isEmpty() ? QString::fromLatin1(fallback) : QString::fromLatin1(value);
}

} // namespace

namespace WebApi {

QString host()
{
    return fromEnvironment("VARVEX_API_HOST", VARVEX_DEFAULT_API_HOST);
}

QUrl url(const char* endpoint, const QString& suffix)
{
    return QUrl(QStringLiteral("http://") + host() + QLatin1String(endpoint)
                + QStringLiteral(VARVEX_API_KEY) + suffix);
}

QString webHost()
{
    return fromEnvironment("VARVEX_WEB_HOST", VARVEX_DEFAULT_WEB_HOST);
}

} // namespace WebApi
