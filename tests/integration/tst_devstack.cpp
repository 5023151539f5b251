// What scripts/run.sh gives a user, without the window: the local OpenVPN
// server of scripts/dev-vpn-server.sh, the development web API serving its
// CA and the development account, and the service provisioned from them,
// taken from log-in data to a tunnel carrying traffic and back to nothing.
// Needs root, /dev/net/tun and OpenVPN; skips without them.

#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QNetworkDatagram>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <unistd.h>

#include "processes.h"
#include "qvpncredentialscrypt.h"
#include "tunneltestsupport.h"
#include "varvexprotocol.h"

using namespace TunnelTestSupport;

namespace {

// Apart from the user's own run (10.213.9.x) and the tunnel test (10.213.1.x).
const char LinkNetwork[] = "10.213.19";
const char ServerAddress[] = "10.213.19.1";
const char TunnelSubnet[] = "10.8.219.0";
const char ServerTunnelAddress[] = "10.8.219.1";
const char NamespacePrefix[] = "vvxds";

// The development server of one run: its own namespace, veth and state
// folder, so that neither a user's run nor another test is touched.
class DevServer
{
public:
    DevServer(const QString& script, const QString& stateDir, qint64 owner)
        : m_script(script)
        , m_env(environment(stateDir, owner))
        , m_namespace(m_env.value("VARVEX_DEVSTACK_NS"))
    {
    }
    ~DevServer() { down(); }

    static QProcessEnvironment environment(const QString& stateDir, qint64 owner)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("VARVEX_DEVSTACK_DIR", stateDir);
        env.insert("VARVEX_DEVSTACK_NS", NamespacePrefix + QString::number(owner));
        env.insert("VARVEX_DEVSTACK_VETH", "vvxd" + QString::number(owner));
        env.insert("VARVEX_DEVSTACK_LINK", LinkNetwork);
        env.insert("VARVEX_DEVSTACK_TUNNEL", TunnelSubnet);
        return env;
    }

    // Namespaces of earlier runs that were killed before they could clean up.
    static void sweep(const QString& script, const QString& ip)
    {
        const QRegularExpression name(QStringLiteral("^%1(\\d+)\\b").arg(NamespacePrefix),
                                      QRegularExpression::MultilineOption);
        auto matches = name.globalMatch(QString::fromUtf8(run(ip, { "netns", "list" }).output));
        while (matches.hasNext()) {
            const qint64 owner = matches.next().captured(1).toLongLong();
            if (processGone(owner)) {
                QTemporaryDir scratch;
                run(script, { "down" }, QProcess::MergedChannels, environment(scratch.path(), owner));
            }
        }
    }

    RunResult up()
    {
        m_up = true;
        return run(m_script, { "up" }, QProcess::MergedChannels, m_env);
    }
    RunResult down()
    {
        m_up = false;
        return run(m_script, { "down" }, QProcess::MergedChannels, m_env);
    }
    RunResult status() const { return run(m_script, { "status" }, QProcess::MergedChannels, m_env); }
    bool isUp() const { return m_up; }
    QString netns() const { return m_namespace; }
    QString rootVeth() const { return m_env.value("VARVEX_DEVSTACK_VETH") + "-r"; }

private:
    QString m_script;
    QProcessEnvironment m_env;
    QString m_namespace;
    bool m_up = false;
};

} // namespace

class TestDevStack : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void cleanupTestCase();

    void credentialsComeFromTheWebApi();
    void certificateComesFromTheWebApi();
    void connectsToTheLocalServer();
    void serverKeepsAnIdleTunnelAlive();
    void bandwidthGrowsWithTraffic();
    void abortTakesTheTunnelDown();
    void downLeavesNothingBehind();

private:
    bool startWebApi();
    bool startService();
    bool tunnelAddressPresent();
    bool serverProcessesGone();
    void dumpLogs();

    TunnelTools m_tools;
    QString m_script;
    QString m_source;
    QScopedPointer<QTemporaryDir> m_dir;
    QScopedPointer<DevServer> m_server;
    QProcess m_webApi;
    QProcess m_echo;
    QProcess m_service;
    QString m_apiHost;
    QString m_serviceDir;
    QScopedPointer<ServiceClient> m_client;
    QString m_username;
    QString m_password;
    bool m_failed = false;
};

