#include <QtTest>
#include <QTemporaryDir>

#include "autostartentry.h"
#include "qvpnclientsettings.h"
#include "qvpncredentialscrypt.h"

class TestQVPNClientSettings : public QObject
{
    Q_OBJECT

    QScopedPointer<QTemporaryDir> m_config;

    QString settingsFile() const { return m_config->filePath("Varvex/client.conf"); }
    QString autostartFile() const { return m_config->filePath("autostart/varvex-client.desktop"); }

    static QByteArray readFile(const QString& path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

private slots:
    void init()
    {
        m_config.reset(new QTemporaryDir);
        QVERIFY(m_config->isValid());
        qputenv("XDG_CONFIG_HOME", m_config->path().toLocal8Bit());
    }

    void freshAccountGivesTheDefaults()
    {
        const VPNServerInfo server = QVPNClientSettings::getConnection();
        QCOMPARE(server.name, QString("Automatic"));
        QCOMPARE(server.code, QString("auto"));
        QCOMPARE(server.hostname, QString(VARVEX_AUTO_HOSTNAME));
        QCOMPARE(QVPNClientSettings::getAutoLogin(), false);
        QCOMPARE(QVPNClientSettings::getFavoriteServers(), QString(""));
        QCOMPARE(QVPNClientSettings::getAutoStart(), false);

        QString user = "keep", pass = "these";
        QVERIFY(!QVPNClientSettings::getCredentials(user, pass));
        QCOMPARE(user, QString("keep"));
        QCOMPARE(pass, QString("these"));
        // Reading creates nothing.
        QVERIFY(!QFileInfo::exists(settingsFile()));
    }

    void valuesRoundTripThroughTheFile()
    {
        VPNServerInfo server{QString::fromUtf8("Zürich #2"), "CH", "ch2.example.net"};
        QVPNClientSettings::setConnection(server);
        QCOMPARE(QVPNClientSettings::getConnection(), server);
        // Empty strings are stored values, not absent ones.
        QVPNClientSettings::setConnection(VPNServerInfo{"", "", ""});
        QCOMPARE(QVPNClientSettings::getConnection(), (VPNServerInfo{"", "", ""}));

        QVPNClientSettings::setAutoLogin(true);
        QCOMPARE(QVPNClientSettings::getAutoLogin(), true);
        QVPNClientSettings::setAutoLogin(false);
        QCOMPARE(QVPNClientSettings::getAutoLogin(), false);

        QVPNClientSettings::setCredentials(QString::fromUtf8("jörg"), "p@ss,word=1");
        QString user, pass;
        QVERIFY(QVPNClientSettings::getCredentials(user, pass));
        QCOMPARE(user, QString::fromUtf8("jörg"));
        QCOMPARE(pass, QString("p@ss,word=1"));

        // The store is the INI file under XDG_CONFIG_HOME, with the value
        // names as they are, the login encoded.
        QSettings raw(settingsFile(), QSettings::IniFormat);
        QCOMPARE(raw.value("Creditentials").toString(),
                 QString::fromLatin1(QVPNCredentialsCrypt::encodeUserPass(QString::fromUtf8("jörg"), "p@ss,word=1")));
        QCOMPARE(raw.value("Connection Name").toString(), QString(""));
        QCOMPARE(raw.value("AutoLogin").toString(), QString("false"));
        QVERIFY(!readFile(settingsFile()).contains("jörg"));
    }

    void favoritesAreOneCommaJoinedText()
    {
        QVPNClientSettings::setFavoriteServers("Paris,New York");
        QCOMPARE(QVPNClientSettings::getFavoriteServers(), QString("Paris,New York"));
        // A name holding a comma comes back as two parts.
        QVPNClientSettings::setFavoriteServers("Frankfurt, DE,Oslo");
        QCOMPARE(QVPNClientSettings::getFavoriteServers().split(','), QStringList({"Frankfurt", " DE", "Oslo"}));
        QVPNClientSettings::setFavoriteServers("");
        QCOMPARE(QVPNClientSettings::getFavoriteServers(), QString(""));
    }

    void unreadableCredentialsFailWithoutTouchingTheOutputs()
    {
        {
            QSettings raw(settingsFile(), QSettings::IniFormat);
            raw.setValue("Creditentials", "not base64 at all!");
            raw.setValue("AutoLogin", true);
        }
        QString user = "u", pass = "p";
        QVERIFY(!QVPNClientSettings::getCredentials(user, pass));
        QCOMPARE(user, QString("u"));
        QCOMPARE(pass, QString("p"));
        // Other values stay readable and writable.
        QVPNClientSettings::setFavoriteServers("Oslo");
        QCOMPARE(QVPNClientSettings::getAutoLogin(), true);
        QSettings raw(settingsFile(), QSettings::IniFormat);
        QCOMPARE(raw.value("Creditentials").toString(), QString("not base64 at all!"));
    }

    void autostartEntryFollowsTheSwitch()
    {
        QVPNClientSettings::setAutoStart(true);
        QVERIFY(QVPNClientSettings::getAutoStart());
        const QByteArray text = readFile(autostartFile());
        QCOMPARE(text, "[Desktop Entry]\nType=Application\nName=Varvex Client\nExec="
                           + QCoreApplication::applicationFilePath().toUtf8() + "\nPath="
                           + QDir::currentPath().toUtf8() + "\n");
        // The switch is the file's existence, whatever it holds.
        {
            QFile f(autostartFile());
            QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
            f.write("edited by hand");
        }
        QVERIFY(QVPNClientSettings::getAutoStart());
        // Turning it on again replaces the file whole.
        QVPNClientSettings::setAutoStart(true);
        QVERIFY(readFile(autostartFile()).startsWith("[Desktop Entry]\n"));
        QCOMPARE(QDir(m_config->filePath("autostart")).entryList(QDir::Files | QDir::Hidden), QStringList("varvex-client.desktop"));

        QVPNClientSettings::setAutoStart(false);
        QVERIFY(!QVPNClientSettings::getAutoStart());
        QVPNClientSettings::setAutoStart(false);
        QVERIFY(!QFileInfo::exists(autostartFile()));
        // The settings file has nothing to do with it.
        QVERIFY(!QFileInfo::exists(settingsFile()));
    }

    void execValueQuotesWhatTheDesktopWouldSplit()
    {
        QCOMPARE(AutoStartEntry::execValue("/usr/bin/varvexclient"), QString("/usr/bin/varvexclient"));
        QCOMPARE(AutoStartEntry::execValue("/opt/Varvex Client/varvexclient"),
                 QString("\"/opt/Varvex Client/varvexclient\""));
        // Inside quotes ", `, $ and \ take a backslash; the file's own
        // escaping then doubles every backslash; % is doubled.
        QCOMPARE(AutoStartEntry::execValue("/a$b/c\"d/100%"), QString("\"/a\\\\$b/c\\\\\"d/100%%\""));
    }

    void autostartEntryStartsInTheCurrentFolder()
    {
        // The client finds its Fonts folder in its working directory, so a
        // start at logon must begin where this start began.
        QTemporaryDir parent;
        const QString folder = parent.filePath("Fonts here\\x");
        QVERIFY(QDir().mkpath(folder));
        const QString before = QDir::currentPath();
        QVERIFY(QDir::setCurrent(folder));
        QVPNClientSettings::setAutoStart(true);
        QDir::setCurrent(before);
        const QList<QByteArray> lines = readFile(autostartFile()).split('\n');
        QVERIFY(lines.contains("Path=" + parent.path().toUtf8() + "/Fonts here\\\\x"));
    }

    void relativeConfigHomeIsIgnored()
    {
        QTemporaryDir home;
        const QByteArray oldHome = qgetenv("HOME");
        qputenv("HOME", home.path().toLocal8Bit());
        qputenv("XDG_CONFIG_HOME", "relative/dir");
        QVPNClientSettings::setAutoLogin(true);
        QVPNClientSettings::setAutoStart(true);
        qputenv("HOME", oldHome);
        QVERIFY(QFileInfo::exists(home.filePath(".config/Varvex/client.conf")));
        QVERIFY(QFileInfo::exists(home.filePath(".config/autostart/varvex-client.desktop")));
    }
};

QTEST_GUILESS_MAIN(TestQVPNClientSettings)
#include "tst_qvpnclientsettings.moc"
