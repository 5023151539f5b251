#include "localsocketpath.h"

#include <QByteArray>
#include <QFile>

namespace LocalSocketPath {

QString directory()
{
    const QByteArray overridden = qgetenv("VARVEX_SOCKET_DIR");
    if (!overridden.isEmpty())
        return QFile::decodeName(overridden);
    return QStringLiteral("/run/varvex");
}

QString forName(const QString& name)
{
    return directory() + QLatin1Char('/') + name;
}

} // namespace LocalSocketPath
