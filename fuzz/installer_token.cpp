// The installer token, taken from the installer's path in the settings.
#include "fuzzsupport.h"
#include "qvpnserver.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    FuzzSupport::quietApplication(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString installerName = QString::fromUtf8(reinterpret_cast<const char*>(data), int(size));
    QString token = QStringLiteral("unchanged");
    if (QVPNServer::installerToken(installerName, &token)) {
        // The text after the file name's last dash, without the ".exe".
        FUZZ_CHECK(!token.contains(QLatin1Char('/')) && !token.contains(QLatin1Char('\\'))
                   && !token.contains(QLatin1Char('-')));
        FUZZ_CHECK(installerName.endsWith(token + QLatin1String(".exe"), Qt::CaseInsensitive));
    } else {
        FUZZ_CHECK(token == QLatin1String("unchanged"));
    }
    return 0;
}
