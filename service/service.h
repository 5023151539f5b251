#ifndef SERVICE_H
#define SERVICE_H

#include <QCoreApplication>
#include <QObject>

#include "qtservice.h"

class QVPNServer;

// The varvex service: creates the local VPN server at start, winds it down at stop.
class Service : public QObject, public QtService<QCoreApplication>
{
    Q_OBJECT
public:
    Service(int argc, char** argv);
    ~Service() override;

    void start() override;
    void stop() override;

private:
    QVPNServer* m_server = nullptr;
};

#endif // SERVICE_H
