#include <QtTest>
#include <QTemporaryDir>

#include "singleinstancelock.h"

#include <sys/stat.h>
#include <unistd.h>

// Run as "--hold <key>": takes the lock, says so, and keeps it until killed.
static int holdLock(const QString& key)
{
    SingleInstanceLock lock(key);
    printf("%s\n", lock.isLocked() ? "locked" : "refused");
    fflush(stdout);
    pause();
    return 0;
}

class TestSingleInstanceLock : public QObject
{
    Q_OBJECT

    QScopedPointer<QTemporaryDir> m_runtime;
    QScopedPointer<QTemporaryDir> m_tmp;
    QString m_base;

private slots:
    void initTestCase() { m_base = QDir::tempPath(); }

    void init()
    {
        // Each case points TMPDIR at its own folder, gone after the case.
        m_runtime.reset(new QTemporaryDir(m_base + "/lock-runtime-XXXXXX"));
        m_tmp.reset(new QTemporaryDir(m_base + "/lock-tmp-XXXXXX"));
        QVERIFY(m_runtime->isValid() && m_tmp->isValid());
        QCOMPARE(chmod(QFile::encodeName(m_runtime->path()).constData(), 0700), 0);
        qputenv("XDG_RUNTIME_DIR", m_runtime->path().toLocal8Bit());
        qputenv("TMPDIR", m_tmp->path().toLocal8Bit());
        qputenv("XDG_SESSION_ID", "7");
    }

    void secondLockInTheSameSessionIsRefused()
    {
        QScopedPointer<SingleInstanceLock> first(new SingleInstanceLock("/opt/varvex/varvexclient"));
        QVERIFY(first->isLocked());
        QVERIFY(!first->isHeldElsewhere());
        QVERIFY(first->lockFilePath().startsWith(m_runtime->path() + "/"));

        SingleInstanceLock second("/opt/varvex/varvexclient");
        QVERIFY(!second.isLocked());
        QVERIFY(second.isHeldElsewhere());

        // Another program, or the same one in another session, is independent.
        SingleInstanceLock other("/opt/other/varvexclient");
        QVERIFY(other.isLocked());
        qputenv("XDG_SESSION_ID", "8");
        SingleInstanceLock otherSession("/opt/varvex/varvexclient");
        QVERIFY(otherSession.isLocked());
        qputenv("XDG_SESSION_ID", "7");

        first.reset();
        SingleInstanceLock third("/opt/varvex/varvexclient");
        QVERIFY(third.isLocked());
    }

    void lockIsReleasedWhenTheHolderIsKilled()
    {
        QProcess holder;
        holder.start(QCoreApplication::applicationFilePath(), {"--hold", "/opt/varvex/varvexclient"});
        QVERIFY(holder.waitForReadyRead(5000));
        QCOMPARE(holder.readLine().trimmed(), QByteArray("locked"));
        QVERIFY(SingleInstanceLock("/opt/varvex/varvexclient").isHeldElsewhere());

        holder.kill();
        QVERIFY(holder.waitForFinished(5000));
        SingleInstanceLock after("/opt/varvex/varvexclient");
        QVERIFY(after.isLocked());
    }

    void withoutRuntimeDirAPrivateTempFolderIsUsed()
    {
        qunsetenv("XDG_RUNTIME_DIR");
        const QString expected = m_tmp->filePath("varvex-" + QString::number(geteuid()));
        QCOMPARE(SingleInstanceLock::lockDirectory(), expected);
        struct stat info;
        QCOMPARE(stat(QFile::encodeName(expected).constData(), &info), 0);
        QCOMPARE(info.st_mode & 0777, 0700u);

        SingleInstanceLock first("k");
        QVERIFY(first.isLocked());
        QVERIFY(SingleInstanceLock("k").isHeldElsewhere());
    }

    void unsafeFoldersAreNotUsed()
    {
        // A planted link in the temporary folder is not followed: no lock,
        // and the program is not kept from starting.
        qunsetenv("XDG_RUNTIME_DIR");
        const QString planted = m_tmp->filePath("varvex-" + QString::number(geteuid()));
        QVERIFY(QFile::link(m_runtime->path(), planted));
        QCOMPARE(SingleInstanceLock::lockDirectory(), QString());
        SingleInstanceLock lock("k");
        QVERIFY(!lock.isLocked());
        QVERIFY(!lock.isHeldElsewhere());
        QVERIFY(QDir(m_runtime->path()).entryList(QDir::Files).isEmpty());

        // Nor is a runtime folder others may write to.
        QCOMPARE(chmod(QFile::encodeName(m_runtime->path()).constData(), 0777), 0);
        qputenv("XDG_RUNTIME_DIR", m_runtime->path().toLocal8Bit());
        QCOMPARE(SingleInstanceLock::lockDirectory(), QString());
    }
};

int main(int argc, char* argv[])
{
    if (argc == 3 && qstrcmp(argv[1], "--hold") == 0)
        return holdLock(QString::fromLocal8Bit(argv[2]));
    QCoreApplication app(argc, argv);
    TestSingleInstanceLock test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_singleinstancelock.moc"
