// The installer token, taken from the installer's path in the settings.
#include "fuzzsupport.h"
#include "qvpnserver.h"

void FuzzSupport::fuzzInput(const QByteArray& bytes)
{
    const QString installerName = QString::fromUtf8(bytes);
    QString token = QStringLiteral("unchanged");
    if (QVPNServer::installerToken(installerName, &token)) {
        // The text after the file name's last dash, without the ".exe".
        FUZZ_CHECK(!token.contains(QLatin1Char('/')) && !token.contains(QLatin1Char('\\'))
                   && !token.contains(QLatin1Char('-')));
        FUZZ_CHECK(installerName.endsWith(token + QLatin1String(".exe"), Qt::CaseInsensitive));
    } else {
        FUZZ_CHECK(token == QLatin1String("unchanged"));
    }
}
