#include <QtTest>

#include "varvexlog.h"

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
