#include "qtservice.h"

#include <QCoreApplication>
#include <QTimer>

#include "qtservice_p.h"
#include "servicecontrol.h"
#include "servicemanager.h"
#include "terminationsignals.h"
#include "varvexlog.h"

bool QtServiceBase::startedByServiceManager()
{
    return ServiceManager::startedAsService();
}

void QtServiceBase::notifyStarted()
{
    if (m_underServiceManager)
        ServiceManager::notify("READY=1");
}

void QtServiceBase::notifyStopping()
{
    if (m_underServiceManager)
        ServiceManager::notify("STOPPING=1");
}

bool QtServiceBase::runEventLoop(bool underServiceManager, int* exitCode)
{
    m_underServiceManager = underServiceManager;
    createApplication(m_appArgc, m_appArgv.data());

    int result = 0;
    {
        TerminationSignals termination;
        if (!termination.install())
            return false;
        QtServiceControllerHandler handler(this);
        QObject::connect(&termination, SIGNAL(terminationRequested()), &handler, SLOT(handleTermination()));

        // Without the control socket the service still runs; it can then be
        // stopped by a signal only.
        ServiceControlListener control(m_name);
        QString error;
        if (control.listen(&error))
            QObject::connect(&control, SIGNAL(controlRequested(int)), &handler, SLOT(handleControl(int)));
        else
            writeLog(QStringLiteral("Service control socket is not available: %1").arg(error), LOG_WARNING);

        QtServiceStarter starter(this);
        QTimer::singleShot(0, &starter, SLOT(slotStart()));
        result = executeApplication();

        // Objects the service scheduled for deletion at stop go while the
        // application object still exists.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    *exitCode = result;
    return true;
}
