#include "pemcertificates.h"

#include <QSslCertificate>

namespace PemCertificates {

int countParsed(const QByteArray& text)
{
    const QList<QSslCertificate> certificates = QSslCertificate::fromData(text, QSsl::Pem);
    for (const QSslCertificate& certificate : certificates) {
        if (certificate.isNull())
            return -1;
    }
    return certificates.size();
}

} // namespace PemCertificates
