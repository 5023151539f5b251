#ifndef TRAYHOST_H
#define TRAYHOST_H

// Whether the desktop runs a tray the client's icon can live in: a
// StatusNotifierItem host (KDE, GNOME with the AppIndicator extension, XFCE
// with its plugin) or an XEmbed tray on the X display.
//
// The toolkit's own check remembers its first answer about the D-Bus tray
// for the life of the process, so a host that comes up later is never
// used; asked only once this says yes, it answers yes as well.
namespace TrayHost {

bool present();

} // namespace TrayHost

#endif // TRAYHOST_H
