#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

#include "qvpncredentials.h"
#include "qvpncredentialscrypt.h"
#include "qvpnsettings.h"
#include "recordinghttpserver.h"
#include "testcertificates.h"
#include "varvexlog.h"

class TestQVPNCredentials : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase() { cleanup(); }

    void answerIsStoredOnlyWhenUsable_data();
    void answerIsStoredOnlyWhenUsable();
    void failureKeepsStoredCredentials();
    void tokenStaysOnePathSegment();
    void storedValueIsReadBack();
    void controlCharactersAreRefused_data();
    void controlCharactersAreRefused();
    void failedTransferIsLogged_data();
    void failedTransferIsLogged();
    void storedFileIsPrivate();
    void onlyAVerifiedServerProvisions_data();
    void onlyAVerifiedServerProvisions();

private:
    QTemporaryDir m_certificates;
    QList<bool> fetch(QVPNCredentials& credentials, int waitMs = 5000);
    QString newLog() const;
    qint64 m_logStart = 0;

    QTemporaryDir* m_dir = nullptr;
    RecordingHttpServer* m_api = nullptr;
};

void TestQVPNCredentials::initTestCase()
{
    setupLog(LOG_INFORMATION, true);
    QVERIFY(m_certificates.isValid());
    const QString error = makeTestCertificates(m_certificates.path());
    QVERIFY2(error.isEmpty(), qPrintable(error));
}

QString TestQVPNCredentials::newLog() const
{
    QFile file(currentLogPath());
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    file.seek(m_logStart);
    return QString::fromUtf8(file.readAll());
}

void TestQVPNCredentials::init()
{
    cleanup(); // a failed init is not followed by cleanup
    m_dir = new QTemporaryDir;
    QVERIFY(m_dir->isValid());
    qputenv("VARVEX_SERVICE_CONFIG", (m_dir->path() + QStringLiteral("/service.conf")).toLocal8Bit());
    m_api = new RecordingHttpServer;
    QVERIFY(m_api->start());
    qputenv("VARVEX_API_HOST", m_api->hostAndPort().toLatin1());
    m_logStart = QFileInfo(currentLogPath()).size();
}

void TestQVPNCredentials::cleanup()
{
    delete m_api;
    m_api = nullptr;
    delete m_dir;
    m_dir = nullptr;
}

QList<bool> TestQVPNCredentials::fetch(QVPNCredentials& credentials, int waitMs)
{
    QList<bool> results;
    QObject receiver;
    connect(&credentials, &QVPNCredentials::updateFinish, &receiver, [&results](bool ok) { results << ok; });
    credentials.updateCredentials();
    if (QTest::qWaitFor([&] { return !results.isEmpty(); }, waitMs))
        QTest::qWait(20); // a second answer would show up here
    return results;
}

void TestQVPNCredentials::answerIsStoredOnlyWhenUsable_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("stored");

    const QByteArray user32(32, 'u');
    QTest::newRow("32-character user, 1-character password") << 200 << QByteArray("{\"username\":\"" + user32 + "\",\"password\":\"p\"}") << true;
    QTest::newRow("32-character password") << 200 << QByteArray("{\"username\":\"u\",\"password\":\"" + QByteArray(32, 'p') + "\"}") << true;
    QTest::newRow("non-ASCII user") << 200 << QByteArray("{\"username\":\"J\\u00fcrgen\",\"password\":\"p\\u00e4ss\"}") << true;
    QTest::newRow("33-character user") << 200 << QByteArray("{\"username\":\"" + user32 + "x\",\"password\":\"p\"}") << false;
    QTest::newRow("33-character password") << 200 << QByteArray("{\"username\":\"u\",\"password\":\"" + QByteArray(33, 'p') + "\"}") << false;
    QTest::newRow("empty password") << 200 << QByteArray("{\"username\":\"user\",\"password\":\"\"}") << false;
    QTest::newRow("missing user") << 200 << QByteArray("{\"password\":\"secret\"}") << false;
    QTest::newRow("number as password") << 200 << QByteArray("{\"username\":\"user\",\"password\":1234}") << false;
    QTest::newRow("not JSON") << 200 << QByteArray("user:secret") << false;
    QTest::newRow("empty body") << 200 << QByteArray() << false;
    QTest::newRow("server error with usable body") << 500 << QByteArray("{\"username\":\"user\",\"password\":\"secret\"}") << false;
    QTest::newRow("unknown user") << 404 << QByteArray("{\"error\":\"unknown user\"}") << false;
}

