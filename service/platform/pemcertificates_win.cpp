#include "pemcertificates.h"

#include <windows.h>

#include <wincrypt.h>

#include <vector>

// Windows: the toolkit has no TLS backend here; the system's crypt32 parses.
namespace PemCertificates {

namespace {

QDateTime fromFileTime(const FILETIME& time)
{
    SYSTEMTIME utc;
    if (!FileTimeToSystemTime(&time, &utc))
        return QDateTime();
    return QDateTime(QDate(utc.wYear, utc.wMonth, utc.wDay),
                     QTime(utc.wHour, utc.wMinute, utc.wSecond, utc.wMilliseconds), Qt::UTC);
}

bool isAuthority(PCCERT_CONTEXT certificate)
{
    const PCERT_EXTENSION extension = CertFindExtension(szOID_BASIC_CONSTRAINTS2, certificate->pCertInfo->cExtension,
                                                        certificate->pCertInfo->rgExtension);
    if (!extension)
        return false;
    CERT_BASIC_CONSTRAINTS2_INFO constraints{};
    DWORD size = sizeof constraints;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_BASIC_CONSTRAINTS2, extension->Value.pbData,
                             extension->Value.cbData, 0, nullptr, &constraints, &size))
        return false;
    return constraints.fCA != FALSE;
}

// One "BEGIN ... END" block; false when it is no X.509 certificate.
bool readBlock(const QByteArray& block, Certificate* result)
{
    DWORD size = 0;
    if (!CryptStringToBinaryA(block.constData(), DWORD(block.size()), CRYPT_STRING_BASE64HEADER, nullptr, &size,
                              nullptr, nullptr)
        || size == 0)
        return false;
    std::vector<BYTE> der(size);
    if (!CryptStringToBinaryA(block.constData(), DWORD(block.size()), CRYPT_STRING_BASE64HEADER, der.data(), &size,
                              nullptr, nullptr))
        return false;
    const PCCERT_CONTEXT certificate = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), size);
    if (!certificate)
        return false;
    result->authority = isAuthority(certificate);
    result->expiry = fromFileTime(certificate->pCertInfo->NotAfter);
    CertFreeCertificateContext(certificate);
    return true;
}

} // namespace

bool read(const QByteArray& text, QList<Certificate>* certificates)
{
    static const QByteArray begin = "-----BEGIN CERTIFICATE-----";
    static const QByteArray end = "-----END CERTIFICATE-----";
    certificates->clear();
    int from = 0;
    for (;;) {
        const int start = text.indexOf(begin, from);
        if (start < 0)
            return true;
        const int stop = text.indexOf(end, start);
        if (stop < 0)
            return false;
        Certificate certificate;
        if (!readBlock(text.mid(start, stop + end.size() - start), &certificate))
            return false;
        certificates->append(certificate);
        from = stop + end.size();
    }
}

} // namespace PemCertificates
