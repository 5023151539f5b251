#include "clientsettingspath.h"

#include <QStandardPaths>

// Windows: the user's part of the registry.
QString userConfigDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
}

QString clientSettingsPath()
{
    return QStringLiteral("HKEY_CURRENT_USER\\Software\\Varvex");
}

QSettings::Format clientSettingsFormat()
{
    return QSettings::NativeFormat;
}
