#ifndef SERVICESETTINGSPATH_H
#define SERVICESETTINGSPATH_H

#include <QSettings>
#include <QString>

// Where the service's settings live on this platform, and in which format.
QString serviceSettingsPath();
QSettings::Format serviceSettingsFormat();

#endif // SERVICESETTINGSPATH_H
