#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <sys/stat.h>

#include "frameclient.h"
#include "privateservice.h"
#include "processes.h"
#include "qvpncredentialscrypt.h"

namespace {

// Stands in for the system's OpenVPN behind the real launcher: prints a
// successful connection with LF line ends, records its pid, and ignores
// SIGTERM like an OpenVPN that is slow to end.
const char StubbornOpenVpn[] = R"PY(
import os, signal, sys, time
signal.signal(signal.SIGTERM, signal.SIG_IGN)
with open(os.environ["STUB_PID_FILE"], "a") as f:
    f.write("%d\n" % os.getpid())
out = sys.stdout
out.write("2026-01-01 10:00:00 [10.8.0.6] Peer Connection Initiated with [AF_INET]192.0.2.1:443\n")
out.write("2026-01-01 10:00:00 TUN/TAP device tun0 opened\n")
out.write("2026-01-01 10:00:00 Initialization Sequence Completed\n")
out.flush()
# Bounded, so that a failed test leaves nothing running for long.
time.sleep(60)
)PY";

QByteArray connectRequest()
{
    QByteArray payload;
    VarvexFrame::appendField(payload, "vpn.example.net");
    VarvexFrame::appendField(payload, QVPNCredentialsCrypt::encodeUserPass("user", "Sup3r-S3cret"));
    return VarvexFrame::build(VARVEX_CMD_CONNECT_REQUEST, payload);
}

// A service installed in a folder of its own with the real OpenVPN launcher
// as its bin/openvpn, and a private socket folder.
class LauncherService
{
public:
    bool setUp(const QProcessEnvironment& extra)
    {
        const QString buildDir = qEnvironmentVariable("VARVEX_BUILD_DIR");
        if (!m_dir.isValid() || !QDir(m_dir.path()).mkpath("bin") || !QDir(m_dir.path()).mkpath("tmp")
            || !QFile::copy(buildDir + "/bin/varvexservice", path("varvexservice"))
            || !QFile::copy(buildDir + "/bin/bin/openvpn", path("bin/openvpn")))
            return false;
        {
            QSettings settings(path("service.conf"), QSettings::IniFormat);
            settings.setValue("LogLevel", 4);
            settings.setValue("KillSwitch", false);
        }
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TMPDIR", path("tmp"));
        env.insert("VARVEX_SOCKET_DIR", path("tmp"));
        env.insert("VARVEX_RUN_DIR", path("run"));
        env.insert("VARVEX_SERVICE_CONFIG", path("service.conf"));
        env.insert("VARVEX_API_HOST", "127.0.0.1:9");
        env.insert(extra);
        m_process.setProcessEnvironment(env);
        m_process.setProcessChannelMode(QProcess::ForwardedChannels);
        qputenv("TMPDIR", path("tmp").toLocal8Bit());
        qputenv("VARVEX_SOCKET_DIR", path("tmp").toLocal8Bit());
        m_process.start(path("varvexservice"), {"-e"});
        return m_process.waitForStarted(3000);
    }
    ~LauncherService()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(3000);
        }
    }
    QString path(const QString& name) const { return m_dir.filePath(name); }
    QProcess& process() { return m_process; }
    QByteArray log() const
    {
        QFile file(path("varvexservice.log"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
};

} // namespace

// The built service, copied beside a scripted OpenVPN and driven over its
// socket like a client would.
class TestVarvexService : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void connectAbortAndTerminate();
    void missingSystemOpenVpnIsAFailedStartWithoutReconnect();
    void disconnectAndServiceEndWaitForOpenVpnToEnd();
    void hungSystemToolHoldsUpNoClientAndTheNextTunnelWaitsForTheUndo();

private:
    QString path(const QString& name) const { return m_dir.filePath(name); }
    bool waitForSocket(FrameClient* client);

    QTemporaryDir m_dir;
    QProcess m_service;
};

void TestVarvexService::initTestCase()
{
    QVERIFY(m_dir.isValid());
    const QString failure = installPrivateService(m_dir.path());
    QVERIFY2(failure.isEmpty(), qPrintable(failure));

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
        settings.setValue("KillSwitch", false);
    }

    qputenv("TMPDIR", path("tmp").toLocal8Bit());
    qputenv("VARVEX_SOCKET_DIR", path("tmp").toLocal8Bit());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TMPDIR", path("tmp"));
    env.insert("VARVEX_SOCKET_DIR", path("tmp"));
    env.insert("VARVEX_RUN_DIR", path("run"));
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

