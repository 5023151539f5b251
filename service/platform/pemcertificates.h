#ifndef PEMCERTIFICATES_H
#define PEMCERTIFICATES_H

#include <QByteArray>

// Certificate parsing with the platform's own X.509 code.
namespace PemCertificates {

// The number of PEM certificates in text, or -1 when one of them does not
// parse as an X.509 certificate.
int countParsed(const QByteArray& text);

} // namespace PemCertificates

#endif // PEMCERTIFICATES_H
