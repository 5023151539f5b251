#include "servicecontrolmanager.h"

#include <QLibrary>

namespace {

template <typename Function>
bool resolve(QLibrary& library, const char* name, Function* function)
{
    *function = reinterpret_cast<Function>(reinterpret_cast<void*>(library.resolve(name)));
    return *function != nullptr;
}

ServiceControlManager load()
{
    ServiceControlManager calls;
    QLibrary library(QStringLiteral("advapi32"));
    // Every call or none, so that a caller never meets half a table.
    const bool complete = resolve(library, "OpenSCManagerW", &calls.openSCManager)
        && resolve(library, "OpenServiceW", &calls.openService)
        && resolve(library, "CreateServiceW", &calls.createService)
        && resolve(library, "ChangeServiceConfig2W", &calls.changeServiceConfig2)
        && resolve(library, "QueryServiceConfigW", &calls.queryServiceConfig)
        && resolve(library, "QueryServiceConfig2W", &calls.queryServiceConfig2)
        && resolve(library, "DeleteService", &calls.deleteService)
        && resolve(library, "StartServiceW", &calls.startService)
        && resolve(library, "ControlService", &calls.controlService)
        && resolve(library, "QueryServiceStatus", &calls.queryServiceStatus)
        && resolve(library, "CloseServiceHandle", &calls.closeServiceHandle)
        && resolve(library, "StartServiceCtrlDispatcherW", &calls.startServiceCtrlDispatcher)
        && resolve(library, "RegisterServiceCtrlHandlerExW", &calls.registerServiceCtrlHandlerEx)
        && resolve(library, "SetServiceStatus", &calls.setServiceStatus);
    if (!complete)
        calls.openSCManager = nullptr;
    // advapi32 is a system library that every process keeps loaded.
    return calls;
}

} // namespace

const ServiceControlManager* ServiceControlManager::get()
{
    static const ServiceControlManager calls = load();
    return calls.openSCManager ? &calls : nullptr;
}

ScHandle::~ScHandle()
{
    if (m_handle)
        ServiceControlManager::get()->closeServiceHandle(m_handle);
}