void TestDevStack::initTestCase()
{
    const QString missing = missingTunnelPrerequisite("The development set-up test", &m_tools);
    if (!missing.isEmpty())
        QSKIP(qPrintable(missing));

    const QString build = qEnvironmentVariable("VARVEX_BUILD_DIR");
    m_source = qEnvironmentVariable("VARVEX_SOURCE_DIR");
    m_script = m_source + "/scripts/dev-vpn-server.sh";
    QVERIFY2(QFileInfo(build + "/bin/varvexservice").isExecutable(), "varvexservice is not built");
    QVERIFY2(QFileInfo(build + "/bin/bin/openvpn").isExecutable(), "the OpenVPN launcher is not built");

    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    QDir root(m_dir->path());
    QVERIFY(root.mkpath("service/bin") && root.mkpath("tmp"));

    DevServer::sweep(m_script, m_tools.ip);
    m_server.reset(new DevServer(m_script, root.filePath("devstack"), getpid()));
    const RunResult up = m_server->up();
    QVERIFY2(up.exitCode == 0, up.output.constData());
    QCOMPARE(m_server->status().exitCode, 0);

    // A private copy of the service, without a CA: it has to fetch one.
    m_serviceDir = root.filePath("service");
    QVERIFY(installService(build, m_serviceDir));

    QVERIFY2(startWebApi(), m_webApi.readAll().constData());
    QVERIFY2(startService(), m_service.readAll().constData());
    QCOMPARE(hex(m_client->nextEvent(5000)), hex(statusFrame(QVarvexCommandDisconnected)));
}

bool TestDevStack::startWebApi()
{
    // setpriv ties every helper's life to this test's, however it ends.
    m_webApi.setProcessChannelMode(QProcess::MergedChannels);
    m_webApi.start(m_tools.setpriv, { "--pdeathsig", "TERM", m_tools.python, m_source + "/tools/devwebapi/devwebapi.py",
                                "--port", "0", "--data", m_dir->filePath("devstack/webapi"),
                                "--tls-dir", m_dir->filePath("devstack/webapi-tls") });
    QByteArray output;
    const bool answered = QTest::qWaitFor([&] {
        output += m_webApi.readAll();
        return output.contains('\n') || m_webApi.state() == QProcess::NotRunning;
    }, 10000);
    const QRegularExpressionMatch match =
        QRegularExpression("devwebapi listening on (\\S+)").match(QString::fromUtf8(output));
    m_apiHost = match.captured(1);
    return answered && match.hasMatch();
}

bool TestDevStack::startService()
{
    if (!writeServiceSettings(m_dir->filePath("service.conf"),
                              "[General]\nInstallerName=C:\\\\Downloads\\\\varvex-setup-devtoken.exe\nLogLevel=4\n"
                              // The service runs in this machine's own network namespace.
                              "KillSwitch=false\n"))
        return false;

    QProcessEnvironment env = serviceEnvironment(m_dir->path(), m_apiHost);
    env.insert("VARVEX_API_CA_FILE", m_dir->filePath("devstack/webapi-tls/web-ca.crt"));
    m_service.setProcessEnvironment(env);
    m_service.setWorkingDirectory(m_serviceDir);
    m_service.setProcessChannelMode(QProcess::MergedChannels);
    m_service.start(m_tools.setpriv, { "--pdeathsig", "TERM", m_serviceDir + "/varvexservice", "-e" });
    if (!m_service.waitForStarted())
        return false;

    m_client.reset(new ServiceClient);
    return m_client->connectTo(m_service, m_dir->filePath("tmp/Varvex"));
}

void TestDevStack::cleanup()
{
    if (QTest::currentTestFailed())
        m_failed = true;
}

void TestDevStack::cleanupTestCase()
{
    if (m_failed)
        dumpLogs();
    m_client.reset();
    stop(m_service);
    stop(m_echo);
    stop(m_webApi);
    if (m_server && m_server->isUp())
        m_server->down();
}

