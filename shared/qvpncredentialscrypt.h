#ifndef QVPNCREDENTIALSCRYPT_H
#define QVPNCREDENTIALSCRYPT_H

#include <QByteArray>
#include <QString>

// Turns a user name and password into one printable Base64 text and back.
// The per-byte scrambling only keeps the text from being read at a glance;
// it is not encryption.
class QVPNCredentialsCrypt
{
public:
    static QByteArray encodeUserPass(const QString& username, const QString& password);
    // On failure returns false and leaves both outputs untouched.
    static bool decodeUserPass(const QString& blob, QString& username, QString& password);
};

#endif // QVPNCREDENTIALSCRYPT_H
