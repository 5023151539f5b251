// The service with the real OpenVPN launcher against a real OpenVPN server,
// in network namespaces built for the run. Needs root, /dev/net/tun and
// OpenVPN; skips without them.

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

#include "tunneltestsupport.h"
#include "varvexprotocol.h"

using namespace TunnelTestSupport;

namespace {

const char ServerLinkAddress[] = "10.213.1.1";
const char ServerTunnelAddress[] = "10.213.8.1";
const char UserName[] = "tunnel-user";
const char Password[] = "tunnel-pass";

// The arguments the service gives OpenVPN, with the test server as host.
const QStringList ClientArguments = {
    "--client", "--dev", "tun", "--proto", "udp", "--remote", ServerLinkAddress, "443",
    "--resolv-retry", "infinite", "--nobind", "--persist-key", "--persist-tun", "--ca", "ca.crt",
    "--tls-client", "--remote-cert-tls", "server", "--auth-user-pass", "--comp-lzo", "--verb", "1",
    "--reneg-sec", "0", "--connect-retry-max", "0", "--ping-restart", "0", "--ping-exit", "10",
    "--socks-proxy-retry", "0", "--link-mtu", "1574", "--auth-nocache"
};

// Sends datagrams through the tunnel and prints how many came back.
const char EchoClient[] = R"PY(
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.settimeout(1)
s.connect((sys.argv[1], 7))
answered = 0
for i in range(int(sys.argv[2])):
    s.send(b"x" * int(sys.argv[3]))
    try:
        s.recv(65535)
        answered += 1
    except socket.timeout:
        pass
print(answered)
)PY";

// The two namespaces with their veth pair and the server's files. Removing
// them also ends whatever still runs inside, so a failed run leaves nothing.
class TunnelNetwork
{
public:
    explicit TunnelNetwork(const QString& fixture)
        : m_fixture(fixture), m_tag(QStringLiteral("vvx%1").arg(getpid())) { }
    ~TunnelNetwork() { down(); }

    RunResult up(const QString& directory)
    {
        // Namespaces of earlier runs that were killed outright.
        run(m_fixture, { "sweep" });
        m_up = true;
        return run(m_fixture, { "up", m_tag, directory });
    }

    void down()
    {
        if (m_up)
            run(m_fixture, { "down", m_tag });
        m_up = false;
    }

    QString serverNamespace() const { return m_tag + "-srv"; }
    QString clientNamespace() const { return m_tag + "-cli"; }

private:
    QString m_fixture;
    QString m_tag;
    bool m_up = false;
};

} // namespace

class tst_Tunnel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void cleanupTestCase();

    void launcherBringsUpTheTunnel();
    void serviceConnects();
    void bandwidthCountsTunnelTraffic();
    void abortTakesTheTunnelDown();
    void wrongPasswordFailsWithoutReconnecting();
    void passwordsNeverReachTheLog();
    void tunnelEndsWithTheService();

private:
    bool tunnelDeviceExists();
    RunResult inClient(const QString& program, const QStringList& arguments);
    bool startService();
    void sendConnect(const QString& password);
    void dumpLogs();

    TunnelTools m_tools;
    QScopedPointer<QTemporaryDir> m_dir;
    QScopedPointer<TunnelNetwork> m_network;
    QProcess m_server;
    QProcess m_echo;
    QProcess m_service;
    QString m_serviceDir;
    QByteArray m_caCertificate;
    QScopedPointer<ServiceClient> m_client;
    bool m_failed = false;
};

void tst_Tunnel::initTestCase()
{
    const QString missing = missingTunnelPrerequisite("The tunnel test", &m_tools);
    if (!missing.isEmpty())
        QSKIP(qPrintable(missing));

    const QString build = qEnvironmentVariable("VARVEX_BUILD_DIR");
    const QString source = qEnvironmentVariable("VARVEX_SOURCE_DIR");
    QVERIFY2(QFileInfo(build + "/bin/varvexservice").isExecutable(), "varvexservice is not built");
    QVERIFY2(QFileInfo(build + "/bin/bin/openvpn").isExecutable(), "the OpenVPN launcher is not built");

    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    QDir root(m_dir->path());
    QVERIFY(root.mkpath("server") && root.mkpath("service/bin") && root.mkpath("tmp"));

    m_network.reset(new TunnelNetwork(source + "/tests/integration/tunnel-fixture.sh"));
    const RunResult up = m_network->up(root.filePath("server"));
    QVERIFY2(up.exitCode == 0, up.errors.constData());

    // The service runs from a folder of its own with the launcher and CA beside it.
    m_serviceDir = root.filePath("service");
    QVERIFY(installService(build, m_serviceDir));
    QVERIFY(QFile::copy(root.filePath("server/ca.crt"), m_serviceDir + "/bin/ca.crt"));
    m_caCertificate = readFile(m_serviceDir + "/bin/ca.crt");
    QVERIFY(!m_caCertificate.isEmpty());

    // Everything long-running dies with this test, however it ends.
    const QStringList bound = { "--pdeathsig", "TERM" };
    m_server.setProcessChannelMode(QProcess::MergedChannels);
    m_server.start(m_tools.ip, QStringList { "netns", "exec", m_network->serverNamespace(), m_tools.setpriv }
                   + bound + QStringList { m_tools.openvpn, "--config", root.filePath("server/server.conf") });
    QVERIFY(m_server.waitForStarted());
    QByteArray serverOutput;
    QVERIFY2(QTest::qWaitFor([&] {
                 serverOutput += m_server.readAll();
                 return serverOutput.contains("Initialization Sequence Completed")
                     || m_server.state() == QProcess::NotRunning;
             }, 10000) && m_server.state() == QProcess::Running,
             serverOutput.constData());

    m_echo.start(m_tools.ip, QStringList { "netns", "exec", m_network->serverNamespace(), m_tools.setpriv }
                 + bound + QStringList { m_tools.python, "-c", EchoServerScript });
    QVERIFY(m_echo.waitForStarted());
}

