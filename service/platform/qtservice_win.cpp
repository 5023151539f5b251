#include "qtservice.h"

#include <QAbstractNativeEventFilter>
#include <QByteArray>
#include <QCoreApplication>
#include <QList>
#include <QMutex>
#include <QPointer>
#include <QThread>
#include <QTimer>
#include <QWaitCondition>

#include "qtservice_p.h"
#include "servicecontrolcode.h"
#include "servicecontrolmanager.h"
#include "varvexlog.h"

// Windows: the service control manager starts the program, and its
// dispatcher needs a thread of its own for the whole life of the service.
// Control requests arrive on that thread and are handed to the main thread,
// where the service's start, stop, pause and resume always run.
namespace {

// How long the dispatcher may take to tell whether the manager started us.
const unsigned long kDispatcherReportMs = 20000;
// How long the dispatcher may take to return once the service reported stopped.
const unsigned long kDispatcherEndMs = 5000;
const DWORD kAcceptedControls = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_SHUTDOWN;
const DWORD kPendingWaitHintMs = 30000;

// What the dispatcher thread and the main thread share, under one mutex.
struct HostState
{
    QMutex mutex;
    QWaitCondition changed;
    bool reported = false;      // the dispatcher has started the service or failed
    bool asService = false;     // the manager started this process
    DWORD dispatcherError = 0;  // why the dispatcher failed
    bool finished = false;      // the main thread is done with the service
    QStringList arguments;      // the manager's start arguments
    QString name;
    SERVICE_STATUS_HANDLE statusHandle = nullptr;
    DWORD checkPoint = 0;
    QPointer<QtServiceControllerHandler> handler;
};

HostState& hostState()
{
    static HostState state;
    return state;
}

void reportStatus(DWORD state)
{
    HostState& host = hostState();
    if (!host.statusHandle)
        return;
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING
        || state == SERVICE_PAUSE_PENDING || state == SERVICE_CONTINUE_PENDING;
    status.dwControlsAccepted = state == SERVICE_START_PENDING ? 0 : kAcceptedControls;
    status.dwCheckPoint = pending ? ++host.checkPoint : 0;
    status.dwWaitHint = pending ? kPendingWaitHintMs : 0;
    ServiceControlManager::get()->setServiceStatus(host.statusHandle, &status);
}

// Runs the request on the main thread and waits until it has been handled.
void handOver(int code)
{
    QPointer<QtServiceControllerHandler> handler;
    {
        HostState& host = hostState();
        QMutexLocker lock(&host.mutex);
        handler = host.handler;
    }
    // A handler deleted before it got to the request drops it, and the wait ends.
    if (handler)
        QMetaObject::invokeMethod(handler.data(), "handleControl", Qt::BlockingQueuedConnection, Q_ARG(int, code));
}

DWORD WINAPI controlHandler(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context)
{
    Q_UNUSED(eventType);
    Q_UNUSED(eventData);
    Q_UNUSED(context);
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        reportStatus(SERVICE_STOP_PENDING);
        handOver(ServiceControl::Stop);
        break;
    case SERVICE_CONTROL_PAUSE:
        reportStatus(SERVICE_PAUSE_PENDING);
        handOver(ServiceControl::Pause);
        reportStatus(SERVICE_PAUSED);
        break;
    case SERVICE_CONTROL_CONTINUE:
        reportStatus(SERVICE_CONTINUE_PENDING);
        handOver(ServiceControl::Continue);
        reportStatus(SERVICE_RUNNING);
        break;
    default:
        if (control >= DWORD(ServiceControl::UserBase) && control <= DWORD(ServiceControl::UserLast))
            handOver(int(control));
        // Interrogation and anything else: acknowledged only.
        break;
    }
    return NO_ERROR;
}

void WINAPI serviceMain(DWORD argc, LPWSTR* argv)
{
    HostState& host = hostState();
    QMutexLocker lock(&host.mutex);
    const std::wstring name = host.name.toStdWString();
    host.statusHandle = ServiceControlManager::get()->registerServiceCtrlHandlerEx(name.c_str(), controlHandler, nullptr);
    if (!host.statusHandle) {
        host.dispatcherError = GetLastError();
        host.reported = true;
        host.changed.wakeAll();
        return;
    }
    reportStatus(SERVICE_START_PENDING);
    for (DWORD i = 0; i < argc; ++i)
        host.arguments << QString::fromWCharArray(argv[i]);
    host.asService = true;
    host.reported = true;
    host.changed.wakeAll();
    // The service stops when this returns: wait for the main thread.
    while (!host.finished)
        host.changed.wait(&host.mutex);
}

