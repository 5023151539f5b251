#include "qvpncredentialscrypt.h"

#include "varvexlog.h"

namespace {

const quint8 CREDENTIALS_KEY = 0x6C;

char scramble(char byte)
{
    const quint8 b = quint8(byte);
    return char(quint8((b << 2) | (b >> 6)) ^ CREDENTIALS_KEY);
}

char unscramble(char byte)
{
    const quint8 b = quint8(byte) ^ CREDENTIALS_KEY;
    return char(quint8((b >> 2) | (b << 6)));
}

bool fail(const char* check)
{
    writeLog(QStringLiteral("%1 - %2").arg(QStringLiteral("decodeUserPass"), QLatin1String(check)), LOG_DEBUG);
    return false;
}

} // namespace

QByteArray QVPNCredentialsCrypt::encodeUserPass(const QString& username, const QString& password)
{
    const QByteArray user = username.toUtf8();
    const QByteArray pass = password.toUtf8();
    QByteArray plain;
    plain.reserve(user.size() + pass.size() + 2);
    plain.append(char(quint8(user.size())));
    plain.append(user);
    plain.append(char(quint8(pass.size())));
    plain.append(pass);
    for (char& byte : plain)
        byte = scramble(byte);
    return plain.toBase64();
}

bool QVPNCredentialsCrypt::decodeUserPass(const QString& blob, QString& username, QString& password)
{
    QByteArray tmp = QByteArray::fromBase64(blob.toUtf8());
    if (tmp.isEmpty())
        return fail("tmp.length()");
    for (char& byte : tmp)
        byte = unscramble(byte);

    const int usize = quint8(tmp.at(0));
    tmp.remove(0, 1);
    if (usize == 0)
        return fail("usize == 0");
    const QByteArray usernameBA = tmp.left(usize);
    if (usernameBA.length() != usize)
        return fail("usernameBA.length() != usize");
    tmp.remove(0, usize);

    const int psize = tmp.isEmpty() ? 0 : quint8(tmp.at(0));
    if (!tmp.isEmpty())
        tmp.remove(0, 1);
    if (psize == 0)
        return fail("psize == 0");
    const QByteArray passwordBA = tmp.left(psize);
    if (passwordBA.length() != psize)
        return fail("passwordBA.length() != psize");
    tmp.remove(0, psize);

    if (tmp.length() > 0)
        return fail("tmp.length() > 0");

    // Whole fields: cut at a NUL byte, a name would come out empty or
    // shortened, and no longer be the one that was encoded.
    username = QString::fromUtf8(usernameBA.constData(), usernameBA.size());
    password = QString::fromUtf8(passwordBA.constData(), passwordBA.size());
    return true;
}
