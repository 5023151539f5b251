#ifndef LOCALUSER_H
#define LOCALUSER_H

// A real, unprivileged local user for the length of a test, created with
// useradd under a name unique to this run and removed again afterwards, and
// a process class that runs its program as that user. Needs root.

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QVector>

#include <sys/types.h>

class LocalUser
{
public:
    ~LocalUser() { remove(); }

    // Empty when users can be created here, else the reason why not.
    static QString unavailableReason();
    static bool groupExists(const QString& group);
    // Runs a user or group tool from the system's folders; true when it succeeded.
    static bool run(const QString& tool, const QStringList& arguments);

    // A system user without home or login shell, in its own user group and
    // the given extra groups.
    bool create(const QStringList& groups = QStringList());
    bool addToGroup(const QString& group);
    void remove();

    QString name() const { return m_name; }
    uid_t uid() const { return m_uid; }
    gid_t gid() const { return m_gid; }
    const QVector<gid_t>& groups() const { return m_groups; }

private:
    // The user's ids and groups as the group database has them now.
    bool refresh();

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
    explicit UserProcess(const LocalUser& user);

protected:
    void setupChildProcess() override;

private:
    uid_t m_uid;
    gid_t m_gid;
    QVector<gid_t> m_groups;
};

// A socket listener run as another user (tests/socketpeer.py); it reports
// what reaches it: "listening", "accepted", "bytes HEX", "closed".
class Impostor
{
public:
    explicit Impostor(const LocalUser& user)
        : process(user)
    {
    }
    ~Impostor();
    // Listens at socketPath, open to all; false when it could not.
    bool listen(const QString& socketPath);
    QByteArray heard();

    UserProcess process;
    QByteArray output;
};

#endif // LOCALUSER_H
