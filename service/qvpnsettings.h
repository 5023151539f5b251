#ifndef QVPNSETTINGS_H
#define QVPNSETTINGS_H

#include <QSettings>

// The service's settings store, opened afresh for every read or write:
// /etc/varvex/service.conf, or the file named by VARVEX_SERVICE_CONFIG.
class QVPNSettings : public QSettings
{
public:
    QVPNSettings();

    static QString storePath();
};

#endif // QVPNSETTINGS_H
