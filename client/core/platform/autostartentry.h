#ifndef AUTOSTARTENTRY_H
#define AUTOSTARTENTRY_H

#include <QString>

// The desktop's start-at-logon entry for the client: an XDG autostart
// desktop file. The switch is on exactly when the file exists.
namespace AutoStartEntry {

QString path();
bool exists();
// Writes the entry atomically, so a failed write never leaves half a file.
// The program starts in workingDirectory, where it finds its Fonts folder.
bool install(const QString& executablePath, const QString& workingDirectory);
// Removing an absent entry is no error.
bool remove();

// The Exec= value that runs the program at this path with no arguments.
QString execValue(const QString& executablePath);
// A string value with the desktop file's escapes.
QString escapedValue(const QString& text);

} // namespace AutoStartEntry

#endif // AUTOSTARTENTRY_H
