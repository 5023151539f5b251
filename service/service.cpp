#include "service.h"

#include "qvpnserver.h"

Service::Service(int argc, char** argv)
    : QtService<QCoreApplication>(argc, argv, QStringLiteral("Varvex"))
{
    setServiceDescription(QStringLiteral("Varvex solution."));
    setStartupType(AutoStartup);
}

Service::~Service()
{
    // The server must go while the application object still exists, which
    // the host base deletes before this QObject's children would go.
    delete m_server;
}

void Service::start()
{
    m_server = new QVPNServer(this);
    m_server->start();
}

void Service::stop()
{
    if (!m_server)
        return;
    m_server->stop();
    m_server->deleteLater();
    m_server = nullptr;
}
