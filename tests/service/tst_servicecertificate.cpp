#include <QCryptographicHash>
#include <QLocalSocket>
#include <QSettings>
#include <QtTest>

#include "host_programfixture.h"
#include "host_testcertificates.h"
#include "processes.h"
#include "recordinghttpserver.h"
#include "webapiclient.h"

namespace {

QByteArray sha1Hex(const QByteArray& data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha1).toHex();
}

QByteArray infoAnswer(const QByteArray& hash)
{
    return "{\"hash\":\"" + hash + "\"}";
}

} // namespace

// The whole service against a web API that answers badly, late or never:
// the certificate file OpenVPN reads stays as it was, and clients connecting
// together share one check.
class TestServiceCertificate : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void cleanupTestCase() { cleanup(); }

    void badBodiesLeaveFileByteForByte_data();
    void badBodiesLeaveFileByteForByte();
    void clientsConnectingTogetherShareOneCheck();
    void hungWebApiTimesOutAndALaterClientChecksAgain();

private:
    void startService();
    void stopService();
    // Connects a client, which makes the service check the certificate.
    QLocalSocket* connectClient();
    QByteArray certificate() const { return m_fixture->read(QStringLiteral("bin/ca.crt")); }
    void writeCertificate(const QByteArray& content);

    HostProgramFixture* m_fixture = nullptr;
    RecordingHttpServer* m_api = nullptr;
    RunningProcess* m_service = nullptr;
    QList<QLocalSocket*> m_clients;
};

void TestServiceCertificate::init()
{
    cleanup(); // a failed init is not followed by cleanup
    m_fixture = new HostProgramFixture;
    QVERIFY(m_fixture->setUp());
    m_api = new RecordingHttpServer;
    QVERIFY(m_api->start());
    m_fixture->environment().insert(QStringLiteral("VARVEX_API_HOST"), m_api->hostAndPort());
    m_fixture->environment().insert(QStringLiteral("VARVEX_SOCKET_DIR"), m_fixture->path(QStringLiteral("tmp")));
    QSettings(m_fixture->configPath(), QSettings::IniFormat).setValue(QStringLiteral("LogLevel"), 2);
}

void TestServiceCertificate::cleanup()
{
    qDeleteAll(m_clients);
    m_clients.clear();
    delete m_service;
    m_service = nullptr;
    delete m_api;
    m_api = nullptr;
    delete m_fixture;
    m_fixture = nullptr;
}

void TestServiceCertificate::startService()
{
    m_service = new RunningProcess;
    QVERIFY(m_fixture->startService(m_service->process, {QStringLiteral("-e")}));
}

void TestServiceCertificate::stopService()
{
    qDeleteAll(m_clients);
    m_clients.clear();
    QCOMPARE(m_fixture->run({QStringLiteral("-t")}).exitCode, 0);
    QVERIFY(m_service->process.waitForFinished(10000));
    QCOMPARE(m_service->process.exitCode(), 0);
}

QLocalSocket* TestServiceCertificate::connectClient()
{
    auto* socket = new QLocalSocket;
    m_clients << socket;
    // The control socket opens before the service has started listening.
    const bool connected = QTest::qWaitFor([&] {
        socket->connectToServer(m_fixture->path(QStringLiteral("tmp/Varvex")));
        return socket->waitForConnected(100);
    }, 5000);
    if (!connected)
        qWarning("no connection to the service: %s", qPrintable(socket->errorString()));
    return socket;
}

