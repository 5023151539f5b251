#ifndef QVPNCLIENTSETTINGS_H
#define QVPNCLIENTSETTINGS_H

#include <QSettings>
#include <QString>

#include "vpnserverinfo.h"

// The user's persistent client settings; every call opens the store,
// reads or writes, and closes it again.
class QVPNClientSettings : public QSettings
{
public:
    QVPNClientSettings();

    static VPNServerInfo getConnection();
    static void setConnection(const VPNServerInfo& server);
    static bool getCredentials(QString& username, QString& password);
    static void setCredentials(const QString& username, const QString& password);
    static bool getAutoLogin();
    static void setAutoLogin(bool autoLogin);
    static QString getFavoriteServers();
    static void setFavoriteServers(const QString& favorites);
    // Desktop notifications on tunnel changes; on unless turned off.
    static bool getNotifications();
    static void setNotifications(bool notifications);
    static bool getAutoStart();
    static void setAutoStart(bool autoStart);
};

#endif // QVPNCLIENTSETTINGS_H
