#ifndef WEBAPITLS_H
#define WEBAPITLS_H

#include <QString>

class QNetworkReply;
class QNetworkRequest;

// The TLS of the web API's https requests: the system's authorities and
// those of VARVEX_API_CA_FILE are trusted, and any TLS error fails the request.
namespace WebApiTls {

// Sets up what an https request trusts; returns why it cannot be, empty
// when it can. Nothing is sent when it cannot.
QString prepare(QNetworkRequest* request);
// Keeps reply's TLS errors to say later why the server was refused.
void watchErrors(QNetworkReply* reply);
// The TLS errors kept for reply; empty when there were none.
QString errorsOf(const QNetworkReply* reply);

} // namespace WebApiTls

#endif // WEBAPITLS_H
