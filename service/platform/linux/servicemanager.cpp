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
// quotes, and its specifier characters doubled, and for a command line its
// variable characters too.
QString quoteUnitWord(const QString& word, bool commandLine = true)
{
    QString quoted;
    for (const QChar c : word) {
        if (c == QLatin1Char('\\') || c == QLatin1Char('"'))
            quoted += QLatin1Char('\\');
        else if (c == QLatin1Char('%') || (commandLine && c == QLatin1Char('$')))
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

bool isBelow(const QString& path, const QString& folder)
{
    return path.startsWith(folder + QLatin1Char('/'));
}

// What the root service may do, and no more. The service, the OpenVPN it
// starts and the launcher's DNS, route and firewall changes all run under
// these keys, so each one names who needs what it leaves open.
QString confinement(const QString& programPath)
{
    QString text;
    // CAP_NET_ADMIN: the tunnel device, routes, OpenVPN's socket mark, the
    // nftables tables, and systemd-resolved's per-link DNS. CAP_CHOWN: the
    // client socket's group. OpenVPN keeps root (a change of user would clear
    // the parent-death signal that ends it with its launcher), so nothing
    // needs CAP_SETUID, CAP_SETGID or CAP_KILL.
    text += QStringLiteral("CapabilityBoundingSet=CAP_NET_ADMIN CAP_CHOWN\n");
    text += QStringLiteral("NoNewPrivileges=yes\n");
    // Every mode the service means is set explicitly (socket, certificate,
    // resolver file); anything else stays the service's own.
    text += QStringLiteral("UMask=0077\n");
    // Read-only but for: /etc/varvex (settings), /var/lib/varvex (OpenVPN's
    // CA certificate), /var/log/varvex (log), /run/varvex (sockets and the
    // record of network changes, the RuntimeDirectory above).
    text += QStringLiteral("ProtectSystem=strict\n");
    text += QStringLiteral("ConfigurationDirectory=varvex\nStateDirectory=varvex\nLogsDirectory=varvex\n");
    // The DNS methods: resolvconf writes below /run/resolvconf; the
    // resolver file method rewrites /etc/resolv.conf in place, as it does
    // wherever the file cannot be renamed over, so the file alone is
    // writable and the rest of /etc is not. systemd-resolved is asked over
    // its socket and writes nothing here.
    text += QStringLiteral("ReadWritePaths=-/etc/resolv.conf -/run/resolvconf\n");
    // A program installed elsewhere than the system's /usr (a build folder,
    // /opt, /usr/local) keeps its log and bin/ca.crt beside itself; the
    // package's are links into /var.
    const QString folder = QFileInfo(programPath).absolutePath();
    const bool inHome = isBelow(programPath, QStringLiteral("/home")) || isBelow(programPath, QStringLiteral("/root"))
        || isBelow(programPath, QStringLiteral("/run/user"));
    if (!isBelow(programPath, QStringLiteral("/usr")) || isBelow(programPath, QStringLiteral("/usr/local")))
        text += QStringLiteral("ReadWritePaths=") + quoteUnitWord(folder, false) + QLatin1Char('\n');
    text += inHome ? QStringLiteral("ProtectHome=read-only\n") : QStringLiteral("ProtectHome=yes\n");
    text += QStringLiteral("PrivateTmp=yes\n");
    // OpenVPN's tunnel device and the standard pseudo devices, nothing else.
    text += QStringLiteral("DevicePolicy=closed\nDeviceAllow=/dev/net/tun rw\n");
    text += QStringLiteral("ProtectKernelTunables=yes\nProtectKernelModules=yes\nProtectKernelLogs=yes\n");
    text += QStringLiteral("ProtectClock=yes\nProtectControlGroups=yes\nProtectHostname=yes\n");
    // /proc/net stays: the traffic counters and the routes are read there.
    text += QStringLiteral("ProtectProc=invisible\nPrivateMounts=yes\n");
    text += QStringLiteral("RestrictNamespaces=yes\nRestrictRealtime=yes\nRestrictSUIDSGID=yes\n");
    text += QStringLiteral("LockPersonality=yes\nMemoryDenyWriteExecute=yes\n");
    // Nothing here changes priorities, scheduling or limits at run time (the
    // descriptor limit comes from LimitNOFILE); a call outside the filter
    // fails with EPERM rather than killing the tunnel.
    text += QStringLiteral("SystemCallArchitectures=native\n");
    text += QStringLiteral("SystemCallFilter=@system-service\nSystemCallFilter=~@resources\n");
    text += QStringLiteral("SystemCallErrorNumber=EPERM\n");
    // Local sockets (clients, D-Bus), netlink (routes, nftables), and the
    // web API and VPN servers.
    text += QStringLiteral("RestrictAddressFamilies=AF_UNIX AF_NETLINK AF_INET AF_INET6\n");
    return text;
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
    text += QStringLiteral("Documentation=man:varvexservice(8)\n");
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
    text += confinement(programPath);
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
