#include "qtservicecontroller.h"

#include <QDir>
#include <QThread>
#include <QVector>

#include <cerrno>
#include <vector>

#include "servicecontrolcode.h"
#include "servicecontrolmanager.h"

namespace {

const int kStopPollAttempts = 10;
const int kStopPollIntervalMs = 200;
// Bound on what the manager may ask to be given for a configuration.
const DWORD kMaxConfigBytes = 64 * 1024;

std::wstring wide(const QString& text)
{
    return text.toStdWString();
}

// The warnings of the command line print errno's text; on Windows that is
// the system's error text for the same number.
void keepSystemError()
{
    errno = int(GetLastError());
}

// Opens the named service with the given rights, or a null handle.
SC_HANDLE openService(const ServiceControlManager* scm, const QString& name, DWORD access)
{
    const ScHandle manager(scm->openSCManager(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager)
        return nullptr;
    return scm->openService(manager.get(), wide(name).c_str(), access);
}

bool sendControl(const QString& name, DWORD control, DWORD access)
{
    const ServiceControlManager* scm = ServiceControlManager::get();
    if (!scm)
        return false;
    const ScHandle service(openService(scm, name, access));
    SERVICE_STATUS status;
    const bool sent = service && scm->controlService(service.get(), control, &status);
    if (!sent)
        keepSystemError();
    return sent;
}

// The manager's configuration record of the service, in a buffer sized to
// it. Asked with room for a usual record first: not every manager reports
// the size for an empty buffer.
bool queryConfig(const ServiceControlManager* scm, SC_HANDLE service, std::vector<BYTE>* buffer)
{
    buffer->assign(8192, 0);
    DWORD needed = 0;
    if (scm->queryServiceConfig(service, reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer->data()), DWORD(buffer->size()),
                                &needed))
        return true;
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed > kMaxConfigBytes)
        return false;
    buffer->assign(needed, 0);
    return scm->queryServiceConfig(service, reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer->data()), needed, &needed);
}

bool queryDescription(const ServiceControlManager* scm, SC_HANDLE service, std::vector<BYTE>* buffer)
{
    buffer->assign(8192, 0);
    DWORD needed = 0;
    if (scm->queryServiceConfig2(service, SERVICE_CONFIG_DESCRIPTION, buffer->data(), DWORD(buffer->size()), &needed))
        return true;
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed > kMaxConfigBytes)
        return false;
    buffer->assign(needed, 0);
    return scm->queryServiceConfig2(service, SERVICE_CONFIG_DESCRIPTION, buffer->data(), needed, &needed);
}

// This program's file; the command line acts before any application object
// exists that could tell it.
QString currentProgramPath()
{
    std::vector<wchar_t> path(MAX_PATH);
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, path.data(), DWORD(path.size()));
        if (length == 0)
            return QString();
        if (length < path.size())
            return QString::fromWCharArray(path.data(), int(length));
        if (path.size() >= 32768)
            return QString();
        path.resize(path.size() * 2);
    }
}

} // namespace

QtServiceController::QtServiceController(const QString& name)
    : m_name(name)
{
}

bool QtServiceController::isInstalled() const
{
    const ServiceControlManager* scm = ServiceControlManager::get();
    return scm && ScHandle(openService(scm, m_name, SERVICE_QUERY_CONFIG));
}

bool QtServiceController::isRunning() const
{
    const ServiceControlManager* scm = ServiceControlManager::get();
    if (!scm)
        return false;
    const ScHandle service(openService(scm, m_name, SERVICE_QUERY_STATUS));
    SERVICE_STATUS status;
    return service && scm->queryServiceStatus(service.get(), &status) && status.dwCurrentState != SERVICE_STOPPED;
}

QString QtServiceController::serviceFilePath() const
{
    const ServiceControlManager* scm = ServiceControlManager::get();
    if (!scm)
        return QString();
    const ScHandle service(openService(scm, m_name, SERVICE_QUERY_CONFIG));
    std::vector<BYTE> buffer;
    if (!service || !queryConfig(scm, service.get(), &buffer))
        return QString();
    QString path = QString::fromWCharArray(reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data())->lpBinaryPathName);
    // Installed quoted, so that a path with spaces names one program only.
    if (path.size() >= 2 && path.startsWith(QLatin1Char('"')) && path.endsWith(QLatin1Char('"')))
        path = path.mid(1, path.size() - 2);
    return path;
}

