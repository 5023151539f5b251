// The service with the real OpenVPN launcher against a real OpenVPN server,
// in network namespaces built for the run. Needs root, /dev/net/tun,
// OpenVPN, dnsmasq and nft; skips without them. The server pushes its DNS
// server (dnsmasq, inside the tunnel, knowing a name nobody else knows) and
// redirect-gateway def1; the client namespace has a resolver file of its
// own, which the service's launcher changes while the tunnel is up.

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <unistd.h>

#include "tunneltestsupport.h"
#include "varvexprotocol.h"

using namespace TunnelTestSupport;

namespace {

const char ServerLinkAddress[] = "10.213.1.1";
const char ServerTunnelAddress[] = "10.213.8.1";
const char UserName[] = "tunnel-user";
// Known only to the DNS server inside the tunnel.
const char TunnelOnlyName[] = "vpn-only.tunnel.test";
const char TunnelOnlyAddress[] = "10.213.8.77";
// Outside both namespaces: only routes are asked about them, or packets
// are refused before they leave.
const char OutsideAddress[] = "198.51.100.1";
const char OutsideAddress6[] = "2001:db8::1";
const char Ipv6BlockTable[] = "varvex_ipv6_block";
const char KillSwitchTable[] = "varvex_lockdown";
// The server's name in the client namespace's own hosts file.
const char ServerHostName[] = "vpn.tunnel.test";
const int ProbeDatagrams = 5;
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

// Sends one IPv6 datagram to each address given and prints, for each,
// "sent" or "refused" (the packet filter's answer) or the error number.
const char Ipv6Sender[] = R"PY(
import socket, sys
results = []
for address in sys.argv[1:]:
    s = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
    try:
        s.sendto(b"x", (address, 9))
        results.append("sent")
    except OSError as e:
        results.append("refused" if e.errno == 1 else "error%d" % e.errno)
print(" ".join(results))
)PY";

// What an unprivileged program in the client namespace may send: datagrams
// to an outside address, one to an outside IPv6 address, a DNS query to a
// resolver on the local network, a name look-up through the resolver file,
// and one echo from the local network. Prints whether the echo came back.
const char LeakProbe[] = R"PY(
import socket, sys
count, local = int(sys.argv[1]), sys.argv[2]
def send(family, address, data):
    s = socket.socket(family, socket.SOCK_DGRAM)
    try:
        s.sendto(data, address)
    except OSError:
        pass
for i in range(count):
    send(socket.AF_INET, ("198.51.100.1", 9), b"leak")
send(socket.AF_INET6, ("2001:db8::1", 9), b"leak")
query = b"\x12\x34\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00\x05probe\x04test\x00\x00\x01\x00\x01"
send(socket.AF_INET, (local, 53), query)
try:
    socket.getaddrinfo("leak-probe.test", 80, socket.AF_INET)
except OSError:
    pass
echo = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
echo.settimeout(1)
try:
    echo.sendto(b"local", (local, 7))
    echo.recv(100)
    print("echo")
except OSError:
    print("no echo")
)PY";

// Packets that arrived from the client's side of the uplink outside the
// tunnel, counted in the server's namespace.
struct Leaks
{
    qint64 outside = 0; // datagrams to the outside IPv4 address
    qint64 ipv6 = 0;
    qint64 dns = 0;     // DNS, to any address
    bool echoed = false;
    QString text() const
    {
        return QStringLiteral("outside %1, IPv6 %2, DNS %3, local echo %4")
            .arg(outside).arg(ipv6).arg(dns).arg(echoed ? "answered" : "not answered");
    }
};

} // namespace

class TestTunnel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void cleanupTestCase();

    void launcherBringsUpTheTunnel();
    void launcherGivesSystemdResolvedWhatTheServerPushed();
    void serviceConnects();
    void bandwidthCountsTunnelTraffic();
    void abortTakesTheTunnelDown();
    void wrongPasswordFailsWithoutReconnecting();
    void passwordsNeverReachTheLog();
    void connectedTunnelCarriesDnsRoutesAndBlocksIpv6();
    void killedLauncherLeavesNothingChangedAndTheReconnectAppliesItAgain();
    void serviceUndoesWhatAKilledOpenVpnAndLauncherLeft();
    void tunnelEndsWithTheService();
    void changesOfAKilledServiceAreUndoneAtItsNextStart();
    void serverGoneLeavesNothingChanged();
    void killSwitchHoldsFromConnectUntilDisconnect();
    void abortWhileConnectingLiftsTheKillSwitch();

private:
    bool startServer();
    bool countLeaksOnTheUplink();
    Leaks probe();
    bool killSwitchStands();
    QByteArray nextStatusSkipping(quint8 skipped, int timeout);
    bool tunnelDeviceExists();
    RunResult inClient(const QString& program, const QStringList& arguments);
    QProcessEnvironment launcherEnvironment() const;
    bool startService(const QByteArray& killSwitch = "KillSwitch=false\n");
    void sendConnect(const QString& password);
    bool connectService();
    void dumpLogs();
    QString whatIsNotAsConnected();
    QString whatIsNotRestored();
    QList<qint64> clientProcesses(const QString& program);
    QByteArray serviceLogSince(qint64 offset);

    QString m_dnsmasq;
    QProcess m_dns;
    QByteArray m_originalResolvConf;

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

