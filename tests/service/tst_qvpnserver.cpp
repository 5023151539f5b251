#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "adaptercounters.h"
#include "fakenft.h"
#include "frameclient.h"
#include "localsocketpath.h"
#include "logreader.h"
#include "qvpnclientconnection.h"
#include "qvpncredentialscrypt.h"
#include "qvpnserver.h"
#include "recordinghttpserver.h"
#include "varvexlog.h"

namespace {

class FakeCounters : public AdapterCounterSource
{
public:
    QList<InterfaceCounters> rows;
    bool failAdapters = false;
    bool failTable = false;

    bool adapters(QList<AdapterInfo>* list) override
    {
        if (failAdapters)
            return false;
        for (const InterfaceCounters& row : rows)
            list->append(AdapterInfo{row.description, row.description});
        return true;
    }
    bool interfaceTable(QList<InterfaceCounters>* list) override
    {
        if (failTable)
            return false;
        *list = rows;
        return true;
    }
    void set(const QByteArray& name, quint32 in, quint32 out)
    {
        for (InterfaceCounters& row : rows) {
            if (row.description == name) {
                row.inOctets = in;
                row.outOctets = out;
                return;
            }
        }
        InterfaceCounters row;
        row.description = name;
        row.inOctets = in;
        row.outOctets = out;
        rows.append(row);
    }
};

const char* const ConnectingScenario =
    "prompt\n"
    "out 2026-01-01 10:00:00 [10.8.0.6] Peer Connection Initiated with [AF_INET]192.0.2.1:443\\r\\n\n"
    "out 2026-01-01 10:00:00 TUN/TAP device tun7 opened\\r\\n\n"
    "out 2026-01-01 10:00:00 Initialization Sequence Completed\\r\\n\n"
    "hang\n";

// A client end that the test drives by hand, without ever reading.
int connectRaw(const QString& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    qstrncpy(address.sun_path, QFile::encodeName(path).constData(), sizeof(address.sun_path));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

QByteArray connectRequest(const QByteArray& host, const QByteArray& credentials)
{
    QByteArray payload;
    VarvexFrame::appendField(payload, host);
    VarvexFrame::appendField(payload, credentials);
    return VarvexFrame::build(VARVEX_CMD_CONNECT_REQUEST, payload);
}

} // namespace

class TestQVPNServer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void installerToken_data();
    void installerToken();
    void provisioningOnlyWithoutStoredCredentials_data();
    void provisioningOnlyWithoutStoredCredentials();
    void installerNameAsWrittenInTheConfigFile_data();
    void installerNameAsWrittenInTheConfigFile();
    void logLevelSetsTheThreshold_data();
    void logLevelSetsTheThreshold();

    void webApiWithoutTlsIsAWarningAtStart();
    void staleSocketIsReclaimed();
    void liveInstanceKeepsItsName();

    void statusFirstThenFanOutAndBandwidth();
    void lastClientLeavingStopsTimersButNotTheTunnel_data();
    void lastClientLeavingStopsTimersButNotTheTunnel();
    void credentialsReply();
    void malformedFramesAreLoggedAndDropped();
    void overlongAddressGivesEmptyField();
    void connectedWithoutAddressGivesEmptyField();
    void notificationsAfterTheClientLeftAreNotWritten();
    void stopEndsClientsNewestFirst();

    void nonReadingClientIsBoundedThenDropped();
    void floodingClientThatReadsIsServedInFull();
    void connectionsBeyondTheCapAreClosedAtOnce();
    void acceptingSurvivesRunningOutOfDescriptors();
    void repeatedBadFramesAreSummarised();
    void controlCharactersInAConnectRequestAreRefused_data();
    void controlCharactersInAConnectRequestAreRefused();

    void allInterfacesSamplesAreDifferences();
    void tunnelSamplesAreTotals();
    void unreadableCountersAreReported();
    void systemCountersAreReadable();

private:
    void writeSettings(const QVariantMap& values);
    void useScenario(const QByteArray& steps);

    QTemporaryDir m_dir;
    RecordingHttpServer m_webApi;
    LogReader m_log;
    FakeCounters m_counters;
};

void TestQVPNServer::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY(m_webApi.start());
    // Every request is answered, with an empty body.
    m_webApi.setDefaultAnswer(RecordingHttpServer::Answer{200, QByteArray(), 0, QByteArray(), false});
    QDir(m_dir.path()).mkdir("tmp");
    qputenv("TMPDIR", m_dir.filePath("tmp").toLocal8Bit());
    qputenv("VARVEX_SOCKET_DIR", m_dir.filePath("tmp").toLocal8Bit());
    qputenv("VARVEX_SERVICE_CONFIG", m_dir.filePath("service.conf").toLocal8Bit());
    qputenv("VARVEX_API_HOST", m_webApi.hostAndPort().toLocal8Bit());
    qputenv("FAKE_OPENVPN_RECORD", m_dir.filePath("record").toLocal8Bit());
    qputenv("VARVEX_RUN_DIR", m_dir.filePath("run").toLocal8Bit());
    QVERIFY(QDir(m_dir.path()).mkpath("run"));
    const QString nftFailure = useFakeNft(m_dir.filePath("nft"));
    QVERIFY2(nftFailure.isEmpty(), qPrintable(nftFailure));
    useScenario(ConnectingScenario);
    AdapterCounterSource::setCurrent(&m_counters);
    LogReader::removeFile();
}

void TestQVPNServer::init()
{
    QFile::remove(m_dir.filePath("service.conf"));
    writeSettings({{"LogLevel", 4}});
    setupLog(LOG_INFORMATION, true);
    m_webApi.clearRequests();
    m_counters.rows.clear();
    m_counters.failAdapters = m_counters.failTable = false;
    m_log.mark();
}

