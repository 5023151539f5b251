#ifndef VPNSERVERINFO_H
#define VPNSERVERINFO_H

#include <QList>
#include <QMetaType>
#include <QString>

// One VPN server as the client knows it.
struct VPNServerInfo
{
    QString name;     // display name
    QString code;     // two capital letters for the flag, or "auto"
    QString hostname; // pinged and sent in the connect request

    bool operator==(const VPNServerInfo& other) const
    {
        return name == other.name && code == other.code && hostname == other.hostname;
    }
};

Q_DECLARE_METATYPE(VPNServerInfo)

#endif // VPNSERVERINFO_H
