#include "clientsettingspath.h"

#include <QDir>
#include <QStandardPaths>

QString userConfigDirectory()
{
    // XDG_CONFIG_HOME, else ~/.config. A relative value is invalid by the
    // XDG rules, which Qt 5 does not check, and is ignored.
    const QString configHome = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    if (!configHome.isEmpty() && QDir::isAbsolutePath(configHome))
        return QDir::cleanPath(configHome);
    return QDir::homePath() + QStringLiteral("/.config");
}

QString clientSettingsPath()
{
    return userConfigDirectory() + QStringLiteral("/Varvex/client.conf");
}