void TestTunnel::initTestCase()
{
    const QString missing = missingTunnelPrerequisite("The tunnel test", &m_tools);
    if (!missing.isEmpty())
        QSKIP(qPrintable(missing));
    m_dnsmasq = findProgram("dnsmasq");
    if (m_dnsmasq.isEmpty() || findProgram("nft").isEmpty())
        QSKIP("The tunnel test needs dnsmasq and nft (scripts/install-deps.sh installs them).");

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
    // Without its own resolver file the client would share this machine's.
    m_originalResolvConf = readFile(m_network->clientResolvConf());
    QVERIFY(!m_originalResolvConf.isEmpty());
    QVERIFY(root.mkpath("run"));

    // The service runs from a folder of its own with the launcher and CA beside it.
    m_serviceDir = root.filePath("service");
    QVERIFY(installService(build, m_serviceDir));
    QVERIFY(QFile::copy(root.filePath("server/ca.crt"), m_serviceDir + "/bin/ca.crt"));
    m_caCertificate = readFile(m_serviceDir + "/bin/ca.crt");
    QVERIFY(!m_caCertificate.isEmpty());

    // Everything long-running dies with this test, however it ends.
    const QStringList bound = { "--pdeathsig", "TERM" };
    QVERIFY2(startServer(), m_server.readAll().constData());
    QVERIFY(countLeaksOnTheUplink());

    m_echo.start(m_tools.ip, QStringList { "netns", "exec", m_network->serverNamespace(), m_tools.setpriv }
                 + bound + QStringList { m_tools.python, "-c", EchoServerScript });
    QVERIFY(m_echo.waitForStarted());

    // Answers on the server's tunnel address only: reachable through the tunnel alone.
    m_dns.setProcessChannelMode(QProcess::MergedChannels);
    m_dns.start(m_tools.ip, QStringList { "netns", "exec", m_network->serverNamespace(), m_tools.setpriv }
                + bound + QStringList { m_dnsmasq, "--keep-in-foreground", "--conf-file=/dev/null", "--no-resolv",
                                        "--no-hosts", "--bind-interfaces", "--pid-file=", "--user=root",
                                        QStringLiteral("--listen-address=%1").arg(ServerTunnelAddress),
                                        QStringLiteral("--host-record=%1,%2").arg(TunnelOnlyName, TunnelOnlyAddress),
                                        "--log-facility=-" });
    QVERIFY(m_dns.waitForStarted());
    QVERIFY2(!QTest::qWaitFor([this] { return m_dns.state() == QProcess::NotRunning; }, 500),
             m_dns.readAll().constData());
}

bool TestTunnel::startServer()
{
    m_server.setProcessChannelMode(QProcess::MergedChannels);
    m_server.start(m_tools.ip, QStringList { "netns", "exec", m_network->serverNamespace(), m_tools.setpriv,
                                             "--pdeathsig", "TERM", m_tools.openvpn, "--config",
                                             m_dir->filePath("server/server.conf") });
    if (!m_server.waitForStarted())
        return false;
    QByteArray serverOutput;
    const bool started = QTest::qWaitFor([&] {
        serverOutput += m_server.peek(1 << 20);
        return serverOutput.contains("Initialization Sequence Completed") || m_server.state() == QProcess::NotRunning;
    }, 10000);
    return started && m_server.state() == QProcess::Running;
}

// Counters in the server's namespace (the far side of the uplink) for what
// must never come from the client beside the tunnel.
bool TestTunnel::countLeaksOnTheUplink()
{
    const QString link = m_network->serverLink();
    const QByteArray rules = QStringLiteral(
        "table inet leakcount {\n"
        "  counter outside {}\n  counter ipv6 {}\n  counter dns {}\n"
        "  chain seen {\n"
        "    type filter hook prerouting priority -300; policy accept;\n"
        "    iifname \"%1\" ip daddr 198.51.100.1 counter name \"outside\"\n"
        "    iifname \"%1\" ip6 daddr 2001:db8::1 counter name \"ipv6\"\n"
        "    iifname \"%1\" meta l4proto { tcp, udp } th dport { 53, 853 } counter name \"dns\"\n"
        "  }\n"
        "}\n").arg(link).toUtf8();
    QProcess nft;
    nft.start(m_tools.ip, { "netns", "exec", m_network->serverNamespace(), "nft", "-f", "-" });
    nft.write(rules);
    nft.closeWriteChannel();
    return nft.waitForFinished(10000) && nft.exitCode() == 0;
}

// Runs the probe as nobody in the client namespace and tells what of it
// reached the far side of the uplink.
Leaks TestTunnel::probe()
{
    auto counter = [this](const char* name) {
        const RunResult listed = run(m_tools.ip, { "netns", "exec", m_network->serverNamespace(), "nft", "list",
                                                   "counter", "inet", "leakcount", name });
        const QRegularExpressionMatch match = QRegularExpression("packets (\\d+)").match(QString::fromUtf8(listed.output));
        return match.hasMatch() ? match.captured(1).toLongLong() : qint64(-1);
    };
    const qint64 outside = counter("outside"), ipv6 = counter("ipv6"), dns = counter("dns");
    const RunResult sent = inClient(m_tools.setpriv, { "--reuid=65534", "--regid=65534", "--clear-groups",
                                                       m_tools.python, "-c", LeakProbe,
                                                       QString::number(ProbeDatagrams), ServerLinkAddress });
    Leaks leaks;
    leaks.echoed = sent.output.trimmed() == "echo";
    leaks.outside = counter("outside") - outside;
    leaks.ipv6 = counter("ipv6") - ipv6;
    leaks.dns = counter("dns") - dns;
    return leaks;
}

