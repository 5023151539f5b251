#ifndef TESTCERTIFICATES_H
#define TESTCERTIFICATES_H

#include <QByteArray>
#include <QString>

// Makes the test run's authorities and server certificates in folder (see
// make-test-certificates.sh beside this file for the names). Returns why it
// failed, empty on success.
QString makeTestCertificates(const QString& folder);

// For as long as it lives, the web API is used over https with the given
// authority file trusted besides the system's; the environment comes back
// afterwards.
class ScopedHttpsWebApi
{
public:
    explicit ScopedHttpsWebApi(const QString& caFile);
    ~ScopedHttpsWebApi();
    ScopedHttpsWebApi(const ScopedHttpsWebApi&) = delete;
    ScopedHttpsWebApi& operator=(const ScopedHttpsWebApi&) = delete;

private:
    QByteArray m_scheme;
    QByteArray m_caFile;
};

#endif // TESTCERTIFICATES_H
