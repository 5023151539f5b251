#include "qvpnsettings.h"

#include "servicesettingspath.h"

QVPNSettings::QVPNSettings()
    : QSettings(serviceSettingsPath(), serviceSettingsFormat())
{
}

QString QVPNSettings::storePath()
{
    return serviceSettingsPath();
}