void TestServiceCertificate::writeCertificate(const QByteArray& content)
{
    QFile file(m_fixture->path(QStringLiteral("bin/ca.crt")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(content), qint64(content.size()));
}

void TestServiceCertificate::badBodiesLeaveFileByteForByte_data()
{
    QTest::addColumn<QByteArray>("response");
    QTest::addColumn<QByteArray>("reason");

    auto sized = [](const QByteArray& body) {
        return "HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    };
    const QByteArray published = testCertificateA();
    QTest::newRow("HTML with status 200") << sized("<html><body>Log in to continue</body></html>")
                                          << QByteArray("SHA-1 of the answer differs from the published hash");
    QTest::newRow("another certificate") << sized(testCertificateB() + "\n")
                                         << QByteArray("SHA-1 of the answer differs from the published hash");
    QTest::newRow("truncated without Content-Length")
        << "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + published.left(published.size() - 40)
        << QByteArray("SHA-1 of the answer differs from the published hash");
    QTest::newRow("300 MB body") << "HTTP/1.1 200 OK\r\nContent-Length: 314572800\r\nConnection: close\r\n\r\n"
                                        + QByteArray(256 * 1024, 'A')
                                 << QByteArray("answer larger than 65536 bytes");
}

void TestServiceCertificate::badBodiesLeaveFileByteForByte()
{
    QFETCH(QByteArray, response);
    QFETCH(QByteArray, reason);
    const QByteArray kept = testCertificateB();
    writeCertificate(kept);
    m_api->setAnswer(QStringLiteral("/get_ca_info/"), 200, infoAnswer(sha1Hex(testCertificateA())));
    m_api->setRawAnswer(QStringLiteral("/get_ca/"), response);

    startService();
    QVERIFY(connectClient()->state() == QLocalSocket::ConnectedState);
    const QByteArray line = "Error: Certificate download failed at function http_finished: " + reason;
    QTRY_VERIFY2_WITH_TIMEOUT(m_fixture->log().contains(line), m_fixture->log().right(2000).constData(), 8000);
    QCOMPARE(certificate(), kept);
    QCOMPARE(QDir(m_fixture->path(QStringLiteral("bin"))).entryList(QDir::Files | QDir::Hidden),
             QStringList{QStringLiteral("ca.crt")});
    stopService();
    QCOMPARE(certificate(), kept);
}

void TestServiceCertificate::clientsConnectingTogetherShareOneCheck()
{
    writeCertificate(testCertificateB());
    m_api->setAnswer(QStringLiteral("/get_ca_info/"), 200, infoAnswer(sha1Hex(testCertificateA())), 1000);
    m_api->setAnswer(QStringLiteral("/get_ca/"), 200, testCertificateA(), 300);
    startService();

    const int clients = 200;
    for (int i = 0; i < clients; ++i)
        QVERIFY(connectClient()->state() == QLocalSocket::ConnectedState);
    QTRY_COMPARE_WITH_TIMEOUT(certificate(), testCertificateA(), 8000);
    QTest::qWait(300);
    QCOMPARE(m_api->count(QStringLiteral("/get_ca_info/")), 1);
    QCOMPARE(m_api->count(QStringLiteral("/get_ca/")), 1);

    // With that check over, the next client makes its own.
    QVERIFY(connectClient()->state() == QLocalSocket::ConnectedState);
    QTRY_COMPARE_WITH_TIMEOUT(m_api->count(QStringLiteral("/get_ca_info/")), 2, 5000);
    QTest::qWait(300);
    QCOMPARE(m_api->count(QStringLiteral("/get_ca/")), 1);
    stopService();
}

void TestServiceCertificate::hungWebApiTimesOutAndALaterClientChecksAgain()
{
    writeCertificate(testCertificateB());
    m_api->setHangingAnswer(QStringLiteral("/get_ca_info/"));
    startService();
    QVERIFY(connectClient()->state() == QLocalSocket::ConnectedState);
    QTRY_COMPARE_WITH_TIMEOUT(m_api->count(QStringLiteral("/get_ca_info/")), 1, 5000);
    // Clients meanwhile join the open check.
    QVERIFY(connectClient()->state() == QLocalSocket::ConnectedState);
    const QByteArray line = "Error: Certificate check failed at function http_finished: no complete answer within 5000 ms";
    QTRY_VERIFY_WITH_TIMEOUT(m_fixture->log().contains(line), WebApi::TransferTimeoutMs + 4000);
    QCOMPARE(m_api->count(QStringLiteral("/get_ca_info/")), 1);
    QCOMPARE(certificate(), testCertificateB());

    m_api->setAnswer(QStringLiteral("/get_ca_info/"), 200, infoAnswer(sha1Hex(testCertificateA())));
    m_api->setAnswer(QStringLiteral("/get_ca/"), 200, testCertificateA());
    QVERIFY(connectClient()->state() == QLocalSocket::ConnectedState);
    QTRY_COMPARE_WITH_TIMEOUT(certificate(), testCertificateA(), 5000);
    QCOMPARE(m_api->count(QStringLiteral("/get_ca_info/")), 2);
    stopService();
}

QTEST_GUILESS_MAIN(TestServiceCertificate)
#include "tst_servicecertificate.moc"
