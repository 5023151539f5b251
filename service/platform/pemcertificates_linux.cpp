#include "pemcertificates.h"

#include <QSslCertificate>
#include <QSslCertificateExtension>

namespace PemCertificates {

namespace {

bool isAuthority(const QSslCertificate& certificate)
{
    const QList<QSslCertificateExtension> extensions = certificate.extensions();
    for (const QSslCertificateExtension& extension : extensions) {
        if (extension.name() == QLatin1String("basicConstraints"))
            return extension.value().toMap().value(QStringLiteral("ca")).toBool();
    }
    return false;
}

} // namespace

bool read(const QByteArray& text, QList<Certificate>* certificates)
{
    certificates->clear();
    const QList<QSslCertificate> parsed = QSslCertificate::fromData(text, QSsl::Pem);
    for (const QSslCertificate& certificate : parsed) {
        if (certificate.isNull())
            return false;
        certificates->append(Certificate{isAuthority(certificate), certificate.expiryDate()});
    }
    return true;
}

} // namespace PemCertificates
