#include <QtTest>

#include "varvexlog.h"

#include <sys/stat.h>
#include <unistd.h>

class TestVarvexLog : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    QString home() const { return m_dir.path() + QStringLiteral("/users/me"); }
    QString homeLog() const { return m_dir.path() + QStringLiteral("/users/") + QCoreApplication::applicationName() + QStringLiteral(".log"); }

    static QStringList lines(const QString& path)
    {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return {};
        const QString text = QString::fromUtf8(file.readAll());
        QStringList result = text.split(QStringLiteral("\r\n"));
        if (!result.isEmpty() && result.last().isEmpty())
            result.removeLast();
        return result;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY(QDir().mkpath(home()));
        qputenv("HOME", QFile::encodeName(home()));
    }

    void init()
    {
        QFile::remove(homeLog());
        setupLog(LOG_WARNING, false);
    }

    void defaultThresholdKeepsWarningsAndAbove()
    {
        writeLog(QStringLiteral("info"), LOG_INFORMATION);
        writeLog(QStringLiteral("debug"), LOG_DEBUG);
        writeLog(QStringLiteral("warn"), LOG_WARNING);
        writeLog(QStringLiteral("err"), LOG_ERROR);
        writeLog(QStringLiteral("crit"), LOG_CRITICAL);
        writeLog(QStringLiteral("odd"), 7);
        writeLog(QStringLiteral("negative"), -1);

        const QStringList written = lines(homeLog());
        QCOMPARE(written.size(), 4);
        const QRegularExpression stamp(QStringLiteral("^\\d{4}\\.\\d\\d\\.\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} - "));
        for (const QString& line : written)
            QVERIFY2(stamp.match(line).hasMatch(), qPrintable(line));
        QVERIFY(written.at(0).endsWith(QStringLiteral(" - Warning: warn")));
        QVERIFY(written.at(1).endsWith(QStringLiteral(" - Error: err")));
        QVERIFY(written.at(2).endsWith(QStringLiteral(" - Critical: crit")));
        QVERIFY(written.at(3).endsWith(QStringLiteral(" - Unknown: odd")));
    }

    void negativeLevelIsNeverWritten()
    {
        setupLog(0, false);
        writeLog(QStringLiteral("negative"), -1);
        writeLog(QStringLiteral("info"), LOG_INFORMATION);
        const QStringList written = lines(homeLog());
        QCOMPARE(written.size(), 1);
        QVERIFY(written.at(0).endsWith(QStringLiteral("Information: info")));
    }

    void messageIsWrittenUnchanged()
    {
        writeLog(QStringLiteral("two\nlines \u00e9"), LOG_ERROR);
        QFile file(homeLog());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray content = file.readAll();
        QVERIFY(content.endsWith(QStringLiteral(" - Error: two\nlines \u00e9\r\n").toUtf8()));
        QCOMPARE(content.count("\r\n"), 1);
    }

    void besideExecutableTakesEffectAtOnce()
    {
        const QFileInfo program(QCoreApplication::applicationFilePath());
        const QString beside = program.absolutePath() + QLatin1Char('/') + program.completeBaseName() + QStringLiteral(".log");
        QFile::remove(beside);

        writeLog(QStringLiteral("home"), LOG_ERROR);
        setupLog(LOG_WARNING, true);
        writeLog(QStringLiteral("beside"), LOG_ERROR);
        QCOMPARE(currentLogPath(), beside);
        QCOMPARE(lines(beside).size(), 1);
        QCOMPARE(lines(homeLog()).size(), 1);
        QFile::remove(beside);
    }

    void unwritableFolderIsSilent()
    {
        if (::geteuid() == 0)
            QSKIP("root may write anywhere");
        const QString locked = m_dir.path() + QStringLiteral("/locked/me");
        QVERIFY(QDir().mkpath(locked));
        QFile::setPermissions(m_dir.path() + QStringLiteral("/locked"), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        qputenv("HOME", QFile::encodeName(locked));
        setupLog(LOG_WARNING, false);
        writeLog(QStringLiteral("lost"), LOG_CRITICAL);
        QVERIFY(!QFile::exists(m_dir.path() + QStringLiteral("/locked/") + QCoreApplication::applicationName() + QStringLiteral(".log")));
        qputenv("HOME", QFile::encodeName(home()));
    }

    // Whatever someone else put at the log's path is not written through:
    // a link, a FIFO (which would also hold the writer), a second name of
    // another file.
    void plantedFilesAreNotWrittenThrough()
    {
        // A folder anyone may write, as the places links get planted in are.
        const QString folder = m_dir.path() + QStringLiteral("/users");
        QCOMPARE(::chmod(QFile::encodeName(folder).constData(), 01777), 0);
        const QString target = m_dir.path() + QStringLiteral("/target");
        QFile file(target);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("untouched");
        file.close();

        QVERIFY(QFile::link(target, homeLog()));
        writeLog(QStringLiteral("through a link"), LOG_CRITICAL);
        QVERIFY(QFile::remove(homeLog()));

        QCOMPARE(::link(QFile::encodeName(target).constData(), QFile::encodeName(homeLog()).constData()), 0);
        writeLog(QStringLiteral("through a second name"), LOG_CRITICAL);
        QVERIFY(QFile::remove(homeLog()));
        QCOMPARE(lines(target), QStringList{QStringLiteral("untouched")});

        QCOMPARE(::mkfifo(QFile::encodeName(homeLog()).constData(), 0666), 0);
        QElapsedTimer timer;
        timer.start();
        writeLog(QStringLiteral("into a FIFO"), LOG_CRITICAL);
        QVERIFY(timer.elapsed() < 1000);
        QVERIFY(QFile::remove(homeLog()));

        // The next line goes to a fresh file again.
        writeLog(QStringLiteral("fresh"), LOG_CRITICAL);
        QCOMPARE(lines(homeLog()).size(), 1);
        QVERIFY(QFile::remove(homeLog()));
        QCOMPARE(::chmod(QFile::encodeName(folder).constData(), 0755), 0);
    }

    // A link only root could have made, as a package makes to keep the log
    // out of /usr, is written through.
    void rootsOwnLinkIsWrittenThrough()
    {
        if (::geteuid() != 0)
            QSKIP("only root can make a link only root could have made");
        const QString folder = m_dir.path() + QStringLiteral("/users");
        const QString logFolder = m_dir.path() + QStringLiteral("/var-log");
        QVERIFY(QDir().mkpath(logFolder));
        QCOMPARE(::chmod(QFile::encodeName(folder).constData(), 0755), 0);
        QVERIFY(QFile::link(logFolder + QStringLiteral("/app.log"), homeLog()));
        writeLog(QStringLiteral("through the package's link"), LOG_CRITICAL);
        QCOMPARE(lines(logFolder + QStringLiteral("/app.log")).size(), 1);
        QVERIFY(QFileInfo(homeLog()).isSymLink());

        // The same link in a folder others may write is not.
        QCOMPARE(::chmod(QFile::encodeName(folder).constData(), 0777), 0);
        writeLog(QStringLiteral("refused"), LOG_CRITICAL);
        QCOMPARE(lines(logFolder + QStringLiteral("/app.log")).size(), 1);
        QCOMPARE(::chmod(QFile::encodeName(folder).constData(), 0755), 0);
        QVERIFY(QFile::remove(homeLog()));
    }

    void concurrentLinesStayWhole()
    {
        const int threads = 4, perThread = 200;
        QList<QThread*> workers;
        for (int t = 0; t < threads; ++t) {
            workers << QThread::create([t]() {
                for (int i = 0; i < perThread; ++i)
                    writeLog(QStringLiteral("thread %1 line %2").arg(t).arg(i), LOG_ERROR);
            });
            workers.last()->start();
        }
        for (QThread* worker : workers) {
            worker->wait();
            delete worker;
        }
        const QStringList written = lines(homeLog());
        QCOMPARE(written.size(), threads * perThread);
        for (const QString& line : written)
            QVERIFY(line.contains(QStringLiteral(" - Error: thread ")));
    }

    void repeatedLinesOfOneSourceAreSummarised()
    {
        setupLog(LOG_INFORMATION, false);
        {
            VarvexLogSummary summary(60000);
            for (int i = 0; i < 1000; ++i) {
                summary.write(QStringLiteral("bad start"), LOG_CRITICAL);
                summary.write(QStringLiteral("bad end"), LOG_CRITICAL);
            }
            summary.write(QStringLiteral("too short"), LOG_WARNING);
            summary.write(QStringLiteral("too short"), LOG_ERROR);
            summary.write(QStringLiteral("decode failed"), LOG_DEBUG);
            summary.write(QStringLiteral("decode failed"), LOG_DEBUG);
            summary.write(QStringLiteral("socket_readyRead"), LOG_INFORMATION);
            summary.write(QStringLiteral("socket_readyRead"), LOG_INFORMATION);

            // Alternating lines do not defeat it; the same text at another
            // level is another line; Debug and Information pass unchanged.
            QStringList written = lines(homeLog());
            QCOMPARE(written.size(), 8);
            QVERIFY(written.at(0).endsWith(QStringLiteral(" - Critical: bad start")));
            QVERIFY(written.at(1).endsWith(QStringLiteral(" - Critical: bad end")));
            QVERIFY(written.at(2).endsWith(QStringLiteral(" - Warning: too short")));
            QVERIFY(written.at(3).endsWith(QStringLiteral(" - Error: too short")));
            QCOMPARE(written.filter(QStringLiteral(" - Debug: decode failed")).size(), 2);
            QCOMPARE(written.filter(QStringLiteral(" - Information: socket_readyRead")).size(), 2);
        }
        // The source going away writes what it held back, once per line.
        const QStringList written = lines(homeLog());
        QCOMPARE(written.size(), 10);
        QCOMPARE(written.filter(QStringLiteral(" - Critical: bad start ... repeated 999 times")).size(), 1);
        QCOMPARE(written.filter(QStringLiteral(" - Critical: bad end ... repeated 999 times")).size(), 1);
        QCOMPARE(written.filter(QStringLiteral("too short ... repeated")).size(), 0);
    }

    void summaryWindowEndsWithACountAndTheLineAgain()
    {
        VarvexLogSummary summary(100);
        summary.write(QStringLiteral("flood"), LOG_WARNING);
        summary.write(QStringLiteral("flood"), LOG_WARNING);
        summary.write(QStringLiteral("flood"), LOG_WARNING);
        QCOMPARE(lines(homeLog()).size(), 1);
        QTest::qWait(150);
        summary.write(QStringLiteral("flood"), LOG_WARNING);
        QStringList written = lines(homeLog());
        QCOMPARE(written.size(), 3);
        QVERIFY(written.at(1).endsWith(QStringLiteral(" - Warning: flood ... repeated 2 times")));
        QVERIFY(written.at(2).endsWith(QStringLiteral(" - Warning: flood")));
        summary.flush();
        summary.flush();
        QCOMPARE(lines(homeLog()).size(), 3);
    }
};

QTEST_GUILESS_MAIN(TestVarvexLog)
#include "tst_varvexlog.moc"
