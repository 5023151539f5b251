#include "servicemanager.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <cerrno>
#include <cstring>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

// Well above the service's cap on client connections (256), each of which
// holds one descriptor.
const int UnitDescriptorLimit = 4096;

QByteArray notifySocket()
{
    static const QByteArray path = [] {
        const QByteArray value = qgetenv("NOTIFY_SOCKET");
        // Children (OpenVPN among them) must not report to the manager in the
        // service's name.
        qunsetenv("NOTIFY_SOCKET");
        return value;
    }();
    return path;
}

// Quotes a word for a unit file: systemd's C-like escapes inside double
// quotes, and its specifier and variable characters doubled.
QString quoteUnitWord(const QString& word)
{
    QString quoted;
    for (const QChar c : word) {
        if (c == QLatin1Char('\\') || c == QLatin1Char('"'))
            quoted += QLatin1Char('\\');
        else if (c == QLatin1Char('%') || c == QLatin1Char('$'))
            quoted += c;
        quoted += c;
    }
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

QString unquoteUnitWord(const QString& text)
{
    QString word;
    int i = 0;
    const bool quoted = text.startsWith(QLatin1Char('"'));
    if (quoted)
        ++i;
    for (; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (quoted && c == QLatin1Char('"'))
            break;
        if (!quoted && c.isSpace())
            break;
        if (c == QLatin1Char('\\') && i + 1 < text.size()) {
            word += text.at(++i);
        } else if ((c == QLatin1Char('%') || c == QLatin1Char('$')) && i + 1 < text.size() && text.at(i + 1) == c) {
            word += c;
            ++i;
        } else {
            word += c;
        }
    }
    return word;
}

bool hasControlCharacter(const QString& text)
{
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return true;
    }
    return false;
}

// The system account a unit runs under; empty for the system's own account.
// Windows-style "DOMAIN\user" and ".\user" forms keep only the user.
bool unitAccount(const QString& account, QString* user)
{
    QString name = account.mid(account.lastIndexOf(QLatin1Char('\\')) + 1);
    if (name.isEmpty() || name.compare(QLatin1String("LocalSystem"), Qt::CaseInsensitive) == 0
        || name == QLatin1String("root")) {
        user->clear();
        return true;
    }
    static const QRegularExpression valid(QStringLiteral("^[A-Za-z_][A-Za-z0-9_.-]{0,31}\\$?$"));
    if (!valid.match(name).hasMatch())
        return false;
    *user = name;
    return true;
}

} // namespace

namespace ServiceManager {

QString unitDirectory()
{
    const QByteArray overridden = qgetenv("VARVEX_UNIT_DIR");
    if (!overridden.isEmpty())
        return QString::fromLocal8Bit(overridden);
    return QStringLiteral("/etc/systemd/system");
}

QString unitName(const QString& serviceName)
{
    return serviceName.toLower() + QStringLiteral(".service");
}

QString unitFilePath(const QString& serviceName)
{
    return unitDirectory() + QLatin1Char('/') + unitName(serviceName);
}

QString installedUnitFilePath(const QString& serviceName)
{
    const QString own = unitFilePath(serviceName);
    if (!qEnvironmentVariableIsEmpty("VARVEX_UNIT_DIR") || QFileInfo::exists(own))
        return own;
    for (const char* folder : { "/lib/systemd/system", "/usr/lib/systemd/system" }) {
        const QString packaged = QLatin1String(folder) + QLatin1Char('/') + unitName(serviceName);
        if (QFileInfo::exists(packaged))
            return packaged;
    }
    return own;
}

QByteArray unitText(const QString& description, const QString& programPath, const QString& account, bool startAtBoot)
{
    QString user;
    if (programPath.isEmpty() || hasControlCharacter(programPath) || hasControlCharacter(description)
        || !unitAccount(account, &user))
        return QByteArray();

    QString text;
    text += QStringLiteral("[Unit]\n");
    text += QStringLiteral("Description=") + QString(description).replace(QLatin1Char('%'), QStringLiteral("%%")) + QLatin1Char('\n');
    text += QStringLiteral("Wants=network-online.target\nAfter=network-online.target\n\n");
    text += QStringLiteral("[Service]\n");
    text += QStringLiteral("Type=notify\n");
    text += QStringLiteral("ExecStart=") + quoteUnitWord(programPath) + QLatin1Char('\n');
    if (!user.isEmpty())
        text += QStringLiteral("User=") + user + QLatin1Char('\n');
    // Holds the client and control sockets; systemd creates it for the
    // service's account, writable by that account alone.
    text += QStringLiteral("RuntimeDirectory=varvex\nRuntimeDirectoryMode=0755\n");
    // It also holds the record that a tunnel is wanted, which a service
    // restarted after a crash or an upgrade needs to keep the kill switch.
    text += QStringLiteral("RuntimeDirectoryPreserve=yes\n");
    // Room for every client connection the service admits besides its own
    // files, and back at once if it ever ends abnormally.
    text += QStringLiteral("LimitNOFILE=%1\n").arg(UnitDescriptorLimit);
    text += QStringLiteral("Restart=on-failure\nRestartSec=2\n");
    if (startAtBoot)
        text += QStringLiteral("\n[Install]\nWantedBy=multi-user.target\n");
    return text.toUtf8();
}

QString programOfUnit(const QString& unitFilePath)
{
    QFile file(unitFilePath);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return QString();
    const QString key = QStringLiteral("ExecStart=");
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.startsWith(key))
            return unquoteUnitWord(line.mid(key.size()).trimmed());
    }
    return QString();
}

bool runTool(const QStringList& arguments)
{
    QByteArray program = qgetenv("VARVEX_SYSTEMCTL");
    if (program.isEmpty())
        program = "systemctl";

    QList<QByteArray> words;
    words << program;
    for (const QString& argument : arguments)
        words << argument.toLocal8Bit();
    QVector<char*> argv;
    for (QByteArray& word : words)
        argv << word.data();
    argv << nullptr;

    pid_t pid = 0;
    if (posix_spawnp(&pid, program.constData(), nullptr, nullptr, argv.data(), environ) != 0)
        return false;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool managesUnitDirectory()
{
    return qEnvironmentVariableIsEmpty("VARVEX_UNIT_DIR") || !qEnvironmentVariableIsEmpty("VARVEX_SYSTEMCTL");
}

bool startedAsService()
{
    // systemd gives every unit it starts an invocation id; a shell may inherit
    // one from a user session, so the parent or the notification socket of a
    // notify-type unit must confirm it.
    if (qEnvironmentVariableIsEmpty("INVOCATION_ID"))
        return false;
    return getppid() == 1 || !notifySocket().isEmpty();
}

void notify(const char* state)
{
    const QByteArray path = notifySocket();
    if (path.isEmpty() || (path.at(0) != '/' && path.at(0) != '@'))
        return;

    sockaddr_un address;
    std::memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    if (size_t(path.size()) >= sizeof(address.sun_path))
        return;
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    if (address.sun_path[0] == '@')
        address.sun_path[0] = '\0'; // abstract namespace
    const socklen_t length = socklen_t(offsetof(sockaddr_un, sun_path) + size_t(path.size()));

    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    ::sendto(fd, state, std::strlen(state), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&address), length);
    ::close(fd);
}

QString currentProgramPath()
{
    const QFileInfo self(QStringLiteral("/proc/self/exe"));
    const QString target = self.symLinkTarget();
    return target.isEmpty() ? QString() : QDir::cleanPath(target);
}

} // namespace ServiceManager
