#ifndef SERVICEMANAGER_H
#define SERVICEMANAGER_H

#include <QString>
#include <QStringList>

// The system's service manager as the service host needs it: a unit file per
// service, the manager's command-line tool, and its start-up notifications.
namespace ServiceManager {

// Folder of the unit files: VARVEX_UNIT_DIR when set, else the system's.
QString unitDirectory();
// "<unit folder>/<lower-case name>.service".
QString unitFilePath(const QString& serviceName);
QString unitName(const QString& serviceName);
// The unit file the manager uses: the one in the unit folder, else, without
// VARVEX_UNIT_DIR, one a package installed in the system's own folders.
QString installedUnitFilePath(const QString& serviceName);

// The unit text for a service that runs programPath without arguments,
// optionally under account; empty when a value cannot be expressed safely.
QByteArray unitText(const QString& description, const QString& programPath, const QString& account, bool startAtBoot);
// The program a unit file starts; empty when the file has none.
QString programOfUnit(const QString& unitFilePath);

// Runs the manager's tool (VARVEX_SYSTEMCTL when set, else systemctl) and
// reports whether it succeeded.
bool runTool(const QStringList& arguments);
// Whether installing should tell the manager about the unit: true unless the
// unit folder is a private one and no tool was named for it.
bool managesUnitDirectory();

// True when this process was started by the service manager as the service.
bool startedAsService();
// Tells the manager about the service's state ("READY=1", "STOPPING=1");
// does nothing outside the manager.
void notify(const char* state);

// The absolute path of this program's file.
QString currentProgramPath();

} // namespace ServiceManager

#endif // SERVICEMANAGER_H
