// The credentials decoder, on the text a connect request or a settings file
// carries; what it accepts must come back the same when encoded again, and
// whatever fits must survive encoding and decoding.
#include "fuzzsupport.h"
#include "qvpncredentialscrypt.h"

namespace {

const int MaxFieldBytes = 255; // one length byte per field

bool fits(const QString& text)
{
    return text.toUtf8().size() <= MaxFieldBytes;
}

void checkRoundTrip(const QString& username, const QString& password)
{
    if (username.isEmpty() || password.isEmpty() || !fits(username) || !fits(password))
        return;
    QString user, pass;
    FUZZ_CHECK(QVPNCredentialsCrypt::decodeUserPass(QString::fromLatin1(QVPNCredentialsCrypt::encodeUserPass(username, password)),
                                                    user, pass));
    FUZZ_CHECK(user == username && pass == password);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    FuzzSupport::quietApplication(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), int(size));
    QString username = QStringLiteral("unchanged"), password = QStringLiteral("unchanged");
    if (QVPNCredentialsCrypt::decodeUserPass(QString::fromUtf8(bytes), username, password)) {
        FUZZ_CHECK(!username.isEmpty() && !password.isEmpty());
        checkRoundTrip(username, password);
    } else {
        FUZZ_CHECK(username == QLatin1String("unchanged") && password == QLatin1String("unchanged"));
    }
    // The same bytes as a user name and password typed in, cut at the first NUL.
    const int cut = bytes.indexOf('\0');
    if (cut >= 0)
        checkRoundTrip(QString::fromUtf8(bytes.left(cut)), QString::fromUtf8(bytes.mid(cut + 1)));
    return 0;
}
