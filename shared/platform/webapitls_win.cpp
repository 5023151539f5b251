#include "webapitls.h"

// Windows: the toolkit built for Windows here has no TLS backend, and the
// web API client has no WinHTTP half yet. An https request fails before
// anything is sent rather than going out unverified.
namespace WebApiTls {

QString prepare(QNetworkRequest*)
{
    return QStringLiteral("this Windows build has no TLS for the web API (https); "
                          "only a development web API over plain HTTP (VARVEX_API_SCHEME=http) can be reached");
}

void watchErrors(QNetworkReply*)
{
}

QString errorsOf(const QNetworkReply*)
{
    return QString();
}

} // namespace WebApiTls