void TestQVPNCredentials::answerIsStoredOnlyWhenUsable()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(bool, stored);

    m_api->setAnswer(QStringLiteral("/get_user/"), status, body);
    QVPNCredentials credentials(nullptr);
    credentials.setInstallerToken(QStringLiteral("tok3n"));
    QCOMPARE(fetch(credentials), QList<bool>{stored});
    QCOMPARE(m_api->requests, QStringList{QStringLiteral("/get_user/3b9e07c1d52a48f6e0b7c19d4a62f85e/tok3n")});
    QCOMPARE(credentials.hasCredentials(), stored);
    if (!stored) {
        QVERIFY(!QFile::exists(QVPNSettings::storePath()) || !QVPNSettings().contains(QStringLiteral("Credentials")));
        return;
    }

    // What is stored decodes to exactly the answer's values.
    const QJsonObject answer = QJsonDocument::fromJson(body).object();
    QString username;
    QString password;
    QVERIFY(QVPNCredentialsCrypt::decodeUserPass(credentials.credentials(), username, password));
    QCOMPARE(username, answer.value(QStringLiteral("username")).toString());
    QCOMPARE(password, answer.value(QStringLiteral("password")).toString());
}

void TestQVPNCredentials::failureKeepsStoredCredentials()
{
    const QByteArray existing = QVPNCredentialsCrypt::encodeUserPass(QStringLiteral("old"), QStringLiteral("pass"));
    {
        QVPNSettings settings;
        settings.setValue(QStringLiteral("LogLevel"), 3);
        settings.setValue(QStringLiteral("Credentials"), existing);
    }
    m_api->setAnswer(QStringLiteral("/get_user/"), 200, QByteArray("{\"username\":\"\",\"password\":\"x\"}"));
    QVPNCredentials credentials(nullptr);
    QCOMPARE(fetch(credentials), QList<bool>{false});
    QCOMPARE(credentials.credentials(), QString::fromLatin1(existing));
    QCOMPARE(QVPNSettings().value(QStringLiteral("LogLevel")).toInt(), 3);
}

void TestQVPNCredentials::tokenStaysOnePathSegment()
{
    m_api->setAnswer(QStringLiteral("/get_user/"), 404, QByteArray("{}"));
    QVPNCredentials credentials(nullptr);
    credentials.setInstallerToken(QStringLiteral("a b/../c?d#e"));
    QCOMPARE(fetch(credentials), QList<bool>{false});
    QCOMPARE(m_api->requests, QStringList{QStringLiteral("/get_user/3b9e07c1d52a48f6e0b7c19d4a62f85e/a%20b%2F..%2Fc%3Fd%23e")});

    // An empty token still asks, with a path ending in the slash.
    m_api->requests.clear();
    credentials.setInstallerToken(QString());
    QCOMPARE(fetch(credentials), QList<bool>{false});
    QCOMPARE(m_api->requests, QStringList{QStringLiteral("/get_user/3b9e07c1d52a48f6e0b7c19d4a62f85e/")});
}

void TestQVPNCredentials::storedValueIsReadBack()
{
    QVPNCredentials credentials(nullptr);
    QVERIFY(!credentials.hasCredentials());
    QCOMPARE(credentials.credentials(), QString());
    {
        QVPNSettings settings;
        settings.setValue(QStringLiteral("Credentials"), QString());
    }
    QVERIFY(!credentials.hasCredentials());
}

void TestQVPNCredentials::controlCharactersAreRefused_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("LF in the user name") << QByteArray(R"({"username":"user\nroot","password":"secret"})");
    QTest::newRow("CR in the password") << QByteArray(R"({"username":"user","password":"sec\rret"})");
    QTest::newRow("CR LF ending the password") << QByteArray(R"({"username":"user","password":"secret\r\n"})");
    QTest::newRow("tab") << QByteArray(R"({"username":"us\ter","password":"secret"})");
    QTest::newRow("NUL") << QByteArray(R"({"username":"user","password":"se\u0000cret"})");
    QTest::newRow("DEL") << QByteArray(R"({"username":"user\u007f","password":"secret"})");
    QTest::newRow("C1 next line") << QByteArray(R"({"username":"user","password":"se\u0085cret"})");
}

void TestQVPNCredentials::controlCharactersAreRefused()
{
    QFETCH(QByteArray, body);
    m_api->setAnswer(QStringLiteral("/get_user/"), 200, body);
    QVPNCredentials credentials(nullptr);
    credentials.setInstallerToken(QStringLiteral("tok3n"));
    QCOMPARE(fetch(credentials), QList<bool>{false});
    QVERIFY(!credentials.hasCredentials());
    QVERIFY(!QFile::exists(QVPNSettings::storePath()) || !QVPNSettings().contains(QStringLiteral("Credentials")));
    QVERIFY2(newLog().contains(QStringLiteral("Error: Provisioned credentials contain control characters. Nothing is stored.")),
             qPrintable(newLog()));
}

