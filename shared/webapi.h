#ifndef WEBAPI_H
#define WEBAPI_H

#include <QString>
#include <QUrl>

// The vendor's web API as both programs use it: GET over verified TLS, the
// API key as the path segment right after the endpoint.
#define VARVEX_API_KEY "3b9e07c1d52a48f6e0b7c19d4a62f85e"

#define VARVEX_API_GET_IP "/get_ip/"
#define VARVEX_API_GET_LIST "/get_list/"
#define VARVEX_API_GET_USER "/get_user/"
#define VARVEX_API_GET_CA_INFO "/get_ca_info/"
#define VARVEX_API_GET_CA "/get_ca/"

namespace WebApi {

// The web API host ("host" or "host:port"): VARVEX_API_HOST when set,
// else the host compiled in.
QString host();

// "https", unless VARVEX_API_SCHEME is exactly "http" (development and tests
// only). Any other value keeps TLS: a typo must not turn verification off.
QString scheme();
bool usesPlainHttp();
// VARVEX_API_SCHEME when it is set to neither "https" nor "http".
QString unknownSchemeSetting();

// scheme + "://" + host + endpoint + key + suffix, e.g. url(VARVEX_API_GET_USER, "/" + token).
QUrl url(const char* endpoint, const QString& suffix = QString());

// VARVEX_API_CA_FILE: a PEM file of certificate authorities trusted for the
// web API besides the system's (development and tests); empty when unset.
QString extraCaFile();

// The vendor's web site host: VARVEX_WEB_HOST when set, else compiled in.
QString webHost();
// The feedback page, always over https: the user's browser opens it.
QUrl feedbackUrl();

} // namespace WebApi

#endif // WEBAPI_H
