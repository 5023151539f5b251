#ifndef PEMCERTIFICATES_H
#define PEMCERTIFICATES_H

#include <QByteArray>
#include <QDateTime>
#include <QList>

// Certificate parsing with the platform's own X.509 code.
namespace PemCertificates {

// What the CA file check needs of one certificate.
struct Certificate
{
    // Basic constraints say CA:TRUE; absent constraints make no authority.
    bool authority = false;
    QDateTime expiry;
};

// The PEM certificates in text, in order; false when one of them does not
// parse as an X.509 certificate.
bool read(const QByteArray& text, QList<Certificate>* certificates);

} // namespace PemCertificates

#endif // PEMCERTIFICATES_H