void TestVarvexService::missingSystemOpenVpnIsAFailedStartWithoutReconnect()
{
    LauncherService service;
    QProcessEnvironment env;
    env.insert("VARVEX_OPENVPN", m_dir.filePath("no-such-openvpn"));
    QVERIFY(service.setUp(env));
    FrameClient client;
    QVERIFY(waitForSocket(&client));
    QTRY_COMPARE(client.statusBytes(), QByteArray("\x03", 1));

    client.send(connectRequest());
    QTRY_COMPARE_WITH_TIMEOUT(client.statusBytes(), QByteArray("\x03\x00\x03", 3), 5000);
    // The first retry would come 10 s after the end; none comes.
    QTest::qWait(15000);
    QCOMPARE(client.statusBytes(), QByteArray("\x03\x00\x03", 3));

    const QByteArray log = service.log();
    QCOMPARE(log.count("Critical: openvpn.exe process call failed. Error: FailedToStart\r\n"), 1);
    QVERIFY(!log.contains("Reconncet timer triggered."));
}

void TestVarvexService::disconnectAndServiceEndWaitForOpenVpnToEnd()
{
    const QString python = QFileInfo::exists("/usr/bin/python3") ? QStringLiteral("/usr/bin/python3")
                                                                 : QStandardPaths::findExecutable("python3");
    if (python.isEmpty())
        QSKIP("python3 is needed for the stand-in OpenVPN");
    const QString stub = m_dir.filePath("stubborn-openvpn");
    const QString pidFile = m_dir.filePath("stubborn-pids");
    {
        QFile file(stub);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("#!" + python.toUtf8() + "\n" + StubbornOpenVpn);
        file.close();
        QVERIFY(file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    }
    auto lastPid = [&pidFile]() {
        QFile file(pidFile);
        if (!file.open(QIODevice::ReadOnly))
            return qint64(0);
        const QList<QByteArray> lines = file.readAll().split('\n');
        return lines.size() > 1 ? lines.at(lines.size() - 2).toLongLong() : qint64(0);
    };

    LauncherService service;
    QProcessEnvironment env;
    env.insert("VARVEX_OPENVPN", stub);
    env.insert("STUB_PID_FILE", pidFile);
    QVERIFY(service.setUp(env));
    FrameClient client;
    QVERIFY(waitForSocket(&client));

    client.send(connectRequest());
    QTRY_COMPARE_WITH_TIMEOUT(client.statusBytes(), QByteArray("\x03\x00\x01", 3), 5000);
    const qint64 first = lastPid();
    QVERIFY(first > 0);

    client.send(VarvexFrame::build(VARVEX_CMD_ABORT_REQUEST));
    QTRY_COMPARE(client.statusBytes(), QByteArray("\x03\x00\x01\x02", 4));
    QVERIFY2(!processGone(first), "the stand-in should still be running when status 2 arrives");
    QVERIFY(QTest::qWaitFor([&] { return client.statusBytes().size() > 4; }, 10000));
    QCOMPARE(client.statusBytes(), QByteArray("\x03\x00\x01\x02\x03", 5));
    QVERIFY2(processGone(first), "status 3 arrived while OpenVPN still ran");

    // The same when the service itself ends while connected.
    client.send(connectRequest());
    QTRY_COMPARE_WITH_TIMEOUT(client.statusBytes(), QByteArray("\x03\x00\x01\x02\x03\x00\x01", 7), 5000);
    const qint64 second = lastPid();
    QVERIFY(second > 0 && second != first);
    service.process().terminate();
    QVERIFY(service.process().waitForFinished(10000));
    QCOMPARE(service.process().exitCode(), 0);
    QVERIFY2(processGone(second), "OpenVPN outlived the service");
}

void TestVarvexService::hungSystemToolHoldsUpNoClientAndTheNextTunnelWaitsForTheUndo()
{
    // A killed tunnel's DNS left for the service to undo at its start, with
    // a resolvectl that hangs (the service gives up on it after 10 s).
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString failure = installPrivateService(dir.path());
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
    QVERIFY(QDir(dir.path()).mkpath("run"));
    struct stat ns;
    QCOMPARE(::stat("/proc/self/ns/net", &ns), 0);
    QFile record(dir.filePath("run/network-changes"));
    QVERIFY(record.open(QIODevice::WriteOnly));
    record.write(QStringLiteral("netns %1:%2\ndns-method systemd-resolved\ndns-interface tun0\nhost-route-existed 0\n")
                     .arg(ns.st_dev).arg(ns.st_ino).toUtf8());
    record.close();
    QFile hang(dir.filePath("resolvectl"));
    QVERIFY(hang.open(QIODevice::WriteOnly));
    hang.write("#!/bin/sh\necho \"$@\" >> \"$(dirname \"$0\")/resolvectl.log\"\nexec sleep 30\n");
    hang.close();
    QVERIFY(hang.setPermissions(hang.permissions() | QFile::ExeOwner));
    QFile scenario(dir.filePath("scenario"));
    QVERIFY(scenario.open(QIODevice::WriteOnly));
    scenario.write("prompt\nhang\n");
    scenario.close();
    {
        QSettings settings(dir.filePath("service.conf"), QSettings::IniFormat);
        settings.setValue("KillSwitch", false);
    }
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TMPDIR", dir.filePath("tmp"));
    env.insert("VARVEX_SOCKET_DIR", dir.filePath("tmp"));
    env.insert("VARVEX_RUN_DIR", dir.filePath("run"));
    env.insert("VARVEX_SERVICE_CONFIG", dir.filePath("service.conf"));
    env.insert("VARVEX_API_HOST", "127.0.0.1:9");
    env.insert("VARVEX_CONTROL_DIR", dir.filePath("tmp"));
    env.insert("VARVEX_RESOLVECTL", hang.fileName());
    env.insert("FAKE_OPENVPN_SCENARIO", scenario.fileName());
    env.insert("FAKE_OPENVPN_RECORD", dir.filePath("record"));
    QProcess service;
    service.setProcessEnvironment(env);
    service.setProcessChannelMode(QProcess::ForwardedChannels);
    // Clients find the socket by name in the temporary folder.
    const QByteArray tmp = qgetenv("TMPDIR");
    qputenv("TMPDIR", dir.filePath("tmp").toLocal8Bit());
    service.start(dir.filePath("varvexservice"), {"-e"});
    QVERIFY(service.waitForStarted(3000));
    auto cleanUp = qScopeGuard([&] {
        qputenv("TMPDIR", tmp);
        service.kill();
        service.waitForFinished(3000);
    });

    FrameClient watcher;
    QVERIFY(waitForSocket(&watcher));
    QTRY_VERIFY(QFile::exists(dir.filePath("resolvectl.log")));
    watcher.send(connectRequest());

    // Bandwidth frames keep their second while the undo hangs, and a client
    // that comes meanwhile is told the status at once.
    QElapsedTimer clock;
    clock.start();
    qint64 last = 0, largestGap = 0, newcomerWait = -1;
    int samples = 0;
    FrameClient newcomer;
    while (clock.elapsed() < 4500) {
        QTest::qWait(20);
        const int now = watcher.framesWithCode(VARVEX_CMD_BANDWIDTH_UPDATE).size();
        if (now > samples) {
            if (samples > 0)
                largestGap = qMax(largestGap, clock.elapsed() - last);
            last = clock.elapsed();
            samples = now;
        }
        if (newcomerWait < 0 && clock.elapsed() >= 2000) {
            QElapsedTimer waited;
            waited.start();
            QVERIFY(newcomer.connectTo("Varvex"));
            QVERIFY(!newcomer.waitForFrame(VARVEX_CMD_STATUS_UPDATE, 1000).isEmpty());
            newcomerWait = waited.elapsed();
        }
    }
    QVERIFY2(samples >= 3, qPrintable(QString::number(samples)));
    QVERIFY2(largestGap <= 1500, qPrintable(QStringLiteral("largest gap %1 ms").arg(largestGap)));
    QVERIFY2(newcomerWait >= 0 && newcomerWait <= 1000, qPrintable(QString::number(newcomerWait)));
    QCOMPARE(watcher.statusBytes(), QByteArray("\x03\x00", 2));

    // The new tunnel waits until the old one's undo is over.
    QVERIFY2(!QFile::exists(dir.filePath("record")), "OpenVPN started while the earlier undo still ran");
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(dir.filePath("record")), 15000);
}

QTEST_MAIN(TestVarvexService)
#include "tst_varvexservice.moc"