bool TestTunnel::killSwitchStands()
{
    return inClient("nft", { "list", "tables", "inet" }).output.contains(QByteArray("table inet ") + KillSwitchTable);
}

// The next status frame that is not the given one (a status 3 that a
// killed OpenVPN reports on its way to 4, or the disconnected status a
// fresh service greets with).
QByteArray TestTunnel::nextStatusSkipping(quint8 skipped, int timeout)
{
    QByteArray frame;
    do {
        frame = m_client->nextEvent(timeout);
    } while (frame == statusFrame(skipped));
    return frame;
}

void TestTunnel::cleanup()
{
    if (QTest::currentTestFailed())
        m_failed = true;
}

void TestTunnel::cleanupTestCase()
{
    if (m_failed)
        dumpLogs();
    m_client.reset();
    stop(m_service);
    stop(m_dns);
    stop(m_echo);
    stop(m_server);
    if (m_network)
        m_network->down();
}

void TestTunnel::dumpLogs()
{
    auto tail = [](const QByteArray& text) { return text.right(6000); };
    const QString log = m_serviceDir + "/varvexservice.log";
    if (QFile::exists(log))
        qWarning("varvexservice.log (end):\n%s", tail(readFile(log)).constData());
    qWarning("server output (end):\n%s", tail(m_server.readAll()).constData());
    qWarning("dnsmasq output (end):\n%s", tail(m_dns.readAll()).constData());
}

bool TestTunnel::tunnelDeviceExists()
{
    return inClient(m_tools.ip, { "link", "show", "dev", "tun0" }).exitCode == 0;
}

RunResult TestTunnel::inClient(const QString& program, const QStringList& arguments)
{
    return run(m_tools.ip, QStringList { "netns", "exec", m_network->clientNamespace(), program } + arguments);
}

// The record of network changes stays in the test's folder, and the
// resolver file is changed itself, whatever this machine runs.
QProcessEnvironment TestTunnel::launcherEnvironment() const
{
    QProcessEnvironment env = serviceEnvironment(m_dir->path(), "127.0.0.1:9");
    env.insert("VARVEX_DNS_METHOD", "resolv.conf");
    env.remove("VARVEX_RESOLV_CONF");
    env.remove("VARVEX_RESOLVECTL");
    env.remove("VARVEX_RESOLVCONF");
    // The firewall is the client namespace's own: the real nft.
    env.remove("VARVEX_NFT");
    return env;
}

// Empty when the tunnel's DNS, routes and IPv6 block are all in place,
// otherwise what is not.
QString TestTunnel::whatIsNotAsConnected()
{
    const QByteArray resolvConf = readFile(m_network->clientResolvConf());
    if (!resolvConf.contains(QByteArray("nameserver ") + ServerTunnelAddress + "\n"))
        return "the resolver file does not name the tunnel's server:\n" + QString::fromUtf8(resolvConf);
    const RunResult lookup = inClient("getent", { "hosts", TunnelOnlyName });
    if (!lookup.output.startsWith(TunnelOnlyAddress))
        return QStringLiteral("%1 does not resolve through the tunnel: %2").arg(TunnelOnlyName,
                                                                               QString::fromUtf8(lookup.output));
    const RunResult route = inClient(m_tools.ip, { "route", "get", OutsideAddress });
    if (!route.output.contains(" dev tun0 "))
        return "an outside address is not routed through the tunnel: " + QString::fromUtf8(route.output);
    const RunResult sent = inClient(m_tools.python, { "-c", Ipv6Sender, OutsideAddress6, "::1",
                                                      "fe80::1%" + m_network->clientLink() });
    if (sent.output.trimmed() != "refused sent sent")
        return "IPv6 outside / loopback / link-local: " + QString::fromUtf8(sent.output + sent.errors);
    return QString();
}

// Empty when nothing of the tunnel is left: the resolver file byte for
// byte, no route through or beside it, no IPv6 block, no record.
QString TestTunnel::whatIsNotRestored()
{
    const QByteArray resolvConf = readFile(m_network->clientResolvConf());
    if (resolvConf != m_originalResolvConf)
        return "the resolver file is not the original:\n" + QString::fromUtf8(resolvConf);
    const RunResult route = inClient(m_tools.ip, { "route", "get", OutsideAddress });
    if (route.output.contains(" dev tun"))
        return "an outside address is still routed through a tunnel: " + QString::fromUtf8(route.output);
    const RunResult hostRoute = inClient(m_tools.ip, { "route", "show", "exact", QString(ServerLinkAddress) + "/32" });
    if (!hostRoute.output.trimmed().isEmpty())
        return "the host route to the server is left: " + QString::fromUtf8(hostRoute.output);
    if (inClient("nft", { "list", "table", "ip6", Ipv6BlockTable }).exitCode == 0)
        return "the IPv6 block is left";
    const RunResult sent = inClient(m_tools.python, { "-c", Ipv6Sender, OutsideAddress6 });
    if (sent.output.trimmed() != "sent")
        return "IPv6 to an outside address: " + QString::fromUtf8(sent.output + sent.errors);
    if (QFile::exists(m_dir->filePath("run/network-changes")))
        return "the record of changes is left: " + QString::fromUtf8(readFile(m_dir->filePath("run/network-changes")));
    return QString();
}

