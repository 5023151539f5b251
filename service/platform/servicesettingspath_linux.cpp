#include "servicesettingspath.h"

#include <QByteArray>

QString serviceSettingsPath()
{
    const QByteArray overridden = qgetenv("VARVEX_SERVICE_CONFIG");
    if (!overridden.isEmpty())
        return QString::fromLocal8Bit(overridden);
    return QStringLiteral("/etc/varvex/service.conf");
}

QSettings::Format serviceSettingsFormat()
{
    return QSettings::IniFormat;
}