void TestDevStack::dumpLogs()
{
    if (!m_dir)
        return;
    auto tail = [](const QByteArray& text) { return text.right(5000); };
    qWarning("varvexservice.log (end):\n%s", tail(readFile(m_serviceDir + "/varvexservice.log")).constData());
    qWarning("server log (end):\n%s", tail(readFile(m_dir->filePath("devstack/server.log"))).constData());
    qWarning("web API output:\n%s", tail(m_webApi.readAll()).constData());
}

bool TestDevStack::tunnelAddressPresent()
{
    // Our tunnel device, whatever its number: the one with an address in the test's tunnel network.
    const QByteArray prefix = QByteArray(TunnelSubnet).left(QByteArray(TunnelSubnet).lastIndexOf('.') + 1);
    return run(m_tools.ip, { "-4", "-o", "addr", "show" }).output.contains(" " + prefix);
}

void TestDevStack::credentialsComeFromTheWebApi()
{
    // The service fetches them at start; ask until they have arrived.
    QByteArray stored;
    QVERIFY(QTest::qWaitFor([&] {
        m_client->clearEvents();
        m_client->send(VarvexFrame::build(VARVEX_CMD_CREDENTIALS_REQUEST));
        const QByteArray reply = m_client->nextEvent(1000);
        if (reply.size() < 5 || VarvexFrame::code(reply) != VARVEX_CMD_CREDENTIALS_REPLY)
            return false;
        QByteArray payload = VarvexFrame::payload(reply);
        stored = VarvexFrame::takeField(payload);
        return !stored.isEmpty();
    }, 10000));
    QVERIFY(QVPNCredentialsCrypt::decodeUserPass(QString::fromUtf8(stored), m_username, m_password));
    QCOMPARE(m_username, QStringLiteral("devuser"));
    QCOMPARE(m_password, QStringLiteral("devpassword"));
}

void TestDevStack::certificateComesFromTheWebApi()
{
    const QByteArray generated = readFile(m_dir->filePath("devstack/pki/ca.crt"));
    QVERIFY(generated.startsWith("-----BEGIN CERTIFICATE-----"));
    QCOMPARE(readFile(m_dir->filePath("devstack/webapi/ca.crt")), generated);
    QTRY_COMPARE_WITH_TIMEOUT(readFile(m_serviceDir + "/bin/ca.crt"), generated, 10000);
}

void TestDevStack::connectsToTheLocalServer()
{
    if (m_username.isEmpty() || !QFile::exists(m_serviceDir + "/bin/ca.crt"))
        QSKIP("needs the credentials and certificate of the previous tests");
    // The host the web API lists for the local server, as the client sends it.
    const QByteArray servers = readFile(m_dir->filePath("devstack/webapi/servers.json"));
    QVERIFY2(servers.contains(QByteArray("\"host\": \"") + ServerAddress + "\""), servers.constData());

    m_client->clearEvents();
    m_client->send(connectRequest(ServerAddress, m_username, m_password));
    QCOMPARE(hex(m_client->nextEvent(5000)), hex(statusFrame(QVarvexCommandConnecting)));

    const QByteArray connected = m_client->nextEvent(20000);
    QVERIFY2(isConnectedStatus(connected), hex(connected).constData());
    QByteArray payload = connectedDetails(connected);
    QCOMPARE(VarvexFrame::takeField(payload), QByteArray(ServerAddress));
    QVERIFY(tunnelAddressPresent());
}

void TestDevStack::serverKeepsAnIdleTunnelAlive()
{
    if (!tunnelAddressPresent())
        QSKIP("needs the tunnel of the previous test");
    // OpenVPN on the client side gives up after 10 s without a packet from
    // the server, so an idle tunnel needs the server's own pings; waiting
    // those 10 s out is not needed to see whether they come.
    const QString counter = "/sys/class/net/" + m_server->rootVeth() + "/statistics/rx_packets";
    const qint64 before = readFile(counter).trimmed().toLongLong();
    QTRY_VERIFY_WITH_TIMEOUT(readFile(counter).trimmed().toLongLong() - before >= 2, 6000);
    QVERIFY(tunnelAddressPresent());
}