void TestQVPNServer::cleanup()
{
    QLocalServer::removeServer("Varvex");
}

void TestQVPNServer::writeSettings(const QVariantMap& values)
{
    QSettings settings(m_dir.filePath("service.conf"), QSettings::IniFormat);
    // The test servers' names do not resolve here: the kill switch is off
    // unless a test asks for it.
    settings.setValue("KillSwitch", false);
    for (auto it = values.begin(); it != values.end(); ++it)
        settings.setValue(it.key(), it.value());
}

void TestQVPNServer::useScenario(const QByteArray& steps)
{
    QFile file(m_dir.filePath("scenario"));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(steps);
    file.close();
    qputenv("FAKE_OPENVPN_SCENARIO", file.fileName().toLocal8Bit());
}

void TestQVPNServer::installerToken_data()
{
    QTest::addColumn<QString>("installerName");
    QTest::addColumn<QString>("token");
    QTest::addColumn<QString>("critical");

    QTest::newRow("folder, word, hyphens, token")
        << "C:\\Downloads\\varvex-setup-Ab12Cd.EXE" << "Ab12Cd" << QString();
    QTest::newRow("empty token still counts") << "C:\\x\\varvex-setup-.exe" << "" << QString();
    QTest::newRow("missing") << "" << QString() << "Varvex installer string does not end with .exe";
    QTest::newRow("other extension") << "C:\\x\\varvex-setup-T.msi" << QString()
                                     << "Varvex installer string does not end with .exe";
    QTest::newRow("bare file name") << "varvex-setup-T.exe" << QString()
                                    << "Varvex installer string doesn't contain \" character.";
    QTest::newRow("backslash first") << "\\varvex-setup-T.exe" << QString()
                                     << "Varvex installer string doesn't contain \" character.";
    QTest::newRow("no hyphen") << "C:\\x\\varvexsetup.exe" << QString()
                               << "Varvex installer string doesn't contain - character.";
    QTest::newRow("hyphen first") << "C:\\x\\-token.exe" << QString()
                                  << "Varvex installer string doesn't contain - character.";
    QTest::newRow("Linux path") << "/home/alice/Downloads/Varvex-Setup-Ab12Cd.EXE" << "Ab12Cd" << QString();
    QTest::newRow("slash after backslashes") << "C:\\Users\\me/varvex-setup-Mx.exe" << "Mx" << QString();
    QTest::newRow("backslash after slashes") << "/home/me/dl\\varvex-setup-Bk.exe" << "Bk" << QString();
    QTest::newRow("slash first") << "/varvex-setup-T.exe" << QString()
                                 << "Varvex installer string doesn't contain \" character.";
    QTest::newRow("hyphen only in a folder") << "/opt/varvex-1/setup.exe" << QString()
                                             << "Varvex installer string doesn't contain - character.";
}

void TestQVPNServer::installerToken()
{
    QFETCH(QString, installerName);
    QFETCH(QString, token);
    QFETCH(QString, critical);

    QString derived = "untouched";
    const bool ok = QVPNServer::installerToken(installerName, &derived);
    QCOMPARE(ok, critical.isEmpty());
    if (ok)
        QCOMPARE(derived, token);
    else
        QVERIFY(m_log.contains("Critical: " + critical.toUtf8() + "\r\n"));
}

void TestQVPNServer::provisioningOnlyWithoutStoredCredentials_data()
{
    QTest::addColumn<QString>("installerName");
    QTest::addColumn<QString>("stored");
    QTest::addColumn<int>("requests");

    QTest::newRow("nothing stored") << "C:\\x\\varvex-setup-Tok9.exe" << "" << 1;
    QTest::newRow("credentials stored") << "C:\\x\\varvex-setup-Tok9.exe"
                                        << QString::fromLatin1(QVPNCredentialsCrypt::encodeUserPass("u", "p")) << 0;
    QTest::newRow("bad installer name") << "varvex.exe" << "" << 0;
    QTest::newRow("no installer name") << "" << "" << 0;
}

void TestQVPNServer::provisioningOnlyWithoutStoredCredentials()
{
    QFETCH(QString, installerName);
    QFETCH(QString, stored);
    QFETCH(int, requests);
    writeSettings({{"InstallerName", installerName}, {"Credentials", stored}});

    QVPNServer server(nullptr);
    server.start();
    // Start carries on to listening whatever the installer name.
    QVERIFY(server.isListening());
    if (requests > 0) {
        QTRY_COMPARE(m_webApi.count("/get_user/"), requests);
        QVERIFY(m_webApi.requests.last().endsWith("/Tok9"));
    } else {
        QTest::qWait(200);
        QCOMPARE(m_webApi.count("/get_user/"), 0);
    }
    // The stored text is never touched by start.
    QCOMPARE(QSettings(m_dir.filePath("service.conf"), QSettings::IniFormat).value("Credentials").toString(), stored);
}

void TestQVPNServer::installerNameAsWrittenInTheConfigFile_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::newRow("Linux path") << QByteArray("InstallerName=/home/alice/Downloads/varvex-setup-Tok9.exe");
    QTest::newRow("Windows path, backslashes doubled") << QByteArray("InstallerName=C:\\\\Users\\\\me\\\\varvex-setup-Tok9.exe");
}

void TestQVPNServer::installerNameAsWrittenInTheConfigFile()
{
    // The file as an administrator writes it by hand.
    QFETCH(QByteArray, line);
    QFile config(m_dir.filePath("service.conf"));
    QVERIFY(config.open(QIODevice::WriteOnly | QIODevice::Truncate));
    config.write("[General]\n" + line + "\nLogLevel=4\n");
    config.close();

    QVPNServer server(nullptr);
    server.start();
    QTRY_COMPARE(m_webApi.count("/get_user/"), 1);
    QVERIFY(m_webApi.requests.last().endsWith("/Tok9"));
    QVERIFY(!m_log.contains("Critical: Varvex installer"));
}