void tst_Tunnel::cleanup()
{
    if (QTest::currentTestFailed())
        m_failed = true;
}

void tst_Tunnel::cleanupTestCase()
{
    if (m_failed)
        dumpLogs();
    m_client.reset();
    stop(m_service);
    stop(m_echo);
    stop(m_server);
    if (m_network)
        m_network->down();
}

void tst_Tunnel::dumpLogs()
{
    auto tail = [](const QByteArray& text) { return text.right(6000); };
    const QString log = m_serviceDir + "/varvexservice.log";
    if (QFile::exists(log))
        qWarning("varvexservice.log (end):\n%s", tail(readFile(log)).constData());
    qWarning("server output (end):\n%s", tail(m_server.readAll()).constData());
}

bool tst_Tunnel::tunnelDeviceExists()
{
    return inClient(m_tools.ip, { "link", "show", "dev", "tun0" }).exitCode == 0;
}

RunResult tst_Tunnel::inClient(const QString& program, const QStringList& arguments)
{
    return run(m_tools.ip, QStringList { "netns", "exec", m_network->clientNamespace(), program } + arguments);
}

void tst_Tunnel::launcherBringsUpTheTunnel()
{
    // OpenVPN through the launcher alone, as the service will start it.
    QProcess launcher;
    launcher.setWorkingDirectory(m_serviceDir + "/bin");
    launcher.start(m_tools.ip, QStringList { "netns", "exec", m_network->clientNamespace(),
                                       m_serviceDir + "/bin/openvpn" } + ClientArguments);
    QVERIFY(launcher.waitForStarted());
    launcher.write(QByteArray(UserName) + "\r\n" + Password + "\r\n");

    QByteArray output;
    const bool up = QTest::qWaitFor([&] {
        output += launcher.readAllStandardOutput();
        return output.contains("Initialization Sequence Completed\r\n")
            || launcher.state() == QProcess::NotRunning;
    }, 15000);
    const bool deviceSeen = up && tunnelDeviceExists();
    stop(launcher);
    output += launcher.readAllStandardOutput();
    QVERIFY2(up && output.contains("Initialization Sequence Completed\r\n"), output.constData());
    QVERIFY(output.contains("] Peer Connection Initiated with "));
    QVERIFY(!output.contains(Password));
    QVERIFY(deviceSeen);
    QCOMPARE(launcher.exitStatus(), QProcess::NormalExit);
    QTRY_VERIFY_WITH_TIMEOUT(!tunnelDeviceExists(), 3000);
}

bool tst_Tunnel::startService()
{
    // Everything is logged, so that a failure can be read and so that the
    // log can be checked for passwords.
    if (!writeServiceSettings(m_dir->filePath("service.conf"), "[General]\nLogLevel=4\n"))
        return false;
    // Nothing listens there: the certificate check fails and leaves ca.crt alone.
    m_service.setProcessEnvironment(serviceEnvironment(m_dir->path(), "127.0.0.1:9"));
    m_service.setWorkingDirectory(m_serviceDir);
    m_service.setProcessChannelMode(QProcess::MergedChannels);
    m_service.start(m_tools.ip, { "netns", "exec", m_network->clientNamespace(), m_tools.setpriv, "--pdeathsig",
                                  "TERM", m_serviceDir + "/varvexservice", "-e" });
    if (!m_service.waitForStarted())
        return false;

    // The socket file lives in VARVEX_SOCKET_DIR, reachable from outside the namespace.
    m_client.reset(new ServiceClient);
    return m_client->connectTo(m_service, m_dir->filePath("tmp/Varvex"));
}

void tst_Tunnel::sendConnect(const QString& password)
{
    m_client->send(connectRequest(ServerLinkAddress, UserName, password));
}

