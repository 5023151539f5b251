#include "qvpnclientsettings.h"

#include "autostartentry.h"
#include "clientsettingspath.h"
#include "qvpncredentialscrypt.h"

#include <QCoreApplication>
#include <QDir>

#ifndef VARVEX_AUTO_HOSTNAME
#define VARVEX_AUTO_HOSTNAME "auto.varvex.net"
#endif

namespace {
const QString connectionNameKey = QStringLiteral("Connection Name");
const QString connectionCodeKey = QStringLiteral("Connection Code");
const QString connectionHostnameKey = QStringLiteral("Connection Hostname");
const QString credentialsKey = QStringLiteral("Creditentials");
const QString autoLoginKey = QStringLiteral("AutoLogin");
const QString favoriteServersKey = QStringLiteral("FavoriteServers");
const QString notificationsKey = QStringLiteral("Notifications");
} // namespace

QVPNClientSettings::QVPNClientSettings()
    : QSettings(clientSettingsPath(), QSettings::IniFormat)
{
}

VPNServerInfo QVPNClientSettings::getConnection()
{
    QVPNClientSettings settings;
    VPNServerInfo server;
    server.name = settings.value(connectionNameKey, QStringLiteral("Automatic")).toString();
    server.code = settings.value(connectionCodeKey, QStringLiteral("auto")).toString();
    server.hostname = settings.value(connectionHostnameKey, QStringLiteral(VARVEX_AUTO_HOSTNAME)).toString();
    return server;
}

void QVPNClientSettings::setConnection(const VPNServerInfo& server)
{
    QVPNClientSettings settings;
    settings.setValue(connectionNameKey, server.name);
    settings.setValue(connectionCodeKey, server.code);
    settings.setValue(connectionHostnameKey, server.hostname);
}

bool QVPNClientSettings::getCredentials(QString& username, QString& password)
{
    QVPNClientSettings settings;
    const QString blob = settings.value(credentialsKey, QString()).toString();
    return QVPNCredentialsCrypt::decodeUserPass(blob, username, password);
}

void QVPNClientSettings::setCredentials(const QString& username, const QString& password)
{
    QVPNClientSettings settings;
    settings.setValue(credentialsKey, QString::fromLatin1(QVPNCredentialsCrypt::encodeUserPass(username, password)));
}

bool QVPNClientSettings::getAutoLogin()
{
    QVPNClientSettings settings;
    return settings.value(autoLoginKey, false).toBool();
}

void QVPNClientSettings::setAutoLogin(bool autoLogin)
{
    QVPNClientSettings settings;
    settings.setValue(autoLoginKey, autoLogin);
}

QString QVPNClientSettings::getFavoriteServers()
{
    QVPNClientSettings settings;
    return settings.value(favoriteServersKey, QString()).toString();
}

void QVPNClientSettings::setFavoriteServers(const QString& favorites)
{
    QVPNClientSettings settings;
    settings.setValue(favoriteServersKey, favorites);
}

bool QVPNClientSettings::getNotifications()
{
    QVPNClientSettings settings;
    return settings.value(notificationsKey, true).toBool();
}

void QVPNClientSettings::setNotifications(bool notifications)
{
    QVPNClientSettings settings;
    settings.setValue(notificationsKey, notifications);
}

bool QVPNClientSettings::getAutoStart()
{
    return AutoStartEntry::exists();
}

void QVPNClientSettings::setAutoStart(bool autoStart)
{
    // Failures go unreported, as with every other write of this store;
    // the entry is written atomically, so it never ends up half written.
    if (autoStart)
        // Started at logon as it was started now: from the folder that holds its fonts.
        AutoStartEntry::install(QDir::toNativeSeparators(QCoreApplication::applicationFilePath()),
                                QDir::currentPath());
    else
        AutoStartEntry::remove();
}