void TestQVPNServer::logLevelSetsTheThreshold_data()
{
    QTest::addColumn<QVariant>("logLevel");
    QTest::addColumn<int>("threshold");

    QTest::newRow("0") << QVariant(0) << 4;
    QTest::newRow("1") << QVariant(1) << 3;
    QTest::newRow("2") << QVariant(2) << 2;
    QTest::newRow("3") << QVariant(3) << 1;
    QTest::newRow("4") << QVariant(4) << 0;
    QTest::newRow("7 behaves as 2") << QVariant(7) << 2;
    QTest::newRow("-1 behaves as 2") << QVariant(-1) << 2;
    QTest::newRow("text behaves as 0") << QVariant("verbose") << 4;
    QTest::newRow("missing behaves as 2") << QVariant() << 2;
}

void TestQVPNServer::logLevelSetsTheThreshold()
{
    QFETCH(QVariant, logLevel);
    QFETCH(int, threshold);
    QFile::remove(m_dir.filePath("service.conf"));
    if (logLevel.isValid())
        writeSettings({{"LogLevel", logLevel}});

    QVPNServer server(nullptr);
    server.start();
    m_log.mark();
    for (int level = LOG_INFORMATION; level <= LOG_CRITICAL; ++level)
        writeLog(QStringLiteral("probe %1").arg(level), level);
    for (int level = LOG_INFORMATION; level <= LOG_CRITICAL; ++level)
        QCOMPARE(m_log.contains(QStringLiteral("probe %1\r\n").arg(level).toUtf8()), level >= threshold);
}

void TestQVPNServer::webApiWithoutTlsIsAWarningAtStart()
{
    // This test's web API is plain HTTP (VARVEX_API_SCHEME=http).
    const QByteArray warning = "Warning: VARVEX_API_SCHEME=http: the web API is used without TLS";
    m_log.mark();
    {
        QVPNServer server(nullptr);
        server.start();
    }
    QCOMPARE(m_log.count(warning), 1);

    for (const QByteArray& scheme : {QByteArray("https"), QByteArray("tls")}) {
        qputenv("VARVEX_API_SCHEME", scheme);
        m_log.mark();
        {
            QVPNServer server(nullptr);
            server.start();
        }
        QCOMPARE(m_log.count(warning), 0);
        QCOMPARE(m_log.count("VARVEX_API_SCHEME=tls is neither https nor http; the web API is used over https."),
                 scheme == "tls" ? 1 : 0);
    }
    qputenv("VARVEX_API_SCHEME", "http");
}

