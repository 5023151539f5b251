#include "webapitls.h"

#include <QFile>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslError>
#include <QSslSocket>

#include "webapi.h"

namespace {

const char* const kTlsErrorsProperty = "varvexTlsErrors";

// A bundle of extra authorities is a few certificates; more is not one.
const qint64 kMaxCaFileSize = 1024 * 1024;

// The system's authorities, read once: setting the authorities of a request
// replaces the system's unless they are named too.
const QList<QSslCertificate>& systemAuthorities()
{
    static const QList<QSslCertificate> authorities = QSslConfiguration::systemCaCertificates();
    return authorities;
}

} // namespace

namespace WebApiTls {

QString prepare(QNetworkRequest* request)
{
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
    tls.setProtocol(QSsl::TlsV1_2OrLater);

    const QString caFile = WebApi::extraCaFile();
    if (!caFile.isEmpty()) {
        QFile file(caFile);
        if (!file.open(QIODevice::ReadOnly))
            return QStringLiteral("VARVEX_API_CA_FILE %1 cannot be read: %2").arg(caFile, file.errorString());
        const QByteArray pem = file.read(kMaxCaFileSize + 1);
        const QList<QSslCertificate> extra = QSslCertificate::fromData(pem, QSsl::Pem);
        if (pem.size() > kMaxCaFileSize || extra.isEmpty())
            return QStringLiteral("VARVEX_API_CA_FILE %1 holds no PEM certificate").arg(caFile);
        tls.setCaCertificates(systemAuthorities() + extra);
    }
    request->setSslConfiguration(tls);
    return QString();
}

void watchErrors(QNetworkReply* reply)
{
    // Kept to say why the server was refused; the errors are never ignored.
    QObject::connect(reply, &QNetworkReply::sslErrors, reply, [reply](const QList<QSslError>& errors) {
        QStringList texts;
        for (const QSslError& error : errors)
            texts << error.errorString();
        reply->setProperty(kTlsErrorsProperty, texts.join(QStringLiteral("; ")));
    });
}

QString errorsOf(const QNetworkReply* reply)
{
    return reply->property(kTlsErrorsProperty).toString();
}

} // namespace WebApiTls