QString QtServiceController::serviceDescription() const
{
    const ServiceControlManager* scm = ServiceControlManager::get();
    if (!scm)
        return QString();
    const ScHandle service(openService(scm, m_name, SERVICE_QUERY_CONFIG));
    std::vector<BYTE> buffer;
    if (!service || !queryDescription(scm, service.get(), &buffer))
        return QString();
    const auto* description = reinterpret_cast<SERVICE_DESCRIPTIONW*>(buffer.data());
    return description->lpDescription ? QString::fromWCharArray(description->lpDescription) : QString();
}

bool QtServiceController::install(const QString& serviceFilePath, const QString& description, bool startAtBoot,
                                  const QString& account, const QString& password)
{
    const ServiceControlManager* scm = ServiceControlManager::get();
    if (!scm)
        return false;
    const ScHandle manager(scm->openSCManager(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        keepSystemError();
        return false;
    }
    const QString program = QDir::toNativeSeparators(serviceFilePath.isEmpty() ? currentProgramPath() : serviceFilePath);
    // Quoted: an unquoted path with spaces would let the manager start
    // "C:\Program.exe" or the like.
    const std::wstring binaryPath = wide(QLatin1Char('"') + program + QLatin1Char('"'));

    QString user = account;
    QString secret = password;
    if (!user.isEmpty() && !user.contains(QLatin1Char('\\')))
        user.prepend(QStringLiteral(".\\"));
    if (user.endsWith(QStringLiteral("\\LocalSystem"))) {
        user.clear();
        secret.clear();
    }
    const std::wstring userText = wide(user);
    const std::wstring secretText = wide(secret);

    const ScHandle service(scm->createService(
        manager.get(), wide(m_name).c_str(), wide(m_name).c_str(), SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
        startAtBoot ? SERVICE_AUTO_START : SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, binaryPath.c_str(), nullptr,
        nullptr, nullptr, user.isEmpty() ? nullptr : userText.c_str(), secret.isEmpty() ? nullptr : secretText.c_str()));
    if (!service) {
        keepSystemError();
        return false;
    }
    if (!description.isEmpty()) {
        std::wstring text = wide(description);
        SERVICE_DESCRIPTIONW info;
        info.lpDescription = &text[0];
        scm->changeServiceConfig2(service.get(), SERVICE_CONFIG_DESCRIPTION, &info);
    }
    return true;
}

bool QtServiceController::uninstall()
{
    const ServiceControlManager* scm = ServiceControlManager::get();
    if (!scm)
        return false;
    const ScHandle service(openService(scm, m_name, DELETE));
    const bool deleted = service && scm->deleteService(service.get());
    if (!deleted)
        keepSystemError();
    return deleted;
}

bool QtServiceController::start(const QStringList& arguments)
{
    const ServiceControlManager* scm = ServiceControlManager::get();
    if (!scm)
        return false;
    const ScHandle service(openService(scm, m_name, SERVICE_START));
    if (!service) {
        keepSystemError();
        return false;
    }
    std::vector<std::wstring> texts;
    for (const QString& argument : arguments)
        texts.push_back(wide(argument));
    std::vector<LPCWSTR> pointers;
    for (const std::wstring& text : texts)
        pointers.push_back(text.c_str());
    const bool started = scm->startService(service.get(), DWORD(pointers.size()), pointers.empty() ? nullptr : pointers.data());
    if (!started)
        keepSystemError();
    return started;
}

bool QtServiceController::stop()
{
    const ServiceControlManager* scm = ServiceControlManager::get();
    if (!scm)
        return false;
    const ScHandle service(openService(scm, m_name, SERVICE_STOP | SERVICE_QUERY_STATUS));
    SERVICE_STATUS status;
    if (!service || !scm->controlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
        const int error = int(GetLastError());
        if (service)
            qErrnoWarning(error, "stopping");
        errno = error;
        return false;
    }
    for (int attempt = 0; attempt < kStopPollAttempts && status.dwCurrentState != SERVICE_STOPPED; ++attempt) {
        QThread::msleep(kStopPollIntervalMs);
        if (!scm->queryServiceStatus(service.get(), &status))
            break;
    }
    return true;
}

bool QtServiceController::pause()
{
    return sendControl(m_name, SERVICE_CONTROL_PAUSE, SERVICE_PAUSE_CONTINUE);
}

bool QtServiceController::resume()
{
    return sendControl(m_name, SERVICE_CONTROL_CONTINUE, SERVICE_PAUSE_CONTINUE);
}

bool QtServiceController::sendCommand(int code)
{
    if (code < 0 || code > ServiceControl::UserLast - ServiceControl::UserBase)
        return false;
    return sendControl(m_name, DWORD(ServiceControl::UserBase + code), SERVICE_USER_DEFINED_CONTROL);
}