void TestQVPNServer::staleSocketIsReclaimed()
{
    // A socket file that nobody listens on, as a crashed service leaves it.
    const QByteArray path = QFile::encodeName(m_dir.filePath("tmp/Varvex"));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    qstrncpy(address.sun_path, path.constData(), sizeof(address.sun_path));
    QCOMPARE(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ::close(fd);
    QVERIFY(QFile::exists(path));

    QVPNServer server(nullptr);
    server.start();
    QVERIFY(server.isListening());
    QVERIFY(!m_log.contains("Varvex failed to listen"));

    FrameClient client;
    QVERIFY(client.connectTo("Varvex"));
    QTRY_COMPARE(client.frames().value(0), fromHex("01050d0302"));
}

void TestQVPNServer::liveInstanceKeepsItsName()
{
    QLocalServer other;
    QVERIFY(other.listen("Varvex"));

    QVPNServer server(nullptr);
    server.start();
    QVERIFY(!server.isListening());
    QVERIFY(m_log.contains("Critical: Varvex failed to listen for connections(another instance is running maybe?).\r\n"));

    // Clients still reach the instance that was there first.
    QTest::qWait(50);
    while (other.hasPendingConnections())
        delete other.nextPendingConnection();
    QLocalSocket client;
    client.connectToServer("Varvex");
    QVERIFY(client.waitForConnected(1000));
    QTRY_VERIFY(other.hasPendingConnections());
}

void TestQVPNServer::statusFirstThenFanOutAndBandwidth()
{
    useScenario(ConnectingScenario);
    m_counters.set("lo", 100, 100);
    m_counters.set("tun7", 1234, 5678);
    QVPNServer server(nullptr);
    server.start();

    FrameClient a;
    QVERIFY(a.connectTo("Varvex"));
    QTRY_COMPARE(a.frames().size(), 1);
    QCOMPARE(a.frames().first(), fromHex("01050d0302"));
    QVERIFY(server.bandwidthTimerRunning());

    FrameClient b;
    QVERIFY(b.connectTo("Varvex"));
    QTRY_COMPARE(b.frames().size(), 1);
    QCOMPARE(b.frames().first(), fromHex("01050d0302"));
    // Every new client triggers a certificate check.
    QCOMPARE(m_log.count("call updateCertificate."), 2);

    const uint before = uint(QDateTime::currentSecsSinceEpoch());
    a.send(connectRequest("vpn.example.net", QVPNCredentialsCrypt::encodeUserPass("user", "secret")));
    QTRY_COMPARE(a.statusBytes(), QByteArray("\x03\x00\x01", 3));
    QTRY_COMPARE(b.statusBytes(), QByteArray("\x03\x00\x01", 3));

    const QByteArray connected = a.framesWithCode(VARVEX_CMD_STATUS_UPDATE).last();
    QCOMPARE(connected.size(), 10 + 8);
    QCOMPARE(quint8(connected.at(1)), quint8(18));
    QCOMPARE(connected.mid(4, 9), QByteArray("\x08" "10.8.0.6"));
    const uint connectTime = VarvexFrame::readUInt32(connected, 13);
    QVERIFY(connectTime >= before && connectTime <= uint(QDateTime::currentSecsSinceEpoch()));
    QCOMPARE(b.framesWithCode(VARVEX_CMD_STATUS_UPDATE).last(), connected);

    // Once a second every client gets the tunnel adapter's totals.
    const QByteArray tunnelTotals = fromHex("010d0e01d20400002e16000002");
    QTRY_VERIFY_WITH_TIMEOUT(a.framesWithCode(VARVEX_CMD_BANDWIDTH_UPDATE).contains(tunnelTotals), 2500);
    QTRY_VERIFY_WITH_TIMEOUT(b.framesWithCode(VARVEX_CMD_BANDWIDTH_UPDATE).contains(tunnelTotals), 500);

    // An abort from either client reaches both.
    b.send(VarvexFrame::build(VARVEX_CMD_ABORT_REQUEST));
    QTRY_COMPARE(a.statusBytes(), QByteArray("\x03\x00\x01\x02\x03", 5));
    QTRY_COMPARE(b.statusBytes(), QByteArray("\x03\x00\x01\x02\x03", 5));
    QVERIFY(!m_log.contains("secret"));
}

void TestQVPNServer::lastClientLeavingStopsTimersButNotTheTunnel_data()
{
    QTest::addColumn<bool>("killSwitch");
    QTest::newRow("kill switch off") << false;
    // Nothing but the tunnel may leave: cancelling would leave the machine
    // offline with nothing retrying.
    QTest::newRow("kill switch on: the reconnect goes on") << true;
}

void TestQVPNServer::lastClientLeavingStopsTimersButNotTheTunnel()
{
    QFETCH(bool, killSwitch);
    writeSettings({{"KillSwitch", killSwitch}});
    // OpenVPN ends at once: the controller waits (10 s) to reconnect.
    useScenario("prompt\nexit 0\n");
    QVPNServer server(nullptr);
    server.start();
    {
        FrameClient a;
        QVERIFY(a.connectTo("Varvex"));
        a.send(connectRequest("192.0.2.10", QVPNCredentialsCrypt::encodeUserPass("user", "secret")));
        QTRY_COMPARE(a.statusBytes(), QByteArray("\x03\x00\x04", 3));
        QVERIFY(server.command()->reconnectPending());
        QCOMPARE(server.command()->blockStands(), killSwitch);
        QVERIFY(server.bandwidthTimerRunning());
        a.socket().disconnectFromServer();
        QTRY_COMPARE(server.clientCount(), 0);
    }
    QVERIFY(!server.bandwidthTimerRunning());
    QCOMPARE(server.command()->reconnectPending(), killSwitch);
    QCOMPARE(server.command()->status(), int(QVarvexCommandReconnecting));

    FrameClient next;
    QVERIFY(next.connectTo("Varvex"));
    QTRY_COMPARE(next.frames().value(0), fromHex("01050d0402"));
    QVERIFY(server.bandwidthTimerRunning());
    next.send(VarvexFrame::build(VARVEX_CMD_ABORT_REQUEST));
    QTRY_COMPARE(next.statusBytes(), QByteArray("\x04\x03", 2));
}

void TestQVPNServer::credentialsReply()
{
    QVPNServer server(nullptr);
    server.start();
    FrameClient client;
    QVERIFY(client.connectTo("Varvex"));
    QTRY_COMPARE(client.frames().size(), 1);
    client.clear();

    client.send(fromHex("01040902"));
    QTRY_COMPARE(client.frames().value(0), fromHex("01050a0002"));

    const QByteArray stored = QVPNCredentialsCrypt::encodeUserPass("user", "pass");
    writeSettings({{"Credentials", QString::fromLatin1(stored)}});
    client.clear();
    client.send(fromHex("01040902"));
    QTRY_COMPARE(client.frames().value(0), VarvexFrame::build(VARVEX_CMD_CREDENTIALS_REPLY, char(stored.size()) + stored));

    // 250 bytes of text is the most one frame can carry.
    const QString longest(250, QLatin1Char('A'));
    writeSettings({{"Credentials", longest}});
    client.clear();
    client.send(fromHex("01040902"));
    QTRY_COMPARE(client.frames().size(), 1);
    QCOMPARE(client.frames().first().size(), 255);
    QCOMPARE(client.frames().first().mid(4, 250), longest.toLatin1());

    // Longer text (non-ASCII credentials can get there) would overflow the
    // length byte: an empty field and an Error instead of a broken frame.
    writeSettings({{"Credentials", QString(251, QLatin1Char('A'))}});
    client.clear();
    client.send(fromHex("01040902"));
    QTRY_COMPARE(client.frames().value(0), fromHex("01050a0002"));
    QVERIFY(m_log.contains("Error: socket_readyRead - Stored credentials are too long"));
}

void TestQVPNServer::malformedFramesAreLoggedAndDropped()
{
    useScenario("prompt\nhang\n");
    QVPNServer server(nullptr);
    server.start();
    FrameClient client;
    QVERIFY(client.connectTo("Varvex"));
    QTRY_COMPARE(client.frames().size(), 1);
    client.clear();

    client.send(fromHex("00040102"));  // bad start
    client.send(fromHex("01040503"));  // bad end
    client.send(fromHex("01040802"));  // unknown code
    client.send(fromHex("01040b02"));  // CA file request
    client.send(connectRequest("vpn.example.net", "not-base64!"));
    QTRY_VERIFY(m_log.contains("Debug: socket_readyRead - QVPNCredentialsCrypt::decodeUserPass check failed.\r\n"));
    QVERIFY(m_log.contains("Critical: socket_readyRead - command[0] != VARVEX_PACKET_START\r\n"));
    QVERIFY(m_log.contains("Critical: socket_readyRead - command[command.length() - 1] != VARVEX_PACKET_END\r\n"));
    QVERIFY(m_log.contains("Critical: socket_readyRead - Unknown command recieved.\r\n"));
    QVERIFY(m_log.contains("Debug: socket_readyRead - Update CA file not implemented yet!\r\n"));

    client.send(fromHex("0102"));
    client.send(fromHex("0909"));
    QTRY_VERIFY(m_log.contains("Warning: socket_readyRead - Something arrived, but it's less than 4 bytes. Strange!\r\n"));

    // Nothing of that reached the controller, and the connection still works.
    QTest::qWait(50);
    QCOMPARE(client.statusBytes(), QByteArray());
    client.send(fromHex("01040902"));
    QTRY_COMPARE(client.frames().value(0), fromHex("01050a0002"));

    // A connect and an abort in one read reach the controller in that order.
    m_log.mark();
    client.send(connectRequest("vpn.example.net", QVPNCredentialsCrypt::encodeUserPass("u", "p")) + fromHex("01040502"));
    QTRY_COMPARE(client.statusBytes(), QByteArray("\x00", 1));
    const QByteArray log = m_log.sinceMark();
    QVERIFY(log.indexOf("Information: startVPN") < log.indexOf("Information: stopVPN"));
    QVERIFY(m_log.contains("Can't stop VPN because current status is not QVarvexCommandConnected."));
}

void TestQVPNServer::overlongAddressGivesEmptyField()
{
    useScenario("prompt\nout [" + QByteArray(300, 'x') + "] Peer Connection Initiated with y\\r\\n"
                "Initialization Sequence Completed\\r\\n\nhang\n");
    QVPNServer server(nullptr);
    server.start();
    FrameClient client;
    QVERIFY(client.connectTo("Varvex"));
    client.send(connectRequest("vpn.example.net", QVPNCredentialsCrypt::encodeUserPass("u", "p")));
    QTRY_COMPARE(client.statusBytes(), QByteArray("\x03\x00\x01", 3));
    const QByteArray connected = client.framesWithCode(VARVEX_CMD_STATUS_UPDATE).last();
    QCOMPARE(connected.size(), 10);
    QCOMPARE(connected.at(4), '\0');
    QVERIFY(m_log.contains("Error: statusUpdate - Address too long"));
    client.send(VarvexFrame::build(VARVEX_CMD_ABORT_REQUEST));
    QTRY_COMPARE(server.command()->status(), int(QVarvexCommandDisconnected));
}

void TestQVPNServer::connectedWithoutAddressGivesEmptyField()
{
    useScenario("prompt\nout Initialization Sequence Completed\\r\\n\nhang\n");
    QVPNServer server(nullptr);
    server.start();
    FrameClient client;
    QVERIFY(client.connectTo("Varvex"));
    const uint before = uint(QDateTime::currentSecsSinceEpoch());
    client.send(connectRequest("vpn.example.net", QVPNCredentialsCrypt::encodeUserPass("u", "p")));
    QTRY_COMPARE(client.statusBytes(), QByteArray("\x03\x00\x01", 3));
    const QByteArray connected = client.framesWithCode(VARVEX_CMD_STATUS_UPDATE).last();
    QCOMPARE(connected.size(), 10);
    QCOMPARE(quint8(connected.at(1)), quint8(10));
    QCOMPARE(connected.at(4), '\0');
    QVERIFY(VarvexFrame::readUInt32(connected, 5) >= before);
    client.send(VarvexFrame::build(VARVEX_CMD_ABORT_REQUEST));
    QTRY_COMPARE(server.command()->status(), int(QVarvexCommandDisconnected));
}

void TestQVPNServer::notificationsAfterTheClientLeftAreNotWritten()
{
    // The window between a client going away and the server removing its
    // connection: samples and status changes may still arrive.
    int fds[2];
    QCOMPARE(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    QVPNClientConnection connection(nullptr, quintptr(fds[0]));
    connection.statusUpdate(QVarvexCommandDisconnected);
    QVERIFY(!m_log.contains("Connection is NOT opened."));
    ::close(fds[1]);
    QTRY_COMPARE(connection.socket()->state(), QLocalSocket::UnconnectedState);

    m_log.mark();
    connection.updateBandwidthInfo(0, 1, 2);
    connection.statusUpdate(QVarvexCommandConnecting);
    connection.loginFailed();
    QVERIFY(m_log.contains("Critical: updateBandwidthInfo - Connection is NOT opened.\r\n"));
    QVERIFY(m_log.contains("Critical: statusUpdate - Connection is NOT opened.\r\n"));
    QVERIFY(m_log.contains("Critical: loginFailed - Connection is NOT opened.\r\n"));
}

void TestQVPNServer::stopEndsClientsNewestFirst()
{
    {
        QVPNServer idle(nullptr);
        idle.start();
        m_log.mark();
        idle.stop();
        QVERIFY(!idle.isListening());
        const QByteArray log = m_log.sinceMark();
        QVERIFY(log.contains("Information: stop\r\n"));
        QVERIFY(log.contains("Information: Closing localsocket.\r\n"));
        QVERIFY(!log.contains("Stoping m_BandwidthMonitorTimer timer."));
        QVERIFY(!log.contains("gracefully stoping worker."));
    }

    QVPNServer server(nullptr);
    server.start();
    FrameClient a;
    FrameClient b;
    QVERIFY(a.connectTo("Varvex"));
    QTRY_COMPARE(server.clientCount(), 1);
    QVERIFY(b.connectTo("Varvex"));
    QTRY_COMPARE(server.clientCount(), 2);

    m_log.mark();
    server.stop();
    QCOMPARE(server.clientCount(), 0);
    QVERIFY(!server.bandwidthTimerRunning());
    QVERIFY(!server.isListening());
    QCOMPARE(m_log.count("Debug: gracefully stoping worker."), 2);
    QVERIFY(m_log.contains("Stoping m_BandwidthMonitorTimer timer."));
    QVERIFY(!m_log.contains("force worker to stop the work."));
    QTRY_COMPARE(a.socket().state(), QLocalSocket::UnconnectedState);
    QTRY_COMPARE(b.socket().state(), QLocalSocket::UnconnectedState);
}

void TestQVPNServer::nonReadingClientIsBoundedThenDropped()
{
    writeSettings({{"LogLevel", 2}, {"Credentials", QString::fromLatin1(QVPNCredentialsCrypt::encodeUserPass("user", "pass"))}});
    setupLog(LOG_WARNING, true);
    QVPNServer server(nullptr);
    server.start();
    FrameClient observer;
    QVERIFY(observer.connectTo("Varvex"));
    QTRY_COMPARE(server.clientCount(), 1);

    const int flooder = connectRaw(LocalSocketPath::forName("Varvex"));
    QVERIFY(flooder >= 0);
    QTRY_COMPARE(server.clientCount(), 2);
    QVPNClientConnection* connection = server.findChildren<QVPNClientConnection*>().last();
    QLocalSocket* socket = connection->socket();

    // Credentials requests as fast as the service takes them; their replies
    // are never read.
    QByteArray chunk;
    while (chunk.size() < 16 * 1024)
        chunk += fromHex("01040902");
    qint64 sent = 0;
    qint64 largestUnsent = 0;
    qint64 largestUnread = 0;
    QDeadlineTimer deadline(10000);
    while (server.clientCount() == 2 && !deadline.hasExpired()) {
        const ssize_t n = ::send(flooder, chunk.constData(), size_t(chunk.size()), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0)
            sent += n;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        if (server.clientCount() == 2) {
            largestUnsent = qMax(largestUnsent, socket->bytesToWrite());
            largestUnread = qMax(largestUnread, socket->bytesAvailable());
        }
    }
    ::close(flooder);

    // The service stopped taking requests once its output for the client
    // was full, and the next notification found it full and closed it.
    QCOMPARE(server.clientCount(), 1);
    QVERIFY2(sent < 4 * 1024 * 1024, QByteArray::number(sent));
    QVERIFY2(largestUnsent <= QVPNClientConnection::OutputLimit + VARVEX_PACKET_MAX_SIZE, QByteArray::number(largestUnsent));
    // The toolkit's read-ahead and the connection's own buffer each hold at
    // most about the limit.
    QVERIFY2(largestUnread <= 2 * QVPNClientConnection::ReceiveBufferLimit, QByteArray::number(largestUnread));
    QCOMPARE(m_log.count("Warning: updateBandwidthInfo - Client does not read what is sent to it ("), 1);

    // The observer was served all along and still is.
    QTRY_VERIFY_WITH_TIMEOUT(!observer.framesWithCode(VARVEX_CMD_BANDWIDTH_UPDATE).isEmpty(), 2500);
    observer.clear();
    observer.send(fromHex("01040902"));
    QTRY_COMPARE(observer.framesWithCode(VARVEX_CMD_CREDENTIALS_REPLY).size(), 1);
}

void TestQVPNServer::floodingClientThatReadsIsServedInFull()
{
    const QByteArray stored = QVPNCredentialsCrypt::encodeUserPass("user", "pass");
    writeSettings({{"LogLevel", 2}, {"Credentials", QString::fromLatin1(stored)}});
    setupLog(LOG_WARNING, true);
    QVPNServer server(nullptr);
    server.start();
    FrameClient client;
    QVERIFY(client.connectTo("Varvex"));
    QTRY_COMPARE(client.frames().size(), 1);

    // Far more replies than the output may hold at once: the requests wait
    // while the client catches up, and none is lost.
    const int requests = 8000;
    QByteArray flood;
    for (int i = 0; i < requests; ++i)
        flood += fromHex("01040902");
    client.send(flood);
    const QByteArray reply = VarvexFrame::build(VARVEX_CMD_CREDENTIALS_REPLY, char(stored.size()) + stored);
    QVERIFY(requests * reply.size() > 2 * QVPNClientConnection::OutputLimit);
    QLocalSocket* served = server.findChildren<QVPNClientConnection*>().last()->socket();
    // A client busy elsewhere for a while: it reads nothing, and its socket
    // takes little from the system, until it gets back to it.
    client.socket().setReadBufferSize(4096);
    qint64 largestUnsent = 0;
    QDeadlineTimer busy(1000);
    while (!busy.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        largestUnsent = qMax(largestUnsent, served->bytesToWrite());
    }
    QDeadlineTimer deadline(30000);
    while (client.framesWithCode(VARVEX_CMD_CREDENTIALS_REPLY).size() < requests && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        largestUnsent = qMax(largestUnsent, served->bytesToWrite());
    }
    QCOMPARE(client.framesWithCode(VARVEX_CMD_CREDENTIALS_REPLY).size(), requests);
    QVERIFY2(largestUnsent >= QVPNClientConnection::OutputLimit, QByteArray::number(largestUnsent));
    QVERIFY(largestUnsent <= QVPNClientConnection::OutputLimit + VARVEX_PACKET_MAX_SIZE);
    QCOMPARE(client.framesWithCode(VARVEX_CMD_CREDENTIALS_REPLY).last(), reply);
    QCOMPARE(server.clientCount(), 1);
    QVERIFY(!m_log.contains("Client does not read"));
}

void TestQVPNServer::connectionsBeyondTheCapAreClosedAtOnce()
{
    QVPNServer server(nullptr);
    server.start();
    std::vector<std::unique_ptr<FrameClient>> clients;
    for (int i = 0; i < QVPNServer::MaxClientConnections; ++i) {
        // More at once than the listen backlog holds: let the server accept.
        clients.push_back(std::make_unique<FrameClient>());
        clients.back()->socket().connectToServer("Varvex");
        QCoreApplication::processEvents();
    }
    QTRY_COMPARE(server.clientCount(), QVPNServer::MaxClientConnections);
    QTRY_COMPARE(clients.back()->frames().value(0), fromHex("01050d0302"));

    m_log.mark();
    FrameClient refused;
    FrameClient refusedToo;
    QVERIFY(refused.connectTo("Varvex"));
    QVERIFY(refusedToo.connectTo("Varvex"));
    QTRY_COMPARE(refused.socket().state(), QLocalSocket::UnconnectedState);
    QTRY_COMPARE(refusedToo.socket().state(), QLocalSocket::UnconnectedState);
    QCOMPARE(refused.frames(), QList<QByteArray>());
    QCOMPARE(server.clientCount(), QVPNServer::MaxClientConnections);
    // One line for a burst of refusals; nothing else happens for them.
    QCOMPARE(m_log.count("Warning: incomingConnection - 256 clients are connected already; a new connection was closed at once.\r\n"), 1);
    QCOMPARE(m_log.count("call updateCertificate."), 0);
    QVERIFY(server.isListening());

    clients.front()->socket().disconnectFromServer();
    QTRY_COMPARE(server.clientCount(), QVPNServer::MaxClientConnections - 1);
    FrameClient next;
    QVERIFY(next.connectTo("Varvex"));
    QTRY_COMPARE(next.frames().value(0), fromHex("01050d0302"));
    QCOMPARE(server.clientCount(), QVPNServer::MaxClientConnections);
}

void TestQVPNServer::acceptingSurvivesRunningOutOfDescriptors()
{
    // Certificate requests of earlier tests may still reach the stand-in web
    // API, whose accepts would take the descriptors that this test frees.
    QTest::qWait(500);
    QVPNServer server(nullptr);
    server.start();
    std::vector<int> waiting;
    for (int i = 0; i < 5; ++i) {
        waiting.push_back(connectRaw(LocalSocketPath::forName("Varvex")));
        QVERIFY(waiting.back() >= 0);
    }

    // Take every descriptor the process may still open.
    rlimit original {};
    QCOMPARE(::getrlimit(RLIMIT_NOFILE, &original), 0);
    int highest = 0;
    for (const QString& entry : QDir("/proc/self/fd").entryList(QDir::NoDotAndDotDot | QDir::System))
        highest = qMax(highest, entry.toInt());
    rlimit low = original;
    low.rlim_cur = rlim_t(highest + 1);
    QCOMPARE(::setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> fillers;
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
        fillers.push_back(fd);
    QCOMPARE(errno, EMFILE);

    // Each waiting connection is closed; the server keeps listening.
    QDeadlineTimer deadline(5000);
    int closed = 0;
    while (closed < int(waiting.size()) && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        closed = 0;
        for (int fd : waiting) {
            char byte;
            closed += ::recv(fd, &byte, 1, MSG_DONTWAIT) == 0 ? 1 : 0;
        }
    }
    const bool listening = server.isListening();
    for (int fd : fillers)
        ::close(fd);
    QCOMPARE(::setrlimit(RLIMIT_NOFILE, &original), 0);
    for (int fd : waiting)
        ::close(fd);

    QCOMPARE(closed, int(waiting.size()));
    QVERIFY(listening);
    QCOMPARE(server.clientCount(), 0);
    QCOMPARE(m_log.count("Warning: incomingConnection - Out of file descriptors; a new connection was closed at once.\r\n"), 1);
    FrameClient client;
    QVERIFY(client.connectTo("Varvex"));
    QTRY_COMPARE(client.frames().value(0), fromHex("01050d0302"));
}

void TestQVPNServer::repeatedBadFramesAreSummarised()
{
    QVPNServer server(nullptr);
    server.start();
    {
        FrameClient client;
        QVERIFY(client.connectTo("Varvex"));
        QByteArray flood;
        for (int i = 0; i < 1000; ++i)
            flood += fromHex("00040102") + fromHex("01040802");
        client.send(flood);
        client.send(fromHex("01040902"));
        QTRY_COMPARE(client.framesWithCode(VARVEX_CMD_CREDENTIALS_REPLY).size(), 1);
        QCOMPARE(m_log.count("Critical: socket_readyRead - command[0] != VARVEX_PACKET_START\r\n"), 1);
        QCOMPARE(m_log.count("Critical: socket_readyRead - Unknown command recieved.\r\n"), 1);
        client.socket().disconnectFromServer();
        QTRY_COMPARE(server.clientCount(), 0);
    }
    // The counts are written when the connection goes.
    QTRY_VERIFY(m_log.contains("Critical: socket_readyRead - command[0] != VARVEX_PACKET_START ... repeated 999 times\r\n"));
    QVERIFY(m_log.contains("Critical: socket_readyRead - Unknown command recieved. ... repeated 999 times\r\n"));

    // Another connection's first such line is written again.
    FrameClient other;
    QVERIFY(other.connectTo("Varvex"));
    other.send(fromHex("00040102"));
    QTRY_COMPARE(m_log.count("Critical: socket_readyRead - command[0] != VARVEX_PACKET_START\r\n"), 2);
}

void TestQVPNServer::controlCharactersInAConnectRequestAreRefused_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("username");
    QTest::addColumn<QString>("password");
    QTest::newRow("LF in the user name") << "vpn.example.net" << "user\nsecond" << "pass";
    QTest::newRow("CR in the password") << "vpn.example.net" << "user" << "pa\rss";
    QTest::newRow("tab in the password") << "vpn.example.net" << "user" << "pa\tss";
    QTest::newRow("DEL in the user name") << "vpn.example.net" << "us\x7f" "er" << "pass";
    QTest::newRow("C1 control in the user name") << "vpn.example.net" << QString("us") + QChar(0x85) + "er" << "pass";
    QTest::newRow("LF in the host") << "vpn.example.net\n--up /bin/sh" << "user" << "pass";
    QTest::newRow("NUL in the host") << QString("vpn") + QChar(0) + "x" << "user" << "pass";
}

void TestQVPNServer::controlCharactersInAConnectRequestAreRefused()
{
    QFETCH(QString, host);
    QFETCH(QString, username);
    QFETCH(QString, password);
    useScenario(ConnectingScenario);
    QVPNServer server(nullptr);
    server.start();
    FrameClient client;
    QVERIFY(client.connectTo("Varvex"));
    QTRY_COMPARE(client.statusBytes(), QByteArray("\x03", 1));

    client.send(connectRequest(host.toUtf8(), QVPNCredentialsCrypt::encodeUserPass(username, password)));
    QTRY_VERIFY(m_log.contains("Debug: socket_readyRead - Connect request with a control character in the host, user name or password refused.\r\n"));
    QVERIFY(!m_log.contains("Information: startVPN"));

    // The same request without it starts OpenVPN.
    client.send(connectRequest("vpn.example.net", QVPNCredentialsCrypt::encodeUserPass("user", "pass")));
    QTRY_COMPARE(client.statusBytes(), QByteArray("\x03\x00\x01", 3));
    client.send(VarvexFrame::build(VARVEX_CMD_ABORT_REQUEST));
    QTRY_COMPARE(server.command()->status(), int(QVarvexCommandDisconnected));
}

void TestQVPNServer::allInterfacesSamplesAreDifferences()
{
    uint down = 7;
    uint up = 7;
    m_counters.set("eth0", 1000, 2000);
    m_counters.set("lo", 50, 50);
    QVERIFY(QVPNServer::getNICBytes(QByteArray(), &down, &up));
    m_counters.set("eth0", 1500, 2100);
    m_counters.set("lo", 60, 70);
    QVERIFY(QVPNServer::getNICBytes(QByteArray(), &down, &up));
    QCOMPARE(down, 510u);
    QCOMPARE(up, 120u);

    // A counter that wrapped still gives the right difference; an interface
    // that appeared counts from its second sample.
    m_counters.set("eth0", 0xFFFFFF00u, 2100);
    QVERIFY(QVPNServer::getNICBytes(QByteArray(), &down, &up));
    m_counters.set("eth0", 0x100u, 2100);
    m_counters.set("wlan0", 999, 999);
    QVERIFY(QVPNServer::getNICBytes(QByteArray(), &down, &up));
    QCOMPARE(down, 0x200u);
    QCOMPARE(up, 0u);

    // Two rows with one description share an entry: the later row's values.
    m_counters.rows.clear();
    InterfaceCounters first;
    first.description = "dup";
    first.inOctets = 100;
    InterfaceCounters second = first;
    second.inOctets = 300;
    m_counters.rows = {first, second};
    QVERIFY(QVPNServer::getNICBytes(QByteArray(), &down, &up));
    m_counters.rows[0].inOctets = 110;
    m_counters.rows[1].inOctets = 310;
    QVERIFY(QVPNServer::getNICBytes(QByteArray(), &down, &up));
    QCOMPARE(down, quint32(110 - 300) + 10u);
}

void TestQVPNServer::tunnelSamplesAreTotals()
{
    m_counters.set("eth0", 1, 2);
    m_counters.set("tun0", 0x12345678u, 42);
    uint down = 0;
    uint up = 0;
    QVERIFY(QVPNServer::getNICBytes("tun0", &down, &up));
    QCOMPARE(down, 0x12345678u);
    QCOMPARE(up, 42u);
    QCOMPARE(QVPNServer::getNICDeviceNameFromGuid("tun0"), QByteArray("tun0"));

    down = up = 9;
    QVERIFY(!QVPNServer::getNICBytes("tun5", &down, &up));
    QCOMPARE(down, 9u);
    QCOMPARE(up, 9u);
    QVERIFY(QVPNServer::getNICDeviceNameFromGuid("tun5").isEmpty());
}

void TestQVPNServer::unreadableCountersAreReported()
{
    m_counters.set("tun0", 5, 5);
    m_counters.failAdapters = true;
    QVERIFY(QVPNServer::getNICDeviceNameFromGuid("tun0").isEmpty());
    QVERIFY(m_log.contains("Error: getNICDeviceNameFromGuid - (result != ERROR_BUFFER_OVERFLOW)||(size == 0)"));

    m_counters.failTable = true;
    uint down = 0;
    uint up = 0;
    QVERIFY(!QVPNServer::getNICBytes(QByteArray(), &down, &up));
    QVERIFY(m_log.contains("Error: GetIfTable didn't returned 122. Why, I don't know!"));
    QCOMPARE(down, 0u);
}

void TestQVPNServer::systemCountersAreReadable()
{
    AdapterCounterSource* system = systemAdapterCounterSource();
    QList<InterfaceCounters> rows;
    QVERIFY(system->interfaceTable(&rows));
    bool hasLoopback = false;
    for (const InterfaceCounters& row : rows)
        hasLoopback = hasLoopback || row.description == "lo";
    QVERIFY(hasLoopback);
    QList<AdapterInfo> adapters;
    QVERIFY(system->adapters(&adapters));
    QCOMPARE(adapters.size(), rows.size());
}

QTEST_MAIN(TestQVPNServer)
#include "tst_qvpnserver.moc"