void tst_Tunnel::serviceConnects()
{
    QVERIFY2(startService(), m_service.readAll().constData());
    QCOMPARE(hex(m_client->nextEvent(5000)), hex(statusFrame(3)));

    const uint before = uint(QDateTime::currentSecsSinceEpoch());
    sendConnect(Password);
    QCOMPARE(hex(m_client->nextEvent(5000)), hex(statusFrame(0)));

    const QByteArray connected = m_client->nextEvent(20000);
    const uint after = uint(QDateTime::currentSecsSinceEpoch());
    QVERIFY2(isConnectedStatus(connected), hex(connected).constData());
    QByteArray payload = connectedDetails(connected);
    QCOMPARE(VarvexFrame::takeField(payload), QByteArray(ServerLinkAddress));
    QCOMPARE(payload.size(), 4);
    const uint connectTime = VarvexFrame::readUInt32(payload, 0);
    QVERIFY2(connectTime >= before && connectTime <= after, qPrintable(QString::number(connectTime)));
    QVERIFY(tunnelDeviceExists());

    QVERIFY2(readFile(m_serviceDir + "/bin/ca.crt") == m_caCertificate,
             "the failed certificate check must leave ca.crt alone");
}

void tst_Tunnel::bandwidthCountsTunnelTraffic()
{
    if (m_service.state() != QProcess::Running || !tunnelDeviceExists())
        QSKIP("needs the connected service of the previous test");

    // Totals of the tunnel adapter, sampled once a second.
    quint32 download0 = 0, upload0 = 0;
    QVERIFY(m_client->waitForTunnelSample(&download0, &upload0));

    const int datagrams = 40, size = 1000;
    const RunResult answered = inClient(m_tools.python, { "-c", EchoClient, ServerTunnelAddress,
                                                          QString::number(datagrams), QString::number(size) });
    QCOMPARE(answered.exitCode, 0);
    QVERIFY2(answered.output.trimmed().toInt() >= datagrams / 2, answered.output.constData());
    const quint32 minimumUp = datagrams * size;
    const quint32 minimumDown = quint32(answered.output.trimmed().toInt()) * size;

    QString totals;
    QVERIFY2(m_client->waitForTunnelTraffic(download0, upload0, minimumDown, minimumUp, &totals),
             qPrintable(totals));
}

void tst_Tunnel::abortTakesTheTunnelDown()
{
    if (m_service.state() != QProcess::Running || !tunnelDeviceExists())
        QSKIP("needs the connected service of the previous tests");
    m_client->takeEvents();
    m_client->send(VarvexFrame::build(VARVEX_CMD_ABORT_REQUEST));
    QCOMPARE(hex(m_client->nextEvent(5000)), hex(statusFrame(2)));
    QCOMPARE(hex(m_client->nextEvent(5000)), hex(statusFrame(3)));
    QTRY_VERIFY_WITH_TIMEOUT(!tunnelDeviceExists(), 3000);
    // Only the service itself is left in its namespace: no OpenVPN, no launcher.
    QTRY_COMPARE_WITH_TIMEOUT(run(m_tools.ip, { "netns", "pids", m_network->clientNamespace() }).output.trimmed(),
                              QByteArray::number(m_service.processId()), 3000);
}

void tst_Tunnel::wrongPasswordFailsWithoutReconnecting()
{
    if (m_service.state() != QProcess::Running)
        QSKIP("needs the service of the previous tests");
    m_client->takeEvents();
    sendConnect("not-the-password");
    QCOMPARE(hex(m_client->nextEvent(5000)), hex(statusFrame(0)));
    QCOMPARE(hex(m_client->nextEvent(15000)), hex(VarvexFrame::build(VARVEX_CMD_LOGIN_FAILED)));
    QCOMPARE(hex(m_client->nextEvent(5000)), hex(statusFrame(3)));
    // No reconnect: neither a waiting status nor a new attempt follows.
    QTest::qWait(4000);
    const QList<QByteArray> later = m_client->takeEvents();
    QVERIFY2(later.isEmpty(), hex(later.value(0)).constData());
    QVERIFY(!tunnelDeviceExists());
    QCOMPARE(m_client->malformed(), 0);
}

void tst_Tunnel::passwordsNeverReachTheLog()
{
    if (!QFile::exists(m_serviceDir + "/varvexservice.log"))
        QSKIP("needs the log of the previous tests");
    const QByteArray text = readFile(m_serviceDir + "/varvexservice.log");
    QVERIFY2(text.contains("Set Connection time"), "the log should hold everything");
    QVERIFY(!text.contains(Password));
    QVERIFY(!text.contains("not-the-password"));
}

void tst_Tunnel::tunnelEndsWithTheService()
{
    if (m_service.state() != QProcess::Running)
        QSKIP("needs the service of the previous tests");
    m_client->takeEvents();
    sendConnect(Password);
    QCOMPARE(hex(m_client->nextEvent(5000)), hex(statusFrame(0)));
    const QByteArray connected = m_client->nextEvent(20000);
    QVERIFY2(isConnectedStatus(connected), hex(connected).constData());
    QVERIFY(tunnelDeviceExists());

    // However the service ends, no tunnel stays up without it.
    m_service.kill();
    QVERIFY(m_service.waitForFinished(3000));
    QTRY_VERIFY_WITH_TIMEOUT(!tunnelDeviceExists(), 3000);
    QTRY_COMPARE_WITH_TIMEOUT(run(m_tools.ip, { "netns", "pids", m_network->clientNamespace() }).output.trimmed(),
                              QByteArray(), 3000);
}

QTEST_GUILESS_MAIN(tst_Tunnel)
#include "tst_tunnel.moc"
