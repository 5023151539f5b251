#include "qtservice.h"

#include <QtGlobal>

#include <cerrno>
#include <cstdio>

#include "qtservice_p.h"
#include "qtservicecontroller.h"
#include "servicecontrolcode.h"
#include "varvexlog.h"

namespace {

const int kMaxNameLength = 255;

const char* const kUsage =
    "\n%s -[i|u|e|s|v|h]\n"
    "\t-i(nstall) [account] [password]\t: Install the service, optionally using given account and password\n"
    "\t-u(ninstall)\t: Uninstall the service.\n"
    "\t-e(xec)\t\t: Run as a regular application. Useful for debugging.\n"
    "\t-t(erminate)\t: Stop the service.\n"
    "\t-c(ommand) num\t: Send command code num to the service.\n"
    "\t-v(ersion)\t: Print version and status information.\n"
    "\t-h(elp)   \t: Show this help\n"
    "\tNo arguments\t: Start the service.\n";

} // namespace

QtServiceBase* QtServiceBase::s_instance = nullptr;

QtServiceBase::QtServiceBase(int argc, char** argv, const QString& name)
    : m_name(name)
    , m_argc(argc)
    , m_argv(argv)
{
    if (m_name.size() > kMaxNameLength) {
        qWarning("QtService: 'name' is longer than 255 characters.");
        m_name.truncate(kMaxNameLength);
    }
    if (m_name.contains(QLatin1Char('\\'))) {
        qWarning("QtService: 'name' contains backslashes '\\'.");
        m_name.replace(QLatin1Char('\\'), QChar(0));
    }
    for (int i = 0; i < argc; ++i)
        m_arguments << QString::fromLocal8Bit(argv[i]);
    m_appArgc = argc;
    for (int i = 0; i < argc; ++i)
        m_appArgv << argv[i];
    m_appArgv << nullptr;
    s_instance = this;
}

QtServiceBase::~QtServiceBase()
{
    if (s_instance == this)
        s_instance = nullptr;
}

QtServiceBase* QtServiceBase::instance()
{
    return s_instance;
}

int QtServiceBase::exec()
{
    const QByteArray option = m_argc > 1 ? QByteArray(m_argv[1]) : QByteArray();
    const auto is = [&option](const char* shortForm, const char* longForm) {
        return option == shortForm || option == longForm;
    };
    const QByteArray latinName = m_name.toLatin1();
    QtServiceController controller(m_name);

    if (is("-i", "-install"))
        return install(latinName);
    if (is("-u", "-uninstall"))
        return uninstall(latinName);
    if (is("-v", "-version"))
        return printVersion(latinName);
    if (is("-e", "-exec"))
        return runInForeground();
    if (is("-t", "-terminate")) {
        if (!controller.stop())
            qErrnoWarning(errno, "The service could not be stopped.");
        return 0;
    }
    if (is("-p", "-pause")) {
        controller.pause();
        return 0;
    }
    if (is("-r", "-resume")) {
        controller.resume();
        return 0;
    }
    if (is("-c", "-command")) {
        const int code = m_argc > 2 ? QByteArray(m_argv[2]).toInt() : 0;
        controller.sendCommand(code);
        return 0;
    }
    if (is("-h", "-help")) {
        std::printf(kUsage, m_arguments.value(0).toLatin1().constData());
        std::fflush(stdout);
        return 0;
    }
    return startInstalledService(latinName);
}

int QtServiceBase::install(const QByteArray& latinName)
{
    QtServiceController controller(m_name);
    if (controller.isInstalled()) {
        std::fprintf(stderr, "The service %s is already installed\n", latinName.constData());
        return 0;
    }
    const QString account = m_argc > 2 ? QString::fromLocal8Bit(m_argv[2]) : QString();
    const QString password = m_argc > 3 ? QString::fromLocal8Bit(m_argv[3]) : QString();
    if (!controller.install(QString(), m_description, m_startupType == AutoStartup, account, password)) {
        std::fprintf(stderr, "The service %s could not be installed\n", latinName.constData());
        return -1;
    }
    std::printf("The service %s has been installed under: %s\n", latinName.constData(),
                controller.serviceFilePath().toLatin1().constData());
    return 0;
}

int QtServiceBase::uninstall(const QByteArray& latinName)
{
    QtServiceController controller(m_name);
    if (!controller.isInstalled()) {
        std::fprintf(stderr, "The service %s is not installed\n", latinName.constData());
        return 0;
    }
    if (!controller.uninstall()) {
        std::fprintf(stderr, "The service %s could not be uninstalled\n", latinName.constData());
        return -1;
    }
    std::printf("The service %s has been uninstalled.\n", latinName.constData());
    return 0;
}

int QtServiceBase::printVersion(const QByteArray& latinName)
{
    QtServiceController controller(m_name);
    std::printf("The service\n\t%s\n\t%s\n\n", latinName.constData(), m_arguments.value(0).toLatin1().constData());
    std::printf("is %s", controller.isInstalled() ? "installed" : "not installed");
    std::printf(" and %s\n\n", controller.isRunning() ? "running" : "not running");
    return 0;
}

int QtServiceBase::runInForeground()
{
    // The service sees its arguments without the option that chose this mode.
    m_arguments.removeAt(1);
    m_appArgv.remove(1);
    m_appArgc = m_argc - 1;

    int exitCode = 0;
    if (!runEventLoop(false, &exitCode)) {
        qErrnoWarning(errno, "The service could not be executed.");
        return -1;
    }
    return exitCode;
}

int QtServiceBase::runStartedByManager()
{
    int exitCode = 0;
    if (!runEventLoop(true, &exitCode)) {
        std::fprintf(stderr, "The service %s could not start\n", m_name.toLatin1().constData());
        return -4;
    }
    return exitCode;
}

int QtServiceBase::startInstalledService(const QByteArray& latinName)
{
    if (startedByServiceManager())
        return runStartedByManager();
    QtServiceController controller(m_name);
    if (!controller.start(m_arguments.mid(1))) {
        std::fprintf(stderr, "The service %s could not start\n", latinName.constData());
        return -4;
    }
    return 0;
}

void QtServiceBase::startOnce()
{
    if (m_started || m_stopped)
        return;
    m_started = true;
    start();
    notifyStarted();
}

void QtServiceBase::handleControl(int code)
{
    switch (code) {
    case ServiceControl::Stop:
        writeLog(QStringLiteral("Service control request: stop"), LOG_INFORMATION);
        if (!m_stopped) {
            m_stopped = true;
            notifyStopping();
            if (m_started)
                stop();
        }
        QCoreApplication::quit();
        break;
    case ServiceControl::Pause:
        writeLog(QStringLiteral("Service control request: pause"), LOG_INFORMATION);
        if (m_started && !m_stopped)
            pause();
        break;
    case ServiceControl::Continue:
        writeLog(QStringLiteral("Service control request: resume"), LOG_INFORMATION);
        if (m_started && !m_stopped)
            resume();
        break;
    default:
        if (code >= ServiceControl::UserBase && code <= ServiceControl::UserLast) {
            const int command = code - ServiceControl::UserBase;
            writeLog(QStringLiteral("Service control request: command %1").arg(command), LOG_INFORMATION);
            if (m_started && !m_stopped)
                processCommand(command);
        }
        break;
    }
}

void QtServiceStarter::slotStart()
{
    m_service->startOnce();
}

void QtServiceControllerHandler::handleControl(int code)
{
    m_service->handleControl(code);
}

void QtServiceControllerHandler::handleTermination()
{
    m_service->handleControl(1);
}
