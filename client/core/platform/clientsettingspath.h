#ifndef CLIENTSETTINGSPATH_H
#define CLIENTSETTINGSPATH_H

#include <QString>

// The user's configuration folder: XDG_CONFIG_HOME, else ~/.config.
QString userConfigDirectory();

// The file of the client's settings store (INI format).
QString clientSettingsPath();

#endif // CLIENTSETTINGSPATH_H
