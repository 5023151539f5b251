#ifndef HOST_TESTCERTIFICATES_H
#define HOST_TESTCERTIFICATES_H

// Two real self-signed CA certificates (EC P-256, valid until 2126), for
// tests that need files which parse as PEM certificates.

#include <QByteArray>

inline QByteArray testCertificateA()
{
    return QByteArray(
    "-----BEGIN CERTIFICATE-----\n"
    "MIIBjDCCATOgAwIBAgIUU41zh6yMAI+pyk2WHGSObpKg/DUwCgYIKoZIzj0EAwIw\n"
    "GzEZMBcGA1UEAwwQVmFydmV4IFRlc3QgQ0EgYTAgFw0yNjEyMDkwMjU2MzVaGA8y\n"
    "MTI2MTExNTAyNTYzNVowGzEZMBcGA1UEAwwQVmFydmV4IFRlc3QgQ0EgYTBZMBMG\n"
    "ByqGSM49AgEGCCqGSM49AwEHA0IABPTjqwLoh+M+HDhph+NJrdorkbkCa0qAeJlZ\n"
    "N8deycsOqcI8ztXo31mjEHLQfENEQIImFV/AyNXWK68RJH/NE/+jUzBRMB0GA1Ud\n"
    "DgQWBBRCGUhP91r2QyNA+OGjDzggNXLN4TAfBgNVHSMEGDAWgBRCGUhP91r2QyNA\n"
    "+OGjDzggNXLN4TAPBgNVHRMBAf8EBTADAQH/MAoGCCqGSM49BAMCA0cAMEQCIASr\n"
    "39fshFeuIGx3SJLj+JkGVbYQ7TKwHJdahUARxd9BAiBGRli/Hf1IiftDRmfh4m/C\n"
    "dCOrBuOFL6P8KxAoHJs6jA==\n"
    "-----END CERTIFICATE-----\n");
}

inline QByteArray testCertificateB()
{
    return QByteArray(
    "-----BEGIN CERTIFICATE-----\n"
    "MIIBjTCCATOgAwIBAgIUQaYHbhRNCjPd8hnQOgedkpVzPYcwCgYIKoZIzj0EAwIw\n"
    "GzEZMBcGA1UEAwwQVmFydmV4IFRlc3QgQ0EgYjAgFw0yNjEyMDkwMjU2MzVaGA8y\n"
    "MTI2MTExNTAyNTYzNVowGzEZMBcGA1UEAwwQVmFydmV4IFRlc3QgQ0EgYjBZMBMG\n"
    "ByqGSM49AgEGCCqGSM49AwEHA0IABL50TfO0mx55e/+z+7oY67oiHM3rW+nhjUiX\n"
    "EBWbcQ3x/BSdhUOtTnfm2ApYNZIsRG6RgEyrk7E9oC2q0YV3TXijUzBRMB0GA1Ud\n"
    "DgQWBBQwW3gnVN+/Boot4Lbex+fJw/mT7jAfBgNVHSMEGDAWgBQwW3gnVN+/Boot\n"
    "4Lbex+fJw/mT7jAPBgNVHRMBAf8EBTADAQH/MAoGCCqGSM49BAMCA0gAMEUCICkU\n"
    "ITAbm7hDuLagzAkAgVCsAE+z2pOLK6tNaf95pfK0AiEAoIZYlamy8INSFq3FXlxj\n"
    "PUQ9if6o1WQkJJVT1qd857g=\n"
    "-----END CERTIFICATE-----\n");
}

#endif // HOST_TESTCERTIFICATES_H
