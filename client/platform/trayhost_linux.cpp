#include "trayhost.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QGuiApplication>

#include <X11/Xlib.h>

namespace {

const char WatcherService[] = "org.kde.StatusNotifierWatcher";
const char WatcherPath[] = "/StatusNotifierWatcher";

// The same question the toolkit asks before it uses the D-Bus tray.
bool statusNotifierHostRegistered()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface()
        || !bus.interface()->isServiceRegistered(QLatin1String(WatcherService)))
        return false;
    QDBusInterface watcher{QLatin1String(WatcherService), QLatin1String(WatcherPath), QLatin1String(WatcherService),
                           bus};
    return watcher.isValid() && watcher.property("IsStatusNotifierHostRegistered").toBool();
}

bool xembedTrayOwned()
{
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        return false;
    // A connection of its own, on the display the toolkit uses ($DISPLAY).
    Display* display = XOpenDisplay(nullptr);
    if (!display)
        return false;
    const QByteArray selection = "_NET_SYSTEM_TRAY_S" + QByteArray::number(DefaultScreen(display));
    const Atom atom = XInternAtom(display, selection.constData(), False);
    const bool owned = atom != None && XGetSelectionOwner(display, atom) != None;
    XCloseDisplay(display);
    return owned;
}

} // namespace

namespace TrayHost {

bool present()
{
    return statusNotifierHostRegistered() || xembedTrayOwned();
}

} // namespace TrayHost
