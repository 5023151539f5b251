#include "servicesettingspath.h"

// Windows: the machine's part of the registry, written by the installer
// (and by the service for the provisioned credentials).
QString serviceSettingsPath()
{
    return QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\Varvex");
}

QSettings::Format serviceSettingsFormat()
{
    return QSettings::NativeFormat;
}
