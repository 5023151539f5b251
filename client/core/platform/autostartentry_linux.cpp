#include "autostartentry.h"

#include "clientsettingspath.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace AutoStartEntry {

QString path()
{
    return userConfigDirectory() + QStringLiteral("/autostart/varvex-client.desktop");
}

bool exists()
{
    return QFileInfo(path()).exists();
}

QString execValue(const QString& executablePath)
{
    // A plain path is written as it is. Anything the desktop would split or
    // interpret must be quoted, or the entry would start nothing.
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    bool needsQuotes = false;
    for (const QChar c : executablePath) {
        if (reserved.contains(c)) {
            needsQuotes = true;
            break;
        }
    }
    QString value;
    if (needsQuotes) {
        value += QLatin1Char('"');
        for (const QChar c : executablePath) {
            if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') || c == QLatin1Char('\\'))
                value += QLatin1Char('\\');
            value += c;
        }
        value += QLatin1Char('"');
    } else {
        value = executablePath;
    }
    value.replace(QLatin1Char('%'), QStringLiteral("%%"));
    return escapedValue(value);
}

QString escapedValue(const QString& text)
{
    // The desktop file's own string escapes.
    QString value = text;
    value.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    value.replace(QLatin1Char('\n'), QStringLiteral("\\n"));
    value.replace(QLatin1Char('\t'), QStringLiteral("\\t"));
    value.replace(QLatin1Char('\r'), QStringLiteral("\\r"));
    return value;
}

bool install(const QString& executablePath, const QString& workingDirectory)
{
    const QString file = path();
    if (!QDir().mkpath(QFileInfo(file).absolutePath()))
        return false;
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly))
        return false;
    const QString text = QStringLiteral("[Desktop Entry]\nType=Application\nName=Varvex Client\nExec=")
                         + execValue(executablePath) + QStringLiteral("\nPath=") + escapedValue(workingDirectory)
                         + QLatin1Char('\n');
    out.write(text.toUtf8());
    return out.commit();
}

bool remove()
{
    const QString file = path();
    if (!QFileInfo(file).exists() && !QFileInfo(file).isSymLink())
        return true;
    return QFile::remove(file);
}

} // namespace AutoStartEntry
