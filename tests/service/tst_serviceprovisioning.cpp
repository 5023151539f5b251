#include <QSettings>
#include <QStandardPaths>
#include <QtTest>

#include "frameclient.h"
#include "host_programfixture.h"
#include "processes.h"
#include "qvpncredentialscrypt.h"
#include "varvexprotocol.h"

namespace {

QByteArray fileContent(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

// The service against the development web API: credentials provisioning at
// start and the certificate download at the first client connection.
class TestServiceProvisioning : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void cleanupTestCase() { cleanup(); }

    void freshInstallFetchesCredentialsAndCertificate();
    void storedCredentialsAreNotFetchedAgain();

private:
    bool startWebApi();
    bool startService(RunningProcess& service);
    QByteArray requestCredentials();
    void stopService(RunningProcess& service);
    // Every request the web API logged so far.
    QByteArray webApiLog()
    {
        m_webApiLog += m_webApi->process.readAllStandardError();
        return m_webApiLog;
    }

    HostProgramFixture* m_fixture = nullptr;
    RunningProcess* m_webApi = nullptr;
    QString m_caPath;
    QByteArray m_webApiLog;
};

void TestServiceProvisioning::init()
{
    cleanup(); // a failed init is not followed by cleanup
    m_fixture = new HostProgramFixture;
    QVERIFY(m_fixture->setUp());
    m_webApi = new RunningProcess;
    m_webApiLog.clear();
    QVERIFY(startWebApi());

    QSettings config(m_fixture->configPath(), QSettings::IniFormat);
    config.setValue(QStringLiteral("LogLevel"), 4);
    config.setValue(QStringLiteral("InstallerName"), QStringLiteral("C:\\Users\\me\\Downloads\\Varvex-Setup-devtoken.EXE"));
}

void TestServiceProvisioning::cleanup()
{
    delete m_webApi;
    m_webApi = nullptr;
    delete m_fixture;
    m_fixture = nullptr;
}

bool TestServiceProvisioning::startWebApi()
{
    const QString python = QStandardPaths::findExecutable(QStringLiteral("python3"));
    if (python.isEmpty())
        return false;
    const QString tool = qEnvironmentVariable("VARVEX_SOURCE_DIR") + QStringLiteral("/tools/devwebapi");
    m_caPath = tool + QStringLiteral("/data/ca.crt");
    // Over TLS, with the development authority it makes trusted.
    const QString tls = m_fixture->path(QStringLiteral("webapi-tls"));
    m_fixture->environment().insert(QStringLiteral("VARVEX_API_CA_FILE"), tls + QStringLiteral("/web-ca.crt"));
    m_webApi->process.start(python, {tool + QStringLiteral("/devwebapi.py"), QStringLiteral("--port"), QStringLiteral("0"),
                                     QStringLiteral("--tls-dir"), tls});
    if (!m_webApi->process.waitForStarted(5000))
        return false;
    // "devwebapi listening on 127.0.0.1:<port>"
    if (!QTest::qWaitFor([this] { return m_webApi->process.canReadLine(); }, 10000))
        return false;
    const QByteArray line = m_webApi->process.readLine().trimmed();
    const QByteArray port = line.mid(line.lastIndexOf(':') + 1);
    if (port.toInt() <= 0)
        return false;
    m_fixture->environment().insert(QStringLiteral("VARVEX_API_HOST"), QStringLiteral("127.0.0.1:") + QString::fromLatin1(port));
    return true;
}

bool TestServiceProvisioning::startService(RunningProcess& service)
{
    return m_fixture->startService(service.process, {QStringLiteral("-e")});
}

void TestServiceProvisioning::stopService(RunningProcess& service)
{
    QCOMPARE(m_fixture->run({QStringLiteral("-t")}).exitCode, 0);
    QVERIFY(service.process.waitForFinished(5000));
    QCOMPARE(service.process.exitCode(), 0);
}

QByteArray TestServiceProvisioning::requestCredentials()
{
    // The control socket opens before the service has started listening.
    FrameClient client;
    const bool connected = QTest::qWaitFor([&] {
        return client.connectTo(m_fixture->path(QStringLiteral("tmp/Varvex")), 100);
    }, 5000);
    if (!connected)
        return "<no connection>";
    client.send(VarvexFrame::build(VARVEX_CMD_CREDENTIALS_REQUEST));

    const QByteArray frame = client.waitForFrame(VARVEX_CMD_CREDENTIALS_REPLY, 5000);
    if (frame.isEmpty())
        return "<no reply>";
    QByteArray payload = VarvexFrame::payload(frame);
    return VarvexFrame::takeField(payload);
}

void TestServiceProvisioning::freshInstallFetchesCredentialsAndCertificate()
{
    RunningProcess service;
    QVERIFY(startService(service));

    QTRY_VERIFY_WITH_TIMEOUT(!QSettings(m_fixture->configPath(), QSettings::IniFormat)
                                  .value(QStringLiteral("Credentials")).toString().isEmpty(), 5000);
    const QString stored = QSettings(m_fixture->configPath(), QSettings::IniFormat).value(QStringLiteral("Credentials")).toString();
    QString username;
    QString password;
    QVERIFY(QVPNCredentialsCrypt::decodeUserPass(stored, username, password));
    QCOMPARE(username, QStringLiteral("devuser"));
    QCOMPARE(password, QStringLiteral("devpassword"));

    // The first client gets the stored credentials and brings the
    // certificate, which this fresh installation does not have yet.
    const QString certificate = m_fixture->path(QStringLiteral("bin/ca.crt"));
    QVERIFY(!QFile::exists(certificate));
    QCOMPARE(requestCredentials(), stored.toLatin1());
    QTRY_COMPARE_WITH_TIMEOUT(fileContent(certificate), fileContent(m_caPath), 5000);

    stopService(service);
    const QByteArray requests = webApiLog();
    QCOMPARE(requests.count("GET /get_user/3b9e07c1d52a48f6e0b7c19d4a62f85e/devtoken "), 1);
}

void TestServiceProvisioning::storedCredentialsAreNotFetchedAgain()
{
    const QByteArray existing = QVPNCredentialsCrypt::encodeUserPass(QStringLiteral("kept"), QStringLiteral("secret"));
    QSettings(m_fixture->configPath(), QSettings::IniFormat).setValue(QStringLiteral("Credentials"), existing);
    // A current certificate is kept as it is.
    QVERIFY(QFile::copy(m_caPath, m_fixture->path(QStringLiteral("bin/ca.crt"))));

    RunningProcess service;
    QVERIFY(startService(service));
    QCOMPARE(requestCredentials(), existing);
    QTRY_VERIFY_WITH_TIMEOUT(webApiLog().contains("GET /get_ca_info/"), 5000);
    QTest::qWait(200);

    stopService(service);
    const QByteArray requests = webApiLog();
    QVERIFY(!requests.contains("/get_user/"));
    QVERIFY(!requests.contains("GET /get_ca/"));
    QCOMPARE(QSettings(m_fixture->configPath(), QSettings::IniFormat).value(QStringLiteral("Credentials")).toByteArray(), existing);
}

QTEST_GUILESS_MAIN(TestServiceProvisioning)
#include "tst_serviceprovisioning.moc"
