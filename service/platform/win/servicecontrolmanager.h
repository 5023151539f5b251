#ifndef SERVICECONTROLMANAGER_H
#define SERVICECONTROLMANAGER_H

#include <windows.h>

#include <winsvc.h>

// The service control manager's calls, taken from advapi32 at run time so
// that the program starts (and -e works) where they are missing.
struct ServiceControlManager
{
    decltype(&::OpenSCManagerW) openSCManager = nullptr;
    decltype(&::OpenServiceW) openService = nullptr;
    decltype(&::CreateServiceW) createService = nullptr;
    decltype(&::ChangeServiceConfig2W) changeServiceConfig2 = nullptr;
    decltype(&::QueryServiceConfigW) queryServiceConfig = nullptr;
    decltype(&::QueryServiceConfig2W) queryServiceConfig2 = nullptr;
    decltype(&::DeleteService) deleteService = nullptr;
    decltype(&::StartServiceW) startService = nullptr;
    decltype(&::ControlService) controlService = nullptr;
    decltype(&::QueryServiceStatus) queryServiceStatus = nullptr;
    decltype(&::CloseServiceHandle) closeServiceHandle = nullptr;
    decltype(&::StartServiceCtrlDispatcherW) startServiceCtrlDispatcher = nullptr;
    decltype(&::RegisterServiceCtrlHandlerExW) registerServiceCtrlHandlerEx = nullptr;
    decltype(&::SetServiceStatus) setServiceStatus = nullptr;

    // The calls, or null when advapi32 lacks one of them.
    static const ServiceControlManager* get();
};

// A service control manager handle that closes itself.
class ScHandle
{
public:
    explicit ScHandle(SC_HANDLE handle = nullptr)
        : m_handle(handle)
    {
    }
    ~ScHandle();
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;

    SC_HANDLE get() const { return m_handle; }
    explicit operator bool() const { return m_handle != nullptr; }

private:
    SC_HANDLE m_handle;
};

#endif // SERVICECONTROLMANAGER_H
