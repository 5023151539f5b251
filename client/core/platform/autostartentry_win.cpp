#include "autostartentry.h"

#include <QSettings>

// Windows: the value "Varvex Client" under the user's Run key. The switch is
// on exactly when the value exists; its data is never read back.
namespace {

const QString RunKey = QStringLiteral("HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run");
const QString ValueName = QStringLiteral("Varvex Client");

} // namespace

namespace AutoStartEntry {

QString path()
{
    return RunKey + QLatin1Char('\\') + ValueName;
}

bool exists()
{
    QSettings run(RunKey, QSettings::NativeFormat);
    return run.contains(ValueName);
}

bool install(const QString& executablePath, const QString& workingDirectory)
{
    // A Run entry has no working folder of its own.
    Q_UNUSED(workingDirectory);
    QSettings run(RunKey, QSettings::NativeFormat);
    run.setValue(ValueName, execValue(executablePath));
    run.sync();
    return run.status() == QSettings::NoError;
}

bool remove()
{
    QSettings run(RunKey, QSettings::NativeFormat);
    run.remove(ValueName);
    run.sync();
    return run.status() == QSettings::NoError;
}

QString execValue(const QString& executablePath)
{
    // Unquoted, a path with a space would let Windows start "C:\Program.exe"
    // or the like at logon.
    if (executablePath.contains(QLatin1Char(' ')) && !executablePath.startsWith(QLatin1Char('"')))
        return QLatin1Char('"') + executablePath + QLatin1Char('"');
    return executablePath;
}

QString escapedValue(const QString& text)
{
    // The registry stores the text as it is.
    return text;
}

} // namespace AutoStartEntry
