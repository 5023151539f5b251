// The service with the real OpenVPN launcher against a real OpenVPN server,
// in network namespaces built for the run. Needs root, /dev/net/tun and
// OpenVPN; skips without them.

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

#include "qvpncredentialscrypt.h"
#include "varvexprotocol.h"

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

const char EchoServer[] = R"PY(
import socket
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("0.0.0.0", 7))
while True:
    data, peer = s.recvfrom(65535)
    s.sendto(data, peer)
)PY";

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

QString findProgram(const QString& name)
{
    const QString path = QStandardPaths::findExecutable(name);
    if (!path.isEmpty())
        return path;
    return QStandardPaths::findExecutable(name, { "/usr/sbin", "/sbin", "/usr/bin", "/bin" });
}

// Runs a short command and returns its standard output; empty on failure.
QByteArray run(const QString& program, const QStringList& arguments, QByteArray* errors = nullptr,
               int* exitCode = nullptr)
{
    QProcess process;
    process.start(program, arguments);
    const bool finished = process.waitForFinished(30000);
    if (!finished) {
        process.kill();
        process.waitForFinished(2000);
    }
    if (errors)
        *errors = process.readAllStandardError();
    if (exitCode)
        *exitCode = finished && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return process.readAllStandardOutput();
}

// Stops a long-running process: politely first, then for good.
void stop(QProcess& process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(3000)) {
        process.kill();
        process.waitForFinished(3000);
    }
}

// The two namespaces with their veth pair and the server's files. Removing
// them also ends whatever still runs inside, so a failed run leaves nothing.
class TunnelNetwork
{
public:
    explicit TunnelNetwork(const QString& fixture)
        : m_fixture(fixture), m_tag(QStringLiteral("vvx%1").arg(getpid())) { }
    ~TunnelNetwork() { down(); }

