#include "qtservicecontroller.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QtGlobal>

#include <cerrno>
#include <cstdio>

#include "killswitch.h"
#include "servicecontrol.h"
#include "servicemanager.h"

namespace {

// The service acknowledges a request once it has handled it; stopping may
// wait for client threads, a few seconds each.
const int kControlTimeoutMs = 30000;
const int kStopPollAttempts = 10;
const int kStopPollIntervalMs = 200;

} // namespace

QtServiceController::QtServiceController(const QString& name)
    : m_name(name)
{
}

bool QtServiceController::isInstalled() const
{
    return QFileInfo::exists(ServiceManager::installedUnitFilePath(m_name));
}

bool QtServiceController::isRunning() const
{
    return ServiceControl::isRunning(m_name);
}

QString QtServiceController::serviceFilePath() const
{
    return ServiceManager::programOfUnit(ServiceManager::installedUnitFilePath(m_name));
}

QString QtServiceController::serviceDescription() const
{
    QFile file(ServiceManager::installedUnitFilePath(m_name));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return QString();
    const QByteArray key = "Description=";
    while (!file.atEnd()) {
        const QByteArray line = file.readLine().trimmed();
        if (line.startsWith(key))
            return QString::fromUtf8(line.mid(key.size())).replace(QStringLiteral("%%"), QStringLiteral("%"));
    }
    return QString();
}

bool QtServiceController::install(const QString& serviceFilePath, const QString& description, bool startAtBoot,
                                  const QString& account, const QString& password)
{
    // systemd runs a unit under an account without its password.
    Q_UNUSED(password);
    const QString program = serviceFilePath.isEmpty() ? ServiceManager::currentProgramPath() : serviceFilePath;
    const QByteArray text = ServiceManager::unitText(description, program, account, startAtBoot);
    if (text.isEmpty())
        return false;

    QSaveFile file(ServiceManager::unitFilePath(m_name));
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit())
        return false;
    QFile::setPermissions(file.fileName(),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther);

    if (ServiceManager::managesUnitDirectory()) {
        // The unit exists either way; the manager merely learns of it now
        // rather than at its next reload.
        ServiceManager::runTool({QStringLiteral("daemon-reload")});
        if (startAtBoot)
            ServiceManager::runTool({QStringLiteral("enable"), ServiceManager::unitName(m_name)});
    }
    return true;
}

bool QtServiceController::uninstall()
{
    // A unit that a package installed is the package's to remove.
    if (!QFileInfo::exists(ServiceManager::unitFilePath(m_name)))
        return false;
    if (ServiceManager::managesUnitDirectory())
        ServiceManager::runTool({QStringLiteral("disable"), ServiceManager::unitName(m_name)});
    if (!QFile::remove(ServiceManager::unitFilePath(m_name)))
        return false;
    if (ServiceManager::managesUnitDirectory())
        ServiceManager::runTool({QStringLiteral("daemon-reload")});
    // Without its service nothing would ever lift the kill switch's block.
    QString error;
    if (!KillSwitch::lift(&error))
        std::fprintf(stderr, "The kill switch's block could not be removed: %s\n", qPrintable(error));
    return true;
}

bool QtServiceController::start(const QStringList& arguments)
{
    // A unit starts its program as written; arguments cannot be passed on.
    Q_UNUSED(arguments);
    if (!isInstalled())
        return false;
    return ServiceManager::runTool({QStringLiteral("start"), ServiceManager::unitName(m_name)});
}

bool QtServiceController::stop()
{
    if (!ServiceControl::send(m_name, ServiceControl::Stop, kControlTimeoutMs)) {
        // For a service that is not installed the caller's own warning says
        // enough; an installed one that did not take the request is named here.
        const int error = errno;
        if (isInstalled())
            qErrnoWarning(error, "stopping");
        errno = error;
        return false;
    }
    ServiceControl::waitUntilGone(m_name, kStopPollAttempts, kStopPollIntervalMs);
    return true;
}

bool QtServiceController::pause()
{
    return ServiceControl::send(m_name, ServiceControl::Pause, kControlTimeoutMs);
}

bool QtServiceController::resume()
{
    return ServiceControl::send(m_name, ServiceControl::Continue, kControlTimeoutMs);
}

bool QtServiceController::sendCommand(int code)
{
    if (code < 0 || code > ServiceControl::UserLast - ServiceControl::UserBase)
        return false;
    return ServiceControl::send(m_name, ServiceControl::UserBase + code, kControlTimeoutMs);
}