// The processes in the client namespace whose program is the one given.
QList<qint64> TestTunnel::clientProcesses(const QString& program)
{
    QList<qint64> pids;
    const RunResult listed = run(m_tools.ip, { "netns", "pids", m_network->clientNamespace() });
    for (const QByteArray& pid : listed.output.split('\n')) {
        const QByteArray commandLine = readFile("/proc/" + QString::fromLatin1(pid.trimmed()) + "/cmdline");
        if (!pid.trimmed().isEmpty() && commandLine.split('\0').value(0) == program.toUtf8())
            pids.append(pid.trimmed().toLongLong());
    }
    return pids;
}

QByteArray TestTunnel::serviceLogSince(qint64 offset)
{
    return readFile(m_serviceDir + "/varvexservice.log").mid(int(offset));
}

void TestTunnel::launcherBringsUpTheTunnel()
{
    // OpenVPN through the launcher alone, as the service will start it.
    QVERIFY2(whatIsNotRestored().isEmpty(), qPrintable(whatIsNotRestored()));
    QProcess launcher;
    launcher.setProcessEnvironment(launcherEnvironment());
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
    const QString notConnected = whatIsNotAsConnected();
    stop(launcher);
    output += launcher.readAllStandardOutput();
    QVERIFY2(up && output.contains("Initialization Sequence Completed\r\n"), output.constData());
    QVERIFY(output.contains("] Peer Connection Initiated with "));
    QVERIFY(!output.contains(Password));
    QVERIFY(deviceSeen);
    QVERIFY2(notConnected.isEmpty(), qPrintable(notConnected));
    QVERIFY2(output.contains(QByteArray("DNS: resolv.conf, tun0, ") + ServerTunnelAddress + "\r\n"), output.constData());
    QVERIFY2(output.contains("DNS restored: resolv.conf, tun0\r\n"), output.constData());
    QCOMPARE(launcher.exitStatus(), QProcess::NormalExit);
    QTRY_VERIFY_WITH_TIMEOUT(!tunnelDeviceExists(), 3000);
    QTRY_VERIFY2_WITH_TIMEOUT(whatIsNotRestored().isEmpty(), qPrintable(whatIsNotRestored()), 3000);
}

void TestTunnel::launcherGivesSystemdResolvedWhatTheServerPushed()
{
    // A stand-in for resolvectl that records its calls.
    const QString recorder = m_dir->filePath("resolvectl");
    const QString calls = m_dir->filePath("resolvectl-calls");
    QFile script(recorder);
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\necho \"$*\" >> '" + calls.toUtf8() + "'\n");
    script.close();
    QVERIFY(script.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));

    QProcessEnvironment env = launcherEnvironment();
    env.remove("VARVEX_DNS_METHOD");
    env.insert("VARVEX_RESOLVECTL", recorder);
    QProcess launcher;
    launcher.setProcessEnvironment(env);
    launcher.setWorkingDirectory(m_serviceDir + "/bin");
    launcher.start(m_tools.ip, QStringList { "netns", "exec", m_network->clientNamespace(),
                                             m_serviceDir + "/bin/openvpn" } + ClientArguments);
    QVERIFY(launcher.waitForStarted());
    launcher.write(QByteArray(UserName) + "\r\n" + Password + "\r\n");
    QByteArray output;
    const bool up = QTest::qWaitFor([&] {
        output += launcher.readAllStandardOutput();
        return output.contains("Initialization Sequence Completed\r\n") || launcher.state() == QProcess::NotRunning;
    }, 15000);
    const QByteArray callsWhileUp = readFile(calls);
    const QByteArray resolvConfWhileUp = readFile(m_network->clientResolvConf());
    stop(launcher);
    output += launcher.readAllStandardOutput();
    QVERIFY2(up, output.constData());
    QVERIFY2(output.contains(QByteArray("DNS: systemd-resolved, tun0, ") + ServerTunnelAddress + "\r\n"), output.constData());
    QCOMPARE(callsWhileUp, QByteArray("dns tun0 ") + ServerTunnelAddress + "\ndomain tun0 ~. tunnel.test\n"
                                                                         "default-route tun0 yes\n");
    QCOMPARE(readFile(calls), callsWhileUp + "revert tun0\n");
    QCOMPARE(resolvConfWhileUp, m_originalResolvConf);
    QTRY_VERIFY2_WITH_TIMEOUT(whatIsNotRestored().isEmpty(), qPrintable(whatIsNotRestored()), 3000);
}

