#include "trayhost.h"

#include <QSystemTrayIcon>

// Windows: the taskbar's notification area is the tray, and the toolkit asks
// for it afresh each time (a restarted Explorer comes back with it).
namespace TrayHost {

bool present()
{
    return QSystemTrayIcon::isSystemTrayAvailable();
}

} // namespace TrayHost