void TestDevStack::bandwidthGrowsWithTraffic()
{
    if (!tunnelAddressPresent())
        QSKIP("needs the tunnel of the previous test");
    m_echo.start(m_tools.ip, { "netns", "exec", m_server->netns(), m_tools.setpriv, "--pdeathsig", "TERM",
                               m_tools.python, "-c", EchoServerScript });
    QVERIFY(m_echo.waitForStarted());

    quint32 download0 = 0, upload0 = 0;
    QVERIFY(m_client->waitForTunnelSample(&download0, &upload0));

    const int datagrams = 40, size = 1000;
    QUdpSocket udp;
    int answered = 0;
    // The echo server may need a moment to bind; early datagrams just go unanswered.
    for (int i = 0; i < datagrams; ++i) {
        udp.writeDatagram(QByteArray(size, 'x'), QHostAddress(ServerTunnelAddress), 7);
        if (udp.waitForReadyRead(500)) {
            while (udp.hasPendingDatagrams()) {
                udp.receiveDatagram();
                ++answered;
            }
        }
    }
    QVERIFY2(answered >= datagrams / 2, qPrintable(QString::number(answered)));

    QString totals;
    QVERIFY2(m_client->waitForTunnelTraffic(download0, upload0, quint32(answered * size),
                                            quint32(datagrams * size), &totals),
             qPrintable(totals));
    stop(m_echo);
}

void TestDevStack::abortTakesTheTunnelDown()
{
    if (!tunnelAddressPresent())
        QSKIP("needs the tunnel of the previous tests");
    m_client->clearEvents();
    m_client->send(VarvexFrame::build(VARVEX_CMD_ABORT_REQUEST));
    QCOMPARE(hex(m_client->nextEvent(5000)), hex(statusFrame(QVarvexCommandDisconnecting)));
    QCOMPARE(hex(m_client->nextEvent(5000)), hex(statusFrame(QVarvexCommandDisconnected)));
    QTRY_VERIFY_WITH_TIMEOUT(!tunnelAddressPresent(), 3000);
}

bool TestDevStack::serverProcessesGone()
{
    // The server or its login check, found by the files they run from.
    const QByteArray config = m_dir->filePath("devstack/server.conf").toUtf8();
    const QByteArray check = m_dir->filePath("devstack/verify-login.sh").toUtf8();
    const QStringList pids = QDir("/proc").entryList({ "[0-9]*" }, QDir::Dirs);
    for (const QString& pid : pids) {
        const QByteArray commandLine = readFile("/proc/" + pid + "/cmdline");
        if (commandLine.contains(config) || commandLine.contains(check))
            return false;
    }
    return true;
}

void TestDevStack::downLeavesNothingBehind()
{
    m_client.reset();
    stop(m_service);
    const RunResult down = m_server->down();
    QVERIFY2(down.exitCode == 0, down.output.constData());

    const QByteArray namespaces = run(m_tools.ip, { "netns", "list" }).output;
    QVERIFY2(!namespaces.contains(m_server->netns().toUtf8()), namespaces.constData());
    QVERIFY(run(m_tools.ip, { "link", "show", "dev", m_server->rootVeth() }).exitCode != 0);
    QVERIFY(!run(m_tools.ip, { "-4", "-o", "addr", "show" }).output.contains(QByteArray(" ") + LinkNetwork + "."));
    QVERIFY(serverProcessesGone());
    QCOMPARE(m_server->status().exitCode, 3);

    // A second "down" finds nothing to do and still succeeds; "up" again works.
    QCOMPARE(m_server->down().exitCode, 0);
    const RunResult again = m_server->up();
    QVERIFY2(again.exitCode == 0, again.output.constData());
    QCOMPARE(m_server->down().exitCode, 0);
    QVERIFY(serverProcessesGone());
}

QTEST_GUILESS_MAIN(TestDevStack)
#include "tst_devstack.moc"