bool TestTunnel::startService(const QByteArray& killSwitch)
{
    // Everything is logged, so that a failure can be read and so that the
    // log can be checked for passwords.
    if (!writeServiceSettings(m_dir->filePath("service.conf"), "[General]\nLogLevel=4\n" + killSwitch))
        return false;
    // Nothing listens there: the certificate check fails and leaves ca.crt alone.
    m_service.setProcessEnvironment(launcherEnvironment());
    m_service.setWorkingDirectory(m_serviceDir);
    m_service.setProcessChannelMode(QProcess::MergedChannels);
    // With no more rights than its unit gives it: the tunnel, its DNS, routes
    // and IPv6 block must all work with these two capabilities.
    m_service.start(m_tools.ip, { "netns", "exec", m_network->clientNamespace(), m_tools.setpriv, "--pdeathsig",
                                  "TERM", "--bounding-set", "-all,+net_admin,+chown", "--no-new-privs",
                                  m_serviceDir + "/varvexservice", "-e" });
    if (!m_service.waitForStarted())
        return false;

    // The socket file lives in VARVEX_SOCKET_DIR, reachable from outside the namespace.
    m_client.reset(new ServiceClient);
    return m_client->connectTo(m_service, m_dir->filePath("tmp/Varvex"));
}

void TestTunnel::sendConnect(const QString& password)
{
    m_client->send(connectRequest(ServerLinkAddress, UserName, password));
}

// Connects the running service and waits until the tunnel is up.
bool TestTunnel::connectService()
{
    m_client->takeEvents();
    sendConnect(Password);
    // A service just started first tells its status: disconnected.
    QByteArray frame;
    do {
        frame = m_client->nextEvent(5000);
    } while (frame == statusFrame(QVarvexCommandDisconnected));
    if (frame != statusFrame(QVarvexCommandConnecting))
        return false;
    return isConnectedStatus(m_client->nextEvent(20000)) && tunnelDeviceExists();
}

