#include "pemcertificates.h"

#include <windows.h>

#include <wincrypt.h>

#include <vector>

// Windows: the toolkit has no TLS backend here; the system's crypt32 parses.
namespace PemCertificates {

int countParsed(const QByteArray& text)
{
    static const QByteArray begin = "-----BEGIN CERTIFICATE-----";
    static const QByteArray end = "-----END CERTIFICATE-----";
    int count = 0;
    int from = 0;
    for (;;) {
        const int start = text.indexOf(begin, from);
        if (start < 0)
            return count;
        const int stop = text.indexOf(end, start);
        if (stop < 0)
            return -1;
        const QByteArray block = text.mid(start, stop + end.size() - start);
        DWORD size = 0;
        if (!CryptStringToBinaryA(block.constData(), DWORD(block.size()), CRYPT_STRING_BASE64HEADER, nullptr, &size,
                                  nullptr, nullptr)
            || size == 0)
            return -1;
        std::vector<BYTE> der(size);
        if (!CryptStringToBinaryA(block.constData(), DWORD(block.size()), CRYPT_STRING_BASE64HEADER, der.data(), &size,
                                  nullptr, nullptr))
            return -1;
        const PCCERT_CONTEXT certificate = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), size);
        if (!certificate)
            return -1;
        CertFreeCertificateContext(certificate);
        ++count;
        from = stop + end.size();
    }
}

} // namespace PemCertificates
