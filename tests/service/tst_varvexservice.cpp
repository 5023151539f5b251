#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include "qvpncredentialscrypt.h"
#include "servicetestsupport.h"

// The built service, copied beside a scripted OpenVPN and driven over its
// socket like a client would.
class TestVarvexService : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void connectAbortAndTerminate();

private:
    QString path(const QString& name) const { return m_dir.filePath(name); }
    bool waitForSocket(FrameClient* client);

    QTemporaryDir m_dir;
    QProcess m_service;
};

void TestVarvexService::initTestCase()
{
    QVERIFY(m_dir.isValid());
    const QString buildDir = qEnvironmentVariable("VARVEX_BUILD_DIR");
    const QString sourceDir = qEnvironmentVariable("VARVEX_SOURCE_DIR");
    QVERIFY2(!buildDir.isEmpty() && !sourceDir.isEmpty(), "run through ctest");

    QVERIFY(QDir(m_dir.path()).mkpath("bin"));
    QVERIFY(QDir(m_dir.path()).mkpath("tmp"));
    QVERIFY(QFile::copy(buildDir + "/bin/varvexservice", path("varvexservice")));
    QVERIFY(QFile::copy(sourceDir + "/tests/service/fake-openvpn/openvpn", path("bin/openvpn")));
    QFile::setPermissions(path("bin/openvpn"), QFile::permissions(path("bin/openvpn")) | QFile::ExeOwner);

    QFile scenario(path("scenario"));
    QVERIFY(scenario.open(QIODevice::WriteOnly));
    scenario.write("prompt\n"
                   "out 2026-01-01 10:00:00 [10.8.0.6] Peer Connection Initiated with [AF_INET]192.0.2.1:443\\r\\n\n"
                   "out 2026-01-01 10:00:00 TUN/TAP device tun0 opened\\r\\n\n"
                   "out 2026-01-01 10:00:00 Initialization Sequence Completed\\r\\n\n"
                   "hang\n");
    scenario.close();
    {
        QSettings settings(path("service.conf"), QSettings::IniFormat);
        settings.setValue("LogLevel", 4);
    }

    qputenv("TMPDIR", path("tmp").toLocal8Bit());
    qputenv("VARVEX_SOCKET_DIR", path("tmp").toLocal8Bit());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TMPDIR", path("tmp"));
    env.insert("VARVEX_SOCKET_DIR", path("tmp"));
    env.insert("VARVEX_SERVICE_CONFIG", path("service.conf"));
    env.insert("VARVEX_API_HOST", "127.0.0.1:9");
    env.insert("FAKE_OPENVPN_SCENARIO", path("scenario"));
    env.insert("FAKE_OPENVPN_RECORD", path("record"));
    m_service.setProcessEnvironment(env);
    m_service.setProcessChannelMode(QProcess::ForwardedChannels);
}

void TestVarvexService::cleanupTestCase()
{
    if (m_service.state() != QProcess::NotRunning) {
        m_service.kill();
        m_service.waitForFinished(3000);
    }
}

bool TestVarvexService::waitForSocket(FrameClient* client)
{
    QDeadlineTimer deadline(5000);
    while (!deadline.hasExpired()) {
        if (client->connectTo("Varvex"))
            return true;
        QTest::qWait(50);
    }
    return false;
}

void TestVarvexService::connectAbortAndTerminate()
{
    m_service.start(path("varvexservice"), {"-e"});
    QVERIFY(m_service.waitForStarted(3000));

    FrameClient client;
    QVERIFY(waitForSocket(&client));
    QTRY_COMPARE(client.frames().value(0), fromHex("01050d0302"));

    const uint before = uint(QDateTime::currentSecsSinceEpoch());
    QByteArray payload;
    VarvexFrame::appendField(payload, "vpn.example.net");
    VarvexFrame::appendField(payload, QVPNCredentialsCrypt::encodeUserPass("user", "Sup3r-S3cret"));
    client.send(VarvexFrame::build(VARVEX_CMD_CONNECT_REQUEST, payload));
    QTRY_COMPARE_WITH_TIMEOUT(client.statusBytes(), QByteArray("\x03\x00\x01", 3), 5000);
    const QByteArray connected = client.framesWithCode(VARVEX_CMD_STATUS_UPDATE).last();
    QCOMPARE(connected.mid(4, 9), QByteArray("\x08" "10.8.0.6"));
    QVERIFY(VarvexFrame::readUInt32(connected, 13) >= before);

    client.send(VarvexFrame::build(VARVEX_CMD_ABORT_REQUEST));
    QTRY_COMPARE(client.statusBytes(), QByteArray("\x03\x00\x01\x02\x03", 5));

    // Without an OpenVPN program the attempt fails at once and cleanly.
    QVERIFY(QFile::remove(path("bin/openvpn")));
    client.send(VarvexFrame::build(VARVEX_CMD_CONNECT_REQUEST, payload));
    QTRY_COMPARE(client.statusBytes(), QByteArray("\x03\x00\x01\x02\x03\x00\x03", 7));

    m_service.terminate();
    QVERIFY(m_service.waitForFinished(5000));
    QCOMPARE(m_service.exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_service.exitCode(), 0);

    QFile log(path("varvexservice.log"));
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QByteArray text = log.readAll();
    QVERIFY(text.contains("Information: OpenVPN password sent\r\n"));
    QVERIFY(text.contains("Critical: openvpn.exe process call failed. Error: FailedToStart\r\n"));
    QVERIFY2(!text.contains("Sup3r-S3cret"), "the password reached the log");

    QFile record(path("record"));
    QVERIFY(record.open(QIODevice::ReadOnly));
    QVERIFY(record.readAll().contains("pass=Sup3r-S3cret\n"));
}

QTEST_MAIN(TestVarvexService)
#include "tst_varvexservice.moc"