void TestTunnel::serviceConnects()
{
    QVERIFY2(startService(), m_service.readAll().constData());
    QCOMPARE(hex(m_client->nextEvent(5000)), hex(statusFrame(QVarvexCommandDisconnected)));

    const uint before = uint(QDateTime::currentSecsSinceEpoch());
    sendConnect(Password);
    QCOMPARE(hex(m_client->nextEvent(5000)), hex(statusFrame(QVarvexCommandConnecting)));

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

void TestTunnel::bandwidthCountsTunnelTraffic()
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

void TestTunnel::abortTakesTheTunnelDown()
{
    if (m_service.state() != QProcess::Running || !tunnelDeviceExists())
        QSKIP("needs the connected service of the previous tests");
    m_client->takeEvents();
    m_client->send(VarvexFrame::build(VARVEX_CMD_ABORT_REQUEST));
    QCOMPARE(hex(m_client->nextEvent(5000)), hex(statusFrame(QVarvexCommandDisconnecting)));
    QCOMPARE(hex(m_client->nextEvent(5000)), hex(statusFrame(QVarvexCommandDisconnected)));
    QTRY_VERIFY_WITH_TIMEOUT(!tunnelDeviceExists(), 3000);
    QTRY_VERIFY2_WITH_TIMEOUT(whatIsNotRestored().isEmpty(), qPrintable(whatIsNotRestored()), 3000);
    // Only the service itself is left in its namespace: no OpenVPN, no launcher.
    QTRY_COMPARE_WITH_TIMEOUT(run(m_tools.ip, { "netns", "pids", m_network->clientNamespace() }).output.trimmed(),
                              QByteArray::number(m_service.processId()), 3000);
}

void TestTunnel::wrongPasswordFailsWithoutReconnecting()
{
    if (m_service.state() != QProcess::Running)
        QSKIP("needs the service of the previous tests");
    m_client->takeEvents();
    sendConnect("not-the-password");
    QCOMPARE(hex(m_client->nextEvent(5000)), hex(statusFrame(QVarvexCommandConnecting)));
    QCOMPARE(hex(m_client->nextEvent(15000)), hex(VarvexFrame::build(VARVEX_CMD_LOGIN_FAILED)));
    QCOMPARE(hex(m_client->nextEvent(5000)), hex(statusFrame(QVarvexCommandDisconnected)));
    // No reconnect: neither a waiting status nor a new attempt follows.
    QTest::qWait(4000);
    const QList<QByteArray> later = m_client->takeEvents();
    QVERIFY2(later.isEmpty(), hex(later.value(0)).constData());
    QVERIFY(!tunnelDeviceExists());
    QVERIFY2(whatIsNotRestored().isEmpty(), qPrintable(whatIsNotRestored()));
    QCOMPARE(m_client->malformed(), 0);
}

void TestTunnel::passwordsNeverReachTheLog()
{
    if (!QFile::exists(m_serviceDir + "/varvexservice.log"))
        QSKIP("needs the log of the previous tests");
    const QByteArray text = readFile(m_serviceDir + "/varvexservice.log");
    QVERIFY2(text.contains("Set Connection time"), "the log should hold everything");
    QVERIFY(!text.contains(Password));
    QVERIFY(!text.contains("not-the-password"));
}

void TestTunnel::tunnelEndsWithTheService()
{
    if (m_service.state() != QProcess::Running)
        QSKIP("needs the service of the previous tests");
    m_client->takeEvents();
    sendConnect(Password);
    QCOMPARE(hex(m_client->nextEvent(5000)), hex(statusFrame(QVarvexCommandConnecting)));
    const QByteArray connected = m_client->nextEvent(20000);
    QVERIFY2(isConnectedStatus(connected), hex(connected).constData());
    QVERIFY(tunnelDeviceExists());

    // However the service ends, no tunnel stays up without it, and OpenVPN
    // takes its changes back on its way out.
    m_service.kill();
    QVERIFY(m_service.waitForFinished(3000));
    QTRY_VERIFY_WITH_TIMEOUT(!tunnelDeviceExists(), 3000);
    QTRY_COMPARE_WITH_TIMEOUT(run(m_tools.ip, { "netns", "pids", m_network->clientNamespace() }).output.trimmed(),
                              QByteArray(), 3000);
    QVERIFY2(whatIsNotRestored().isEmpty(), qPrintable(whatIsNotRestored()));
}

void TestTunnel::connectedTunnelCarriesDnsRoutesAndBlocksIpv6()
{
    if (m_service.state() != QProcess::Running)
        QSKIP("needs the service of the previous tests");
    const qint64 logSize = QFileInfo(m_serviceDir + "/varvexservice.log").size();
    QVERIFY(connectService());
    QVERIFY2(whatIsNotAsConnected().isEmpty(), qPrintable(whatIsNotAsConnected()));
    QVERIFY2(serviceLogSince(logSize).contains(QByteArray("OpenVPN stdout: DNS: resolv.conf, tun0, ")
                                               + ServerTunnelAddress + "\r\n"),
             serviceLogSince(logSize).right(3000).constData());

    m_client->send(VarvexFrame::build(VARVEX_CMD_ABORT_REQUEST));
    QCOMPARE(hex(m_client->nextEvent(5000)), hex(statusFrame(QVarvexCommandDisconnecting)));
    QCOMPARE(hex(m_client->nextEvent(5000)), hex(statusFrame(QVarvexCommandDisconnected)));
    QTRY_VERIFY2_WITH_TIMEOUT(whatIsNotRestored().isEmpty(), qPrintable(whatIsNotRestored()), 3000);
    QVERIFY(serviceLogSince(logSize).contains("OpenVPN stdout: DNS restored: resolv.conf, tun0\r\n"));
    // Once restored, the name is unknown again.
    QVERIFY(!inClient("getent", { "hosts", TunnelOnlyName }).output.startsWith(TunnelOnlyAddress));
}

void TestTunnel::killedLauncherLeavesNothingChangedAndTheReconnectAppliesItAgain()
{
    if (m_service.state() != QProcess::Running)
        QSKIP("needs the service of the previous tests");
    QVERIFY(connectService());
    QVERIFY2(whatIsNotAsConnected().isEmpty(), qPrintable(whatIsNotAsConnected()));

    const QList<qint64> launchers = clientProcesses(m_serviceDir + "/bin/openvpn");
    QCOMPARE(launchers.size(), 1);
    QCOMPARE(::kill(pid_t(launchers.first()), SIGKILL), 0);
    // A crash is reported first (status 3), then the end starts the reconnect wait.
    QCOMPARE(hex(m_client->nextEvent(5000)), hex(statusFrame(QVarvexCommandDisconnected)));
    QCOMPARE(hex(m_client->nextEvent(5000)), hex(statusFrame(QVarvexCommandReconnecting)));
    QTRY_VERIFY_WITH_TIMEOUT(!tunnelDeviceExists(), 3000);
    QTRY_VERIFY2_WITH_TIMEOUT(whatIsNotRestored().isEmpty(), qPrintable(whatIsNotRestored()), 3000);

    // The reconnect 10 s later is a new tunnel, and gets it all again.
    QCOMPARE(hex(m_client->nextEvent(15000)), hex(statusFrame(QVarvexCommandConnecting)));
    const QByteArray connected = m_client->nextEvent(20000);
    QVERIFY2(isConnectedStatus(connected), hex(connected).constData());
    QVERIFY2(whatIsNotAsConnected().isEmpty(), qPrintable(whatIsNotAsConnected()));
    m_client->send(VarvexFrame::build(VARVEX_CMD_ABORT_REQUEST));
    QCOMPARE(hex(m_client->nextEvent(5000)), hex(statusFrame(QVarvexCommandDisconnecting)));
    QCOMPARE(hex(m_client->nextEvent(5000)), hex(statusFrame(QVarvexCommandDisconnected)));
    QTRY_VERIFY2_WITH_TIMEOUT(whatIsNotRestored().isEmpty(), qPrintable(whatIsNotRestored()), 3000);
}

void TestTunnel::serviceUndoesWhatAKilledOpenVpnAndLauncherLeft()
{
    if (m_service.state() != QProcess::Running)
        QSKIP("needs the service of the previous tests");
    QVERIFY(connectService());
    const qint64 logSize = QFileInfo(m_serviceDir + "/varvexservice.log").size();
    const QList<qint64> openvpn = clientProcesses(m_tools.openvpn);
    const QList<qint64> launchers = clientProcesses(m_serviceDir + "/bin/openvpn");
    QCOMPARE(openvpn.size(), 1);
    QCOMPARE(launchers.size(), 1);
    // Both at once (the launcher's process group is OpenVPN's too): neither
    // OpenVPN's --down nor the launcher gets to run.
    QCOMPARE(::getpgid(pid_t(openvpn.first())), pid_t(launchers.first()));
    QCOMPARE(::kill(-pid_t(launchers.first()), SIGKILL), 0);
    QCOMPARE(hex(m_client->nextEvent(5000)), hex(statusFrame(QVarvexCommandDisconnected)));
    QCOMPARE(hex(m_client->nextEvent(5000)), hex(statusFrame(QVarvexCommandReconnecting)));
    QTRY_VERIFY2_WITH_TIMEOUT(whatIsNotRestored().isEmpty(), qPrintable(whatIsNotRestored()), 3000);
    const QByteArray log = serviceLogSince(logSize);
    QVERIFY2(log.contains("DNS restored: resolv.conf, tun0\r\n") && !log.contains("OpenVPN stdout: DNS restored"),
             log.right(3000).constData());
    m_client->send(VarvexFrame::build(VARVEX_CMD_ABORT_REQUEST));
    QCOMPARE(hex(m_client->nextEvent(5000)), hex(statusFrame(QVarvexCommandDisconnected)));
}

void TestTunnel::changesOfAKilledServiceAreUndoneAtItsNextStart()
{
    QVERIFY2(startService(), m_service.readAll().constData());
    QVERIFY(connectService());
    QVERIFY2(whatIsNotAsConnected().isEmpty(), qPrintable(whatIsNotAsConnected()));

    // Everything at once: the service held still first so that it cannot
    // see its launcher end, then OpenVPN and the launcher as one process
    // group. No script runs on the way out, and nothing undoes the changes.
    const QList<qint64> launchers = clientProcesses(m_serviceDir + "/bin/openvpn");
    QCOMPARE(launchers.size(), 1);
    QCOMPARE(::kill(pid_t(m_service.processId()), SIGSTOP), 0);
    QCOMPARE(::kill(-pid_t(launchers.first()), SIGKILL), 0);
    QCOMPARE(::kill(pid_t(m_service.processId()), SIGKILL), 0);
    QVERIFY(m_service.waitForFinished(3000));
    QTRY_COMPARE_WITH_TIMEOUT(run(m_tools.ip, { "netns", "pids", m_network->clientNamespace() }).output.trimmed(),
                              QByteArray(), 3000);
    // The kernel took the routes through the tunnel with it, nothing else.
    QVERIFY(readFile(m_network->clientResolvConf()) != m_originalResolvConf);
    QVERIFY(!inClient(m_tools.ip, { "route", "show", "exact", QString(ServerLinkAddress) + "/32" }).output.isEmpty());
    QVERIFY(QFile::exists(m_dir->filePath("run/network-changes")));

    const qint64 logSize = QFileInfo(m_serviceDir + "/varvexservice.log").size();
    QVERIFY2(startService(), m_service.readAll().constData());
    QTRY_VERIFY2_WITH_TIMEOUT(whatIsNotRestored().isEmpty(), qPrintable(whatIsNotRestored()), 3000);
    const QByteArray log = serviceLogSince(logSize);
    QVERIFY2(log.contains("DNS restored: resolv.conf, tun0\r\n"), log.right(3000).constData());
    QVERIFY(log.contains(QByteArray("Routes: removed the host route to ") + ServerLinkAddress));
}

void TestTunnel::serverGoneLeavesNothingChanged()
{
    if (m_service.state() != QProcess::Running)
        QSKIP("needs the service of the previous test");
    QVERIFY(connectService());
    QVERIFY2(whatIsNotAsConnected().isEmpty(), qPrintable(whatIsNotAsConnected()));

    // OpenVPN ends by itself after 10 s of silence (--ping-exit).
    stop(m_server);
    QCOMPARE(hex(m_client->nextEvent(15000)), hex(statusFrame(QVarvexCommandReconnecting)));
    QTRY_VERIFY2_WITH_TIMEOUT(whatIsNotRestored().isEmpty(), qPrintable(whatIsNotRestored()), 3000);
    m_client->send(VarvexFrame::build(VARVEX_CMD_ABORT_REQUEST));
    QCOMPARE(hex(m_client->nextEvent(5000)), hex(statusFrame(QVarvexCommandDisconnected)));
}


void TestTunnel::killSwitchHoldsFromConnectUntilDisconnect()
{
    if (m_server.state() != QProcess::Running)
        QVERIFY2(startServer(), m_server.readAll().constData());
    stop(m_service);
    QVERIFY2(startService("KillSwitch=true\n"), m_service.readAll().constData());
    QCOMPARE(hex(m_client->nextEvent(5000)), hex(statusFrame(QVarvexCommandDisconnected)));
    Leaks leaks = probe();
    QVERIFY2(leaks.outside == ProbeDatagrams && leaks.dns > 0 && leaks.echoed, qPrintable(leaks.text()));

    // By name: resolved before the block goes up, handed to OpenVPN as an address.
    const qint64 logSize = QFileInfo(m_serviceDir + "/varvexservice.log").size();
    m_client->send(connectRequest(ServerHostName, UserName, Password));
    QCOMPARE(hex(m_client->nextEvent(5000)), hex(statusFrame(QVarvexCommandConnecting)));
    QByteArray frame = m_client->nextEvent(20000);
    QVERIFY2(isConnectedStatus(frame), hex(frame).constData());
    QVERIFY(killSwitchStands());
    QVERIFY2(serviceLogSince(logSize).contains(QByteArray("Kill switch: ") + ServerHostName + " is " + ServerLinkAddress),
             serviceLogSince(logSize).right(3000).constData());
    leaks = probe();
    // Connected: everything goes through the tunnel; DNS to a local
    // resolver and IPv6 beside the tunnel are dropped; the local network answers.
    QVERIFY2(leaks.outside == 0 && leaks.ipv6 == 0 && leaks.dns == 0 && leaks.echoed, qPrintable(leaks.text()));
    QCOMPARE(inClient("nft", { "list", "table", "ip6", Ipv6BlockTable }).exitCode == 0, false);

    // Server gone: OpenVPN gives up after 10 s, the reconnect waits, nothing leaks.
    stop(m_server);
    QCOMPARE(hex(nextStatusSkipping(QVarvexCommandDisconnected, 15000)), hex(statusFrame(QVarvexCommandReconnecting)));
    QTRY_VERIFY_WITH_TIMEOUT(!tunnelDeviceExists(), 3000);
    leaks = probe();
    QVERIFY2(leaks.outside == 0 && leaks.ipv6 == 0 && leaks.dns == 0, qPrintable(leaks.text()));

    // Server back: the reconnect gets through the block to the resolved address.
    QVERIFY2(startServer(), m_server.readAll().constData());
    QCOMPARE(hex(m_client->nextEvent(15000)), hex(statusFrame(QVarvexCommandConnecting)));
    frame = m_client->nextEvent(20000);
    QVERIFY2(isConnectedStatus(frame), hex(frame).constData());

    // The service killed: its block stays in the kernel while none runs.
    m_service.kill();
    QVERIFY(m_service.waitForFinished(3000));
    QTRY_VERIFY_WITH_TIMEOUT(!tunnelDeviceExists(), 3000);
    QVERIFY(killSwitchStands());
    leaks = probe();
    QVERIFY2(leaks.outside == 0 && leaks.ipv6 == 0 && leaks.dns == 0, qPrintable(leaks.text()));

    // Started again: it keeps the block and waits in status 4 for the user.
    const qint64 restartLog = QFileInfo(m_serviceDir + "/varvexservice.log").size();
    QVERIFY2(startService("KillSwitch=true\n"), m_service.readAll().constData());
    QCOMPARE(hex(m_client->nextEvent(5000)), hex(statusFrame(QVarvexCommandReconnecting)));
    QTRY_VERIFY_WITH_TIMEOUT(serviceLogSince(restartLog).contains("Warning: Kill switch: the tunnel to "), 5000);
    QVERIFY(killSwitchStands());
    leaks = probe();
    QVERIFY2(leaks.outside == 0 && leaks.ipv6 == 0 && leaks.dns == 0, qPrintable(leaks.text()));

    // Disconnect: the block goes with the rest, and the normal network is back.
    m_client->send(VarvexFrame::build(VARVEX_CMD_ABORT_REQUEST));
    QCOMPARE(hex(m_client->nextEvent(5000)), hex(statusFrame(QVarvexCommandDisconnected)));
    QTRY_VERIFY_WITH_TIMEOUT(!killSwitchStands(), 3000);
    QTRY_VERIFY2_WITH_TIMEOUT(whatIsNotRestored().isEmpty(), qPrintable(whatIsNotRestored()), 3000);
    leaks = probe();
    QVERIFY2(leaks.outside == ProbeDatagrams && leaks.ipv6 == 1 && leaks.dns > 0 && leaks.echoed, qPrintable(leaks.text()));
}

void TestTunnel::abortWhileConnectingLiftsTheKillSwitch()
{
    if (m_service.state() != QProcess::Running)
        QSKIP("needs the service of the previous test");
    // Nothing answers at the server's address, and the local network is not allowed.
    stop(m_server);
    stop(m_service);
    QVERIFY2(startService("KillSwitch=true\nAllowLocalNetwork=false\n"), m_service.readAll().constData());
    QCOMPARE(hex(m_client->nextEvent(5000)), hex(statusFrame(QVarvexCommandDisconnected)));
    m_client->send(connectRequest(ServerHostName, UserName, Password));
    QCOMPARE(hex(m_client->nextEvent(5000)), hex(statusFrame(QVarvexCommandConnecting)));
    QTRY_VERIFY_WITH_TIMEOUT(killSwitchStands(), 5000);
    const Leaks leaks = probe();
    QVERIFY2(leaks.outside == 0 && leaks.ipv6 == 0 && leaks.dns == 0 && !leaks.echoed, qPrintable(leaks.text()));

    m_client->send(VarvexFrame::build(VARVEX_CMD_ABORT_REQUEST));
    QCOMPARE(hex(m_client->nextEvent(8000)), hex(statusFrame(QVarvexCommandDisconnected)));
    QTRY_VERIFY_WITH_TIMEOUT(!killSwitchStands(), 3000);
    QTRY_VERIFY2_WITH_TIMEOUT(whatIsNotRestored().isEmpty(), qPrintable(whatIsNotRestored()), 3000);
    QVERIFY(probe().echoed);
}

QTEST_GUILESS_MAIN(TestTunnel)
#include "tst_tunnel.moc"