class HandlerThread : public QThread
{
protected:
    void run() override
    {
        HostState& host = hostState();
        std::wstring name = host.name.toStdWString();
        SERVICE_TABLE_ENTRYW table[] = {{&name[0], serviceMain}, {nullptr, nullptr}};
        const bool dispatched = ServiceControlManager::get()->startServiceCtrlDispatcher(table);
        QMutexLocker lock(&host.mutex);
        if (!dispatched)
            host.dispatcherError = GetLastError();
        host.reported = true;
        host.changed.wakeAll();
    }
};

HandlerThread* handlerThread()
{
    static HandlerThread* thread = new HandlerThread;
    return thread;
}

// A user's log-off is no reason for the service to end.
class QtServiceAppEventFilter : public QAbstractNativeEventFilter
{
public:
    bool nativeEventFilter(const QByteArray& eventType, void* message, long* result) override
    {
        Q_UNUSED(eventType);
        const MSG* msg = static_cast<const MSG*>(message);
        if (msg && msg->message == WM_ENDSESSION && (msg->lParam & LPARAM(ENDSESSION_LOGOFF))) {
            if (result)
                *result = TRUE;
            return true;
        }
        return false;
    }
};

// Ctrl+C, Ctrl+Break and closing the console stop a service run with -e.
QPointer<QtServiceControllerHandler> g_consoleHandler;

BOOL WINAPI consoleControl(DWORD type)
{
    Q_UNUSED(type);
    if (!g_consoleHandler)
        return FALSE;
    QMetaObject::invokeMethod(g_consoleHandler.data(), "handleTermination", Qt::QueuedConnection);
    return TRUE;
}

} // namespace

bool QtServiceBase::startedByServiceManager()
{
    if (!ServiceControlManager::get())
        return false;
    HostState& host = hostState();
    QMutexLocker lock(&host.mutex);
    host.name = s_instance ? s_instance->serviceName() : QString();
    handlerThread()->start();
    while (!host.reported) {
        if (!host.changed.wait(&host.mutex, kDispatcherReportMs))
            break;
    }
    if (host.asService)
        return true;
    if (host.reported && host.dispatcherError != ERROR_FAILED_SERVICE_CONTROLLER_CONNECT)
        writeLog(QStringLiteral("The Service failed to start [%1]").arg(qt_error_string(int(host.dispatcherError))),
                 LOG_ERROR);
    return false;
}

void QtServiceBase::notifyStarted()
{
    if (m_underServiceManager)
        reportStatus(SERVICE_RUNNING);
}

void QtServiceBase::notifyStopping()
{
    if (m_underServiceManager)
        reportStatus(SERVICE_STOP_PENDING);
}

bool QtServiceBase::runEventLoop(bool underServiceManager, int* exitCode)
{
    m_underServiceManager = underServiceManager;
    // Started by the manager: its start arguments are the argument list.
    static QList<QByteArray> managerArguments;
    if (underServiceManager) {
        HostState& host = hostState();
        QMutexLocker lock(&host.mutex);
        if (!host.arguments.isEmpty()) {
            m_arguments = host.arguments;
            m_appArgv.clear();
            for (const QString& argument : qAsConst(host.arguments)) {
                managerArguments << argument.toLocal8Bit();
                m_appArgv << managerArguments.last().data();
            }
            m_appArgv << nullptr;
            m_appArgc = m_appArgv.size() - 1;
        }
    }
    createApplication(m_appArgc, m_appArgv.data());

    int result = 0;
    {
        QtServiceAppEventFilter filter;
        QCoreApplication::instance()->installNativeEventFilter(&filter);
        QtServiceControllerHandler handler(this);
        if (underServiceManager) {
            QMutexLocker lock(&hostState().mutex);
            hostState().handler = &handler;
        } else {
            g_consoleHandler = &handler;
            SetConsoleCtrlHandler(consoleControl, TRUE);
        }

        QtServiceStarter starter(this);
        QTimer::singleShot(0, &starter, SLOT(slotStart()));
        result = executeApplication();

        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        if (!underServiceManager)
            SetConsoleCtrlHandler(consoleControl, FALSE);
        QMutexLocker lock(&hostState().mutex);
        hostState().handler = nullptr;
    }

    if (underServiceManager) {
        HostState& host = hostState();
        reportStatus(SERVICE_STOPPED);
        {
            QMutexLocker lock(&host.mutex);
            host.finished = true;
            host.changed.wakeAll();
        }
        handlerThread()->wait(kDispatcherEndMs);
    }
    *exitCode = result;
    return true;
}
