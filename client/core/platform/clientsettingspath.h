#ifndef CLIENTSETTINGSPATH_H
#define CLIENTSETTINGSPATH_H

#include <QSettings>
#include <QString>

// The user's configuration folder: XDG_CONFIG_HOME, else ~/.config.
QString userConfigDirectory();

// Where the client's settings store lives, and in which format.
QString clientSettingsPath();
QSettings::Format clientSettingsFormat();

#endif // CLIENTSETTINGSPATH_H