    bool up(const QString& directory, QByteArray* errors)
    {
        // Namespaces of earlier runs that were killed outright.
        run(m_fixture, { "sweep" });
        int exitCode = -1;
        run(m_fixture, { "up", m_tag, directory }, errors, &exitCode);
        m_up = true;
        return exitCode == 0;
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

// Collects the service's frames: notifications in their order, bandwidth
// samples apart.
class ServiceFrames : public QObject
{
public:
    explicit ServiceFrames(QLocalSocket* socket) : m_socket(socket)
    {
        connect(socket, &QLocalSocket::readyRead, this, [this] {
            m_reader.append(m_socket->readAll());
            QByteArray frame;
            VarvexFrameReader::Result result;
            while ((result = m_reader.next(&frame)) != VarvexFrameReader::NeedMore) {
                if (result != VarvexFrameReader::Frame)
                    m_malformed++;
                else if (quint8(frame.at(2)) == VARVEX_CMD_BANDWIDTH_UPDATE)
                    m_bandwidth.append(frame);
                else
                    m_events.append(frame);
            }
        });
    }

    // The next notification, or an empty array after the timeout.
    QByteArray nextEvent(int timeout)
    {
        if (!QTest::qWaitFor([this] { return !m_events.isEmpty(); }, timeout))
            return QByteArray();
        return m_events.takeFirst();
    }
    QList<QByteArray> takeEvents() { QList<QByteArray> events; events.swap(m_events); return events; }
    QList<QByteArray>& bandwidth() { return m_bandwidth; }
    int malformed() const { return m_malformed; }

private:
    QLocalSocket* m_socket;
    VarvexFrameReader m_reader;
    QList<QByteArray> m_events;
    QList<QByteArray> m_bandwidth;
    int m_malformed = 0;
};

QByteArray statusFrame(quint8 status)
{
    return VarvexFrame::build(VARVEX_CMD_STATUS_UPDATE, QByteArray(1, char(status)));
}

QByteArray hex(const QByteArray& frame)
{
    return frame.isEmpty() ? QByteArray("(nothing)") : frame.toHex(' ');
}

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
    QByteArray inClient(const QString& program, const QStringList& arguments, int* exitCode = nullptr);
    bool startService();
    void sendConnect(const QString& password);
    void dumpLogs();

    QString m_python;
    QString m_ip;
    QString m_setpriv;
    QScopedPointer<QTemporaryDir> m_dir;
    QScopedPointer<TunnelNetwork> m_network;
    QProcess m_server;
    QProcess m_echo;
    QProcess m_service;
    QString m_serviceDir;
    QByteArray m_caCertificate;
    QScopedPointer<QLocalSocket> m_socket;
    QScopedPointer<ServiceFrames> m_frames;
    bool m_failed = false;
};

void tst_Tunnel::initTestCase()
{
    if (geteuid() != 0)
        QSKIP("The tunnel test needs root to build network namespaces.");
    if (!QFile::exists("/dev/net/tun"))
        QSKIP("The tunnel test needs /dev/net/tun.");
    const QString openvpn = qEnvironmentVariable("VARVEX_OPENVPN", "/usr/sbin/openvpn");
    if (!QFileInfo(openvpn).isExecutable())
        QSKIP(qPrintable(openvpn + " is not installed; the tunnel test needs OpenVPN."));
    m_ip = findProgram("ip");
    m_setpriv = findProgram("setpriv");
    m_python = QFileInfo::exists("/usr/bin/python3") ? QStringLiteral("/usr/bin/python3")
                                                     : findProgram("python3");
    for (const QString& tool : { m_ip, m_setpriv, m_python, findProgram("openssl") }) {
        if (tool.isEmpty())
            QSKIP("The tunnel test needs ip, setpriv, openssl and python3.");
    }

    const QString build = qEnvironmentVariable("VARVEX_BUILD_DIR");
    const QString source = qEnvironmentVariable("VARVEX_SOURCE_DIR");
    QVERIFY2(QFileInfo(build + "/bin/varvexservice").isExecutable(), "varvexservice is not built");
    QVERIFY2(QFileInfo(build + "/bin/bin/openvpn").isExecutable(), "the OpenVPN launcher is not built");

    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    QDir root(m_dir->path());
    QVERIFY(root.mkpath("server") && root.mkpath("service/bin") && root.mkpath("tmp"));

    m_network.reset(new TunnelNetwork(source + "/tests/integration/tunnel-fixture.sh"));
    QByteArray errors;
    QVERIFY2(m_network->up(root.filePath("server"), &errors), errors.constData());

    // The service runs from a folder of its own with the launcher and CA beside it.
    m_serviceDir = root.filePath("service");
    QVERIFY(QFile::copy(build + "/bin/varvexservice", m_serviceDir + "/varvexservice"));
    QVERIFY(QFile::copy(build + "/bin/bin/openvpn", m_serviceDir + "/bin/openvpn"));
    QVERIFY(QFile::copy(root.filePath("server/ca.crt"), m_serviceDir + "/bin/ca.crt"));
    QFile ca(m_serviceDir + "/bin/ca.crt");
    QVERIFY(ca.open(QIODevice::ReadOnly));
    m_caCertificate = ca.readAll();

    // Everything long-running dies with this test, however it ends.
    const QStringList bound = { "--pdeathsig", "TERM" };
    m_server.setProcessChannelMode(QProcess::MergedChannels);
    m_server.start(m_ip, QStringList { "netns", "exec", m_network->serverNamespace(), m_setpriv } + bound
                   + QStringList { openvpn, "--config", root.filePath("server/server.conf") });
    QVERIFY(m_server.waitForStarted());
    QByteArray serverOutput;
    QVERIFY2(QTest::qWaitFor([&] {
                 serverOutput += m_server.readAll();
                 return serverOutput.contains("Initialization Sequence Completed")
                     || m_server.state() == QProcess::NotRunning;
             }, 10000) && m_server.state() == QProcess::Running,
             serverOutput.constData());

    m_echo.start(m_ip, QStringList { "netns", "exec", m_network->serverNamespace(), m_setpriv } + bound
                 + QStringList { m_python, "-c", EchoServer });
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
    m_frames.reset();
    m_socket.reset();
    stop(m_service);
    stop(m_echo);
    stop(m_server);
    if (m_network)
        m_network->down();
}

void tst_Tunnel::dumpLogs()
{
    auto tail = [](const QByteArray& text) { return text.right(6000); };
    QFile log(m_serviceDir + "/varvexservice.log");
    if (log.open(QIODevice::ReadOnly))
        qWarning("varvexservice.log (end):\n%s", tail(log.readAll()).constData());
    qWarning("server output (end):\n%s", tail(m_server.readAll()).constData());
}

bool tst_Tunnel::tunnelDeviceExists()
{
    int exitCode = -1;
    inClient(m_ip, { "link", "show", "dev", "tun0" }, &exitCode);
    return exitCode == 0;
}

QByteArray tst_Tunnel::inClient(const QString& program, const QStringList& arguments, int* exitCode)
{
    QByteArray errors;
    return run(m_ip, QStringList { "netns", "exec", m_network->clientNamespace(), program } + arguments,
               &errors, exitCode);
}

void tst_Tunnel::launcherBringsUpTheTunnel()
{
    // OpenVPN through the launcher alone, as the service will start it.
    QProcess launcher;
    launcher.setWorkingDirectory(m_serviceDir + "/bin");
    launcher.start(m_ip, QStringList { "netns", "exec", m_network->clientNamespace(),
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
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TMPDIR", m_dir->filePath("tmp"));
    env.insert("VARVEX_SERVICE_CONFIG", m_dir->filePath("service.conf"));
    // Nothing listens there: the certificate check fails and leaves ca.crt alone.
    env.insert("VARVEX_API_HOST", "127.0.0.1:9");
    // Everything is logged, so that a failure can be read and so that the
    // log can be checked for passwords.
    QFile settings(m_dir->filePath("service.conf"));
    if (!settings.open(QIODevice::WriteOnly) || settings.write("[General]\nLogLevel=4\n") <= 0)
        return false;
    settings.close();
    m_service.setProcessEnvironment(env);
    m_service.setWorkingDirectory(m_serviceDir);
    m_service.setProcessChannelMode(QProcess::MergedChannels);
    m_service.start(m_ip, { "netns", "exec", m_network->clientNamespace(), m_setpriv, "--pdeathsig", "TERM",
                            m_serviceDir + "/varvexservice", "-e" });
    if (!m_service.waitForStarted())
        return false;

    // The socket file lives in TMPDIR, reachable from outside the namespace.
    const QString socketPath = m_dir->filePath("tmp/Varvex");
    m_socket.reset(new QLocalSocket);
    m_frames.reset(new ServiceFrames(m_socket.data()));
    return QTest::qWaitFor([&] {
        if (m_service.state() == QProcess::NotRunning)
            return true;
        if (!QFile::exists(socketPath))
            return false;
        m_socket->connectToServer(socketPath);
        return m_socket->waitForConnected(1000);
    }, 10000) && m_socket->state() == QLocalSocket::ConnectedState;
}

void tst_Tunnel::sendConnect(const QString& password)
{
    QByteArray payload;
    VarvexFrame::appendField(payload, ServerLinkAddress);
    VarvexFrame::appendField(payload, QVPNCredentialsCrypt::encodeUserPass(UserName, password));
    m_socket->write(VarvexFrame::build(VARVEX_CMD_CONNECT_REQUEST, payload));
    m_socket->flush();
}

void tst_Tunnel::serviceConnects()
{
    QVERIFY2(startService(), m_service.readAll().constData());
    QCOMPARE(hex(m_frames->nextEvent(5000)), hex(statusFrame(3)));

    const uint before = uint(QDateTime::currentSecsSinceEpoch());
    sendConnect(Password);
    QCOMPARE(hex(m_frames->nextEvent(5000)), hex(statusFrame(0)));

    const QByteArray connected = m_frames->nextEvent(20000);
    const uint after = uint(QDateTime::currentSecsSinceEpoch());
    QVERIFY2(connected.size() >= 10 && quint8(connected.at(2)) == VARVEX_CMD_STATUS_UPDATE
                 && connected.at(3) == 1,
             hex(connected).constData());
    QByteArray payload = connected.mid(4, connected.size() - 5);
    QCOMPARE(VarvexFrame::takeField(payload), QByteArray(ServerLinkAddress));
    QCOMPARE(payload.size(), 4);
    const uint connectTime = VarvexFrame::readUInt32(payload, 0);
    QVERIFY2(connectTime >= before && connectTime <= after, qPrintable(QString::number(connectTime)));
    QVERIFY(tunnelDeviceExists());

    QFile ca(m_serviceDir + "/bin/ca.crt");
    QVERIFY(ca.open(QIODevice::ReadOnly));
    QVERIFY2(ca.readAll() == m_caCertificate, "the failed certificate check must leave ca.crt alone");
}

void tst_Tunnel::bandwidthCountsTunnelTraffic()
{
    if (m_service.state() != QProcess::Running || !tunnelDeviceExists())
        QSKIP("needs the connected service of the previous test");

    // Totals of the tunnel adapter, sampled once a second.
    auto latestTunnelSample = [this](quint32* download, quint32* upload) {
        for (int i = m_frames->bandwidth().size() - 1; i >= 0; --i) {
            const QByteArray& frame = m_frames->bandwidth().at(i);
            if (frame.size() == 13 && frame.at(3) == 1) {
                *download = VarvexFrame::readUInt32(frame, 4);
                *upload = VarvexFrame::readUInt32(frame, 8);
                return true;
            }
        }
        return false;
    };
    quint32 download0 = 0, upload0 = 0;
    m_frames->bandwidth().clear();
    QTRY_VERIFY_WITH_TIMEOUT(latestTunnelSample(&download0, &upload0), 3000);

    const int datagrams = 40, size = 1000;
    int exitCode = -1;
    const QByteArray answered = inClient(m_python, { "-c", EchoClient, ServerTunnelAddress,
                                                     QString::number(datagrams), QString::number(size) },
                                         &exitCode);
    QCOMPARE(exitCode, 0);
    QVERIFY2(answered.trimmed().toInt() >= datagrams / 2, answered.constData());
    const quint32 minimumUp = datagrams * size;
    const quint32 minimumDown = quint32(answered.trimmed().toInt()) * size;

    m_frames->bandwidth().clear();
    quint32 download = 0, upload = 0;
    QVERIFY2(QTest::qWaitFor([&] {
                 return latestTunnelSample(&download, &upload) && upload - upload0 >= minimumUp
                     && download - download0 >= minimumDown;
             }, 4000),
             qPrintable(QStringLiteral("before %1/%2 after %3/%4 (down/up)")
                            .arg(download0).arg(upload0).arg(download).arg(upload)));
}

void tst_Tunnel::abortTakesTheTunnelDown()
{
    if (m_service.state() != QProcess::Running || !tunnelDeviceExists())
        QSKIP("needs the connected service of the previous tests");
    m_frames->takeEvents();
    m_socket->write(VarvexFrame::build(VARVEX_CMD_ABORT_REQUEST));
    QCOMPARE(hex(m_frames->nextEvent(5000)), hex(statusFrame(2)));
    QCOMPARE(hex(m_frames->nextEvent(5000)), hex(statusFrame(3)));
    QTRY_VERIFY_WITH_TIMEOUT(!tunnelDeviceExists(), 3000);
    // Only the service itself is left in its namespace: no OpenVPN, no launcher.
    QTRY_COMPARE_WITH_TIMEOUT(run(m_ip, { "netns", "pids", m_network->clientNamespace() }).trimmed(),
                              QByteArray::number(m_service.processId()), 3000);
}

void tst_Tunnel::wrongPasswordFailsWithoutReconnecting()
{
    if (m_service.state() != QProcess::Running)
        QSKIP("needs the service of the previous tests");
    m_frames->takeEvents();
    sendConnect("not-the-password");
    QCOMPARE(hex(m_frames->nextEvent(5000)), hex(statusFrame(0)));
    QCOMPARE(hex(m_frames->nextEvent(15000)), hex(VarvexFrame::build(VARVEX_CMD_LOGIN_FAILED)));
    QCOMPARE(hex(m_frames->nextEvent(5000)), hex(statusFrame(3)));
    // No reconnect: neither a waiting status nor a new attempt follows.
    QTest::qWait(4000);
    const QList<QByteArray> later = m_frames->takeEvents();
    QVERIFY2(later.isEmpty(), hex(later.value(0)).constData());
    QVERIFY(!tunnelDeviceExists());
    QCOMPARE(m_frames->malformed(), 0);
}

void tst_Tunnel::passwordsNeverReachTheLog()
{
    QFile log(m_serviceDir + "/varvexservice.log");
    if (!log.open(QIODevice::ReadOnly))
        QSKIP("needs the log of the previous tests");
    const QByteArray text = log.readAll();
    QVERIFY2(text.contains("Set Connection time"), "the log should hold everything");
    QVERIFY(!text.contains(Password));
    QVERIFY(!text.contains("not-the-password"));
}

void tst_Tunnel::tunnelEndsWithTheService()
{
    if (m_service.state() != QProcess::Running)
        QSKIP("needs the service of the previous tests");
    m_frames->takeEvents();
    sendConnect(Password);
    QCOMPARE(hex(m_frames->nextEvent(5000)), hex(statusFrame(0)));
    const QByteArray connected = m_frames->nextEvent(20000);
    QVERIFY2(connected.size() >= 10 && connected.at(3) == 1, hex(connected).constData());
    QVERIFY(tunnelDeviceExists());

    // However the service ends, no tunnel stays up without it.
    m_service.kill();
    QVERIFY(m_service.waitForFinished(3000));
    QTRY_VERIFY_WITH_TIMEOUT(!tunnelDeviceExists(), 3000);
    QTRY_COMPARE_WITH_TIMEOUT(run(m_ip, { "netns", "pids", m_network->clientNamespace() }).trimmed(),
                              QByteArray(), 3000);
}

QTEST_GUILESS_MAIN(tst_Tunnel)
#include "tst_tunnel.moc"
