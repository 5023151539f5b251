#ifndef TESTS_LOCALUSER_H
#define TESTS_LOCALUSER_H

// A real, unprivileged local user for the length of a test, created with
// useradd under a name unique to this run and removed again afterwards, and
// a process class that runs its program as that user. Needs root.

#include <QByteArray>
#include <QCoreApplication>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QVector>

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

class LocalUser
{
public:
    ~LocalUser() { remove(); }

    // Empty when users can be created here, else the reason why not.
    static QString unavailableReason()
    {
        if (::geteuid() != 0)
            return QStringLiteral("not root: a second local user cannot be created");
        if (QStandardPaths::findExecutable(QStringLiteral("useradd"), {"/usr/sbin", "/sbin"}).isEmpty())
            return QStringLiteral("useradd is not installed");
        return QString();
    }

    static bool groupExists(const QString& group) { return ::getgrnam(group.toLocal8Bit().constData()) != nullptr; }

    static bool run(const QString& tool, const QStringList& arguments)
    {
        QProcess process;
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(QStandardPaths::findExecutable(tool, {"/usr/sbin", "/sbin", "/usr/bin"}), arguments);
        return process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit
            && process.exitCode() == 0;
    }

    // A system user without home or login shell, in its own user group and
    // the given extra groups.
    bool create(const QStringList& groups = QStringList())
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

    bool addToGroup(const QString& group)
    {
        return run(QStringLiteral("usermod"), {"-aG", group, m_name}) && refresh();
    }

    void remove()
    {
        if (m_name.isEmpty())
            return;
        run(QStringLiteral("userdel"), {m_name});
        if (groupExists(m_name))
            run(QStringLiteral("groupdel"), {m_name});
        m_name.clear();
    }

    QString name() const { return m_name; }
    uid_t uid() const { return m_uid; }
    gid_t gid() const { return m_gid; }
    const QVector<gid_t>& groups() const { return m_groups; }

private:
    // The user's ids and groups as the group database has them now.
    bool refresh()
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

    QString m_name;
    uid_t m_uid = 0;
    gid_t m_gid = 0;
    QVector<gid_t> m_groups;
};

// Runs its program as the user: groups, group id and user id are set in the
// child before exec (everything it needs is worked out before the fork).
class UserProcess : public QProcess
{
public:
    explicit UserProcess(const LocalUser& user)
        : m_uid(user.uid())
        , m_gid(user.gid())
        , m_groups(user.groups())
    {
    }

protected:
    void setupChildProcess() override
    {
        if (::setgroups(size_t(m_groups.size()), m_groups.constData()) != 0 || ::setgid(m_gid) != 0
            || ::setuid(m_uid) != 0)
            ::_exit(126);
    }

private:
    uid_t m_uid;
    gid_t m_gid;
    QVector<gid_t> m_groups;
};

#endif // TESTS_LOCALUSER_H