void TestQVPNCredentials::failedTransferIsLogged_data()
{
    QTest::addColumn<bool>("hang");
    QTest::addColumn<QString>("reason");
    QTest::newRow("web API never answers") << true << QStringLiteral("no complete answer within 5000 ms");
    QTest::newRow("answer over the size cap") << false << QStringLiteral("answer larger than 1048576 bytes");
}

void TestQVPNCredentials::failedTransferIsLogged()
{
    QFETCH(bool, hang);
    QFETCH(QString, reason);
    if (hang)
        m_api->setHangingAnswer(QStringLiteral("/get_user/"));
    else
        m_api->setAnswer(QStringLiteral("/get_user/"), 200,
                         "{\"username\":\"user\",\"password\":\"secret\",\"pad\":\"" + QByteArray(2 << 20, 'x') + "\"}");
    QVPNCredentials credentials(nullptr);
    QCOMPARE(fetch(credentials, WebApi::TransferTimeoutMs + 3000), QList<bool>{false});
    QVERIFY(!credentials.hasCredentials());
    QVERIFY2(newLog().contains(QStringLiteral("Error: Credentials fetch failed at function http_finished: ") + reason),
             qPrintable(newLog()));
}

// The settings file that holds the credentials is readable by the service
// alone, replaced in one step, and keeps its other values.
void TestQVPNCredentials::storedFileIsPrivate()
{
    {
        QVPNSettings settings;
        settings.setValue(QStringLiteral("LogLevel"), 3);
    }
    QVERIFY(QFile::setPermissions(QVPNSettings::storePath(), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup
                                                                 | QFile::ReadOther));
    m_api->setAnswer(QStringLiteral("/get_user/"), 200, QByteArray("{\"username\":\"u\",\"password\":\"p\"}"));
    QVPNCredentials credentials(nullptr);
    QCOMPARE(fetch(credentials), QList<bool>{true});

    struct stat info;
    QCOMPARE(::stat(QFile::encodeName(QVPNSettings::storePath()).constData(), &info), 0);
    QCOMPARE(int(info.st_mode & 07777), 0600);
    QVERIFY(credentials.hasCredentials());
    QCOMPARE(QVPNSettings().value(QStringLiteral("LogLevel")).toInt(), 3);
    // No file of the folder but the settings (and their lock) is left behind.
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files | QDir::Hidden).filter(QStringLiteral("service.conf")).size(),
             QDir(m_dir->path()).entryList(QDir::Files | QDir::Hidden).size());
}

void TestQVPNCredentials::onlyAVerifiedServerProvisions_data()
{
    QTest::addColumn<QString>("serverCertificate"); // empty: plain HTTP
    QTest::addColumn<bool>("stored");
    QTest::newRow("trusted") << "server" << true;
    QTest::newRow("man in the middle") << "mitm" << false;
    QTest::newRow("wrong host name") << "wronghost" << false;
    QTest::newRow("expired") << "expired" << false;
    QTest::newRow("plain HTTP answer") << QString() << false;
    QTest::newRow("authority file missing") << "server" << false;
}

void TestQVPNCredentials::onlyAVerifiedServerProvisions()
{
    QFETCH(QString, serverCertificate);
    QFETCH(bool, stored);
    const QString folder = m_certificates.path() + QLatin1Char('/');
    const bool caMissing = QByteArray(QTest::currentDataTag()) == "authority file missing";
    ScopedHttpsWebApi https(folder + (caMissing ? QStringLiteral("missing.crt") : QStringLiteral("ca.crt")));
    if (!serverCertificate.isEmpty()) {
        delete m_api;
        m_api = new RecordingHttpServer;
        QVERIFY(m_api->startTls(folder + serverCertificate + ".crt", folder + serverCertificate + ".key"));
        qputenv("VARVEX_API_HOST", m_api->hostAndPort().toLatin1());
    }
    const QByteArray usable = "{\"username\":\"u\",\"password\":\"p\"}";
    m_api->setAnswer(QStringLiteral("/get_user/"), 200, usable);
    m_api->setDefaultAnswer(RecordingHttpServer::Answer{200, usable, 0, QByteArray(), false});

    QVPNCredentials credentials(nullptr);
    QCOMPARE(fetch(credentials), QList<bool>{stored});
    QCOMPARE(credentials.hasCredentials(), stored);
    QCOMPARE(QFile::exists(QVPNSettings::storePath()), stored);
    QCOMPARE(m_api->requests.size(), stored ? 1 : 0);
    if (!stored)
        QVERIFY2(newLog().contains(QStringLiteral("Error: Credentials fetch failed at function http_finished: ")
                                   + (caMissing ? QStringLiteral("VARVEX_API_CA_FILE ") + folder : QString())),
                 qPrintable(newLog()));
}

QTEST_GUILESS_MAIN(TestQVPNCredentials)
#include "tst_qvpncredentials.moc"
