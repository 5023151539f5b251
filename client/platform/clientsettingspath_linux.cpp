#include "clientsettingspath.h"

#include <QDir>
#include <QFile>

QString userConfigDirectory()
{
    // Relative values are invalid by the XDG rules and are ignored.
    const QString configHome = QFile::decodeName(qgetenv("XDG_CONFIG_HOME"));
    if (!configHome.isEmpty() && QDir::isAbsolutePath(configHome))
        return QDir::cleanPath(configHome);
    return QDir::homePath() + QStringLiteral("/.config");
}

QString clientSettingsPath()
{
    return userConfigDirectory() + QStringLiteral("/Varvex/client.conf");
}
