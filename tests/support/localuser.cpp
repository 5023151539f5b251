#include "localuser.h"

#include <QDeadlineTimer>

#include <QCoreApplication>
#include <QStandardPaths>

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

QString LocalUser::unavailableReason()
{
    if (::geteuid() != 0)
        return QStringLiteral("not root: a second local user cannot be created");
    if (QStandardPaths::findExecutable(QStringLiteral("useradd"), {"/usr/sbin", "/sbin"}).isEmpty())
        return QStringLiteral("useradd is not installed");
    return QString();
}

bool LocalUser::groupExists(const QString& group)
{
    return ::getgrnam(group.toLocal8Bit().constData()) != nullptr;
}

bool LocalUser::run(const QString& tool, const QStringList& arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(QStandardPaths::findExecutable(tool, {"/usr/sbin", "/sbin", "/usr/bin"}), arguments);
    return process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit
        && process.exitCode() == 0;
}

bool LocalUser::create(const QStringList& groups)
{
    static int counter = 0;
    m_name = QStringLiteral("vxt%1x%2").arg(QCoreApplication::applicationPid()).arg(++counter);
    QStringList arguments{"--system", "--no-create-home", "--shell", "/usr/sbin/nologin", "--user-group"};
    if (!groups.isEmpty())
        arguments << "--groups" << groups.join(QLatin1Char(','));
    if (!run(QStringLiteral("useradd"), arguments << m_name)) {
        m_name.clear();
        return false;
    }
    return refresh();
}

bool LocalUser::addToGroup(const QString& group)
{
    return run(QStringLiteral("usermod"), {"-aG", group, m_name}) && refresh();
}

void LocalUser::remove()
{
    if (m_name.isEmpty())
        return;
    run(QStringLiteral("userdel"), {m_name});
    if (groupExists(m_name))
        run(QStringLiteral("groupdel"), {m_name});
    m_name.clear();
}

bool LocalUser::refresh()
{
    const passwd* entry = ::getpwnam(m_name.toLocal8Bit().constData());
    if (!entry)
        return false;
    m_uid = entry->pw_uid;
    m_gid = entry->pw_gid;
    int count = 64;
    m_groups.resize(count);
    if (::getgrouplist(entry->pw_name, m_gid, m_groups.data(), &count) < 0) {
        m_groups.resize(count);
        ::getgrouplist(entry->pw_name, m_gid, m_groups.data(), &count);
    }
    m_groups.resize(count);
    return true;
}

void UserProcess::setupChildProcess()
{
    if (::setgroups(size_t(m_groups.size()), m_groups.constData()) != 0 || ::setgid(m_gid) != 0
        || ::setuid(m_uid) != 0)
        ::_exit(126);
}

UserProcess::UserProcess(const LocalUser& user)
    : m_uid(user.uid())
    , m_gid(user.gid())
    , m_groups(user.groups())
{
}

Impostor::~Impostor()
{
    process.closeWriteChannel();
    if (!process.waitForFinished(3000))
        process.kill();
    process.waitForFinished(3000);
}

bool Impostor::listen(const QString& socketPath)
{
    process.start(QStringLiteral("/usr/bin/python3"),
                  {qEnvironmentVariable("VARVEX_SOURCE_DIR") + QStringLiteral("/tests/socketpeer.py"),
                   QStringLiteral("listen"), socketPath});
    QDeadlineTimer deadline(10000);
    while (!output.contains('\n') && process.state() != QProcess::NotRunning && !deadline.hasExpired()) {
        process.waitForReadyRead(100);
        output += process.readAllStandardOutput();
    }
    return output == "listening\n";
}

QByteArray Impostor::heard()
{
    output += process.readAllStandardOutput();
    return output;
}
