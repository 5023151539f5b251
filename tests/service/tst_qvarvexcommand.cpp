#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

#include "logreader.h"
#include "fakenft.h"
#include "killswitch.h"
#include "openvpnprocess.h"
#include "processes.h"
#include "qvarvexcommand.h"
#include "varvexlog.h"

namespace {

// Records the designed reconnect waits but waits only briefly, and lets the
// tests feed OpenVPN output without a process.
class ExposedCommand : public QVarvexCommand
{
public:
    QList<int> requestedWaits;
    int actualWait = 1;

    int startReconnectTimer(int milliseconds) override
    {
        requestedWaits.append(milliseconds);
        return startTimer(actualWait);
    }
    void feedOutput(const QByteArray& bytes) { handleOutput(bytes); }
    void feedError(const QByteArray& chunk) { handleError(chunk); }
    int held() const { return heldOutputSize(); }
};

qint64 processGroupOf(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = stat.readAll();
    // After the name: state, parent, process group.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 2 ? fields.at(2).toLongLong() : 0;
}

QList<int> statusesOf(const QSignalSpy& spy)
{
    QList<int> result;
    for (const QList<QVariant>& args : spy)
        result.append(args.at(0).toInt());
    return result;
}

const char* const SuccessfulConnect =
    "prompt\n"
    "out 2026-01-01 10:00:00 [vpn-server-cn] Peer Connection Initiated with [AF_INET]192.0.2.1:443\\r\\n\n"
    "sleep 0.05\n"
    "out 2026-01-01 10:00:00 TUN/TAP device tun7 opened\\r\n"
    "sleep 0.05\n"
    "out \\n2026-01-01 10:00:00 Initializ\n"
    "sleep 0.05\n"
    "out ation Sequence Completed\\r\\n\n"
    "hang\n";

} // namespace

class TestQVarvexCommand : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void startsTheLauncherWithTheFixedArguments();
    void connectsAnswersPromptsAndStopsOnRequest();
    void refusesStartWhileConnectedAndStopWhileConnecting();
    void hostThatWouldBeAnOptionIsRefused();
    void authFailureEndsWithoutReconnect();
    void unexpectedEndsRetryAfter10_30_60sThenGiveUp();
    void startWhileWaitingToReconnectIsAccepted();
    void supersededWaitIsNotLeftRunning();
    void stopWhileWaitingCancelsTheChain();
    void stalledAttemptIsEndedAndRetried();
    void launcherThatCannotRunOpenVpnIsAFailedStart();
    void credentialsWithControlCharactersAreRefused_data();
    void credentialsWithControlCharactersAreRefused();
    void stopReportsDisconnectedOnlyOnceTheProgramHasEnded();
    void destructionEndsAProgramThatIgnoresSigterm();

    void killSwitchBlocksFirstAndLiftsOnlyWhenTheTunnelIsNoLongerWanted();
    void abortWhileConnectingIsAcceptedUnderTheKillSwitch();
    void attemptThatCannotBeBlockedIsAFailedStart_data();
    void attemptThatCannotBeBlockedIsAFailedStart();
    void startAfterAKilledServiceKeepsOnlyAWantedBlock_data();
    void startAfterAKilledServiceKeepsOnlyAWantedBlock();

    void outputSplitAnywhereGivesTheSameLines();
    void peerLineRules();
    void adapterLineRules();
    void guidIsTakenOnlyOnce();
    void initializationMustEndTheLine();
    void eachAuthFailedLineReportsOnce();
    void unknownStderrTextIsLogged();
    void overlongLinesAreDroppedWithOneWarning();

private:
    void useScenario(const QByteArray& steps);
    void useKillSwitch(bool on, bool allowLocalNetwork = true);
    QByteArray nftFile(const QString& name) const;
    bool blockStands() const { return QFile::exists(m_dir.filePath("nft/table-inet-varvex_lockdown")); }
    bool wantedRecordExists() const { return QFile::exists(m_dir.filePath("run/lockdown")); }
    QStringList recorded() const;
    qint64 recordedPid() const;

    QTemporaryDir m_dir;
    LogReader m_log;
};

void TestQVarvexCommand::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY2(QFile::exists(QCoreApplication::applicationDirPath() + "/bin/openvpn"), "fake openvpn missing");
    setupLog(LOG_INFORMATION, true);
    LogReader::removeFile();
    // The controller's settings, record and firewall are this test's own.
    qputenv("VARVEX_SERVICE_CONFIG", m_dir.filePath("service.conf").toLocal8Bit());
    qputenv("VARVEX_RUN_DIR", m_dir.filePath("run").toLocal8Bit());
    QVERIFY(QDir(m_dir.path()).mkpath("run"));
    const QString nftFailure = useFakeNft(m_dir.filePath("nft"));
    QVERIFY2(nftFailure.isEmpty(), qPrintable(nftFailure));
}

void TestQVarvexCommand::init()
{
    // Most cases are about OpenVPN, with server names that do not resolve here.
    useKillSwitch(false);
    QFile::remove(m_dir.filePath("record"));
    qputenv("FAKE_OPENVPN_RECORD", m_dir.filePath("record").toLocal8Bit());
    m_log.mark();
}

void TestQVarvexCommand::useScenario(const QByteArray& steps)
{
    QFile file(m_dir.filePath("scenario"));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(steps);
    file.close();
    qputenv("FAKE_OPENVPN_SCENARIO", file.fileName().toLocal8Bit());
}

void TestQVarvexCommand::useKillSwitch(bool on, bool allowLocalNetwork)
{
    QSettings settings(m_dir.filePath("service.conf"), QSettings::IniFormat);
    settings.setValue("KillSwitch", on);
    settings.setValue("AllowLocalNetwork", allowLocalNetwork);
}

QByteArray TestQVarvexCommand::nftFile(const QString& name) const
{
    QFile file(m_dir.filePath("nft/" + name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList TestQVarvexCommand::recorded() const
{
    QFile file(m_dir.filePath("record"));
    if (!file.open(QIODevice::ReadOnly))
        return QStringList();
    return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
}

qint64 TestQVarvexCommand::recordedPid() const
{
    for (const QString& line : recorded()) {
        if (line.startsWith("pid="))
            return line.mid(4).toLongLong();
    }
    return 0;
}

void TestQVarvexCommand::startsTheLauncherWithTheFixedArguments()
{
    useScenario("hang\n");
    ExposedCommand command;
    command.startVPN("vpn.example.net", "user", "secret");
    QTRY_VERIFY(recorded().contains("arg=--auth-nocache"));

    QStringList args;
    for (const QString& line : recorded()) {
        if (line.startsWith("arg="))
            args.append(line.mid(4));
    }
    const QStringList expected = QStringLiteral(
        "--client --dev tun --proto udp --remote vpn.example.net 443 --resolv-retry infinite --nobind "
        "--persist-key --persist-tun --ca ca.crt --tls-client --remote-cert-tls server --auth-user-pass "
        "--comp-lzo --verb 1 --reneg-sec 0 --connect-retry-max 0 --ping-restart 0 --ping-exit 10 "
        "--socks-proxy-retry 0 --link-mtu 1574 --auth-nocache").split(' ');
    QCOMPARE(args.size(), 35);
    QCOMPARE(args, expected);
    QVERIFY(recorded().contains("cwd=" + QDir(QCoreApplication::applicationDirPath() + "/bin").canonicalPath()));
    QVERIFY(m_log.contains("openvpn call working dir: " + QCoreApplication::applicationDirPath().toUtf8() + "/bin"));
}

void TestQVarvexCommand::connectsAnswersPromptsAndStopsOnRequest()
{
    useScenario(SuccessfulConnect);
    ExposedCommand command;
    QSignalSpy statuses(&command, SIGNAL(statusUpdate(int)));
    const uint before = uint(QDateTime::currentSecsSinceEpoch());
    command.startVPN("vpn.example.net", QString::fromUtf8("jürgen"), "pa55-w0rd!");

    QTRY_COMPARE(command.status(), int(QVarvexCommandConnected));
    QCOMPARE(statusesOf(statuses), (QList<int>{0, 1}));
    QVERIFY(recorded().contains(QString::fromUtf8("user=jürgen")));
    QVERIFY(recorded().contains("pass=pa55-w0rd!"));
    QCOMPARE(command.deviceIP(), QByteArray("vpn-server-cn"));
    QCOMPARE(command.deviceName(), QByteArray("tun7"));
    QCOMPARE(command.deviceGuid(), QByteArray("tun7"));
    QVERIFY(command.connectTime() >= before);
    QVERIFY(command.connectTime() <= uint(QDateTime::currentSecsSinceEpoch()));

    command.stopVPN();
    QTRY_COMPARE(statusesOf(statuses), (QList<int>{0, 1, 2, 3}));
    QTest::qWait(100);
    QCOMPARE(statusesOf(statuses), (QList<int>{0, 1, 2, 3}));
    QCOMPARE(command.connectTime(), 0u);
    QVERIFY(command.requestedWaits.isEmpty());
    QVERIFY(m_log.contains("OpenVPN username sent"));
    QVERIFY(m_log.contains("OpenVPN password sent"));
    QVERIFY(m_log.contains("No need to change status(same values)."));
    QVERIFY2(!m_log.contains("pa55-w0rd!"), "the password reached the log");
}

void TestQVarvexCommand::refusesStartWhileConnectedAndStopWhileConnecting()
{
    useScenario("prompt\nsleep 0.3\nout Initialization Sequence Completed\\r\\n\nhang\n");
    ExposedCommand command;
    command.startVPN("a.example.net", "user", "secret");
    QCOMPARE(command.status(), int(QVarvexCommandConnecting));

    command.stopVPN();
    QVERIFY(m_log.contains("Can't stop VPN because current status is not QVarvexCommandConnected."));
    QCOMPARE(command.status(), int(QVarvexCommandConnecting));

    // The attempt goes on and reaches the connected state.
    QTRY_COMPARE(command.status(), int(QVarvexCommandConnected));
    command.startVPN("b.example.net", "user", "secret");
    QVERIFY(m_log.contains("Can't start VPN because current status is not QVarvexCommandDisconnected."));
    QCOMPARE(command.status(), int(QVarvexCommandConnected));
    QCOMPARE(recorded().count("start"), 1);
}

void TestQVarvexCommand::hostThatWouldBeAnOptionIsRefused()
{
    useScenario("prompt\nhang\n");
    ExposedCommand command;
    QSignalSpy statuses(&command, SIGNAL(statusUpdate(int)));
    command.startVPN("--config", "user", "secret");
    QVERIFY(m_log.contains("Warning: Can't start VPN because the host name begins with \"--\"."));
    QCOMPARE(command.status(), int(QVarvexCommandDisconnected));
    QTest::qWait(50);
    QVERIFY(statuses.isEmpty());
    QCOMPARE(recorded().count("start"), 0);

    // A host with a hyphen elsewhere is an ordinary host.
    command.startVPN("vpn-1.example.net", "user", "secret");
    QTRY_VERIFY(recorded().contains("arg=vpn-1.example.net"));
}

void TestQVarvexCommand::authFailureEndsWithoutReconnect()
{
    useScenario("prompt\nout x [cn] Peer Connection Initiated with [AF_INET]192.0.2.1:443\\r\\n"
                "AUTH: Received control message: AUTH_FAILED\\r\\n\nexit 0\n");
    ExposedCommand command;
    QSignalSpy statuses(&command, SIGNAL(statusUpdate(int)));
    QSignalSpy failures(&command, SIGNAL(loginFailed()));
    command.startVPN("vpn.example.net", "user", "wrong");

    QTRY_COMPARE(statusesOf(statuses), (QList<int>{0, 3}));
    QCOMPARE(failures.count(), 1);
    QVERIFY(command.requestedWaits.isEmpty());
    QVERIFY(m_log.contains("Warning: Login failed"));
}

void TestQVarvexCommand::unexpectedEndsRetryAfter10_30_60sThenGiveUp()
{
    useScenario("prompt\nexit 0\n");
    ExposedCommand command;
    QSignalSpy statuses(&command, SIGNAL(statusUpdate(int)));
    command.startVPN("vpn.example.net", "user", "secret");

    QTRY_COMPARE(statusesOf(statuses), (QList<int>{0, 4, 0, 4, 0, 4, 0, 3}));
    QCOMPARE(command.requestedWaits, (QList<int>{10000, 30000, 60000}));
    QCOMPARE(recorded().count("start"), 4);
    // Every retry uses the stored host and credentials.
    QCOMPARE(recorded().count("arg=vpn.example.net"), 4);
    QCOMPARE(recorded().count("pass=secret"), 4);
    QCOMPARE(m_log.count("timerEvent - Reconncet timer triggered."), 3);

    // A fresh start after giving up begins the chain anew.
    statuses.clear();
    command.requestedWaits.clear();
    command.startVPN("vpn.example.net", "user", "secret");
    QTRY_COMPARE(statusesOf(statuses), (QList<int>{0, 4, 0, 4, 0, 4, 0, 3}));
    QCOMPARE(command.requestedWaits, (QList<int>{10000, 30000, 60000}));
}

void TestQVarvexCommand::startWhileWaitingToReconnectIsAccepted()
{
    useScenario("prompt\nexit 0\n");
    ExposedCommand command;
    command.actualWait = 400;
    command.startVPN("vpn.example.net", "user", "secret");
    QTRY_COMPARE(command.status(), int(QVarvexCommandReconnecting));

    useScenario("prompt\nhang\n");
    command.startVPN("other.example.net", "user", "secret");
    QCOMPARE(command.status(), int(QVarvexCommandConnecting));
    // The old wait still fires; its start is refused and the attempt stays.
    QTRY_VERIFY(m_log.contains("Can't start VPN because current status is not QVarvexCommandDisconnected."));
    QCOMPARE(command.status(), int(QVarvexCommandConnecting));
    QCOMPARE(recorded().count("start"), 2);
}

void TestQVarvexCommand::supersededWaitIsNotLeftRunning()
{
    useScenario("prompt\nexit 0\n");
    ExposedCommand command;
    command.actualWait = 300;
    command.startVPN("vpn.example.net", "user", "secret");
    QTRY_COMPARE(command.status(), int(QVarvexCommandReconnecting));

    // Started while the first wait runs, and ended before it fires.
    command.startVPN("vpn.example.net", "user", "secret");
    QTRY_COMPARE(command.status(), int(QVarvexCommandDisconnected));
    QTest::qWait(700);
    QVERIFY2(!m_log.contains("Unknown timer triggered."), m_log.sinceMark().constData());
    QCOMPARE(command.status(), int(QVarvexCommandDisconnected));
}

void TestQVarvexCommand::stopWhileWaitingCancelsTheChain()
{
    useScenario("prompt\nexit 0\n");
    ExposedCommand command;
    command.actualWait = 60000;
    command.startVPN("vpn.example.net", "user", "secret");
    QTRY_COMPARE(command.status(), int(QVarvexCommandReconnecting));

    // The last client leaving only cancels the wait; the status stays 4.
    command.stopReconnectTimer();
    QCOMPARE(command.status(), int(QVarvexCommandReconnecting));

    QSignalSpy statuses(&command, SIGNAL(statusUpdate(int)));
    command.stopVPN();
    QCOMPARE(statusesOf(statuses), (QList<int>{3}));
    QVERIFY(m_log.contains("Stop reconnect."));
    QTest::qWait(50);
    QCOMPARE(recorded().count("start"), 1);
}

void TestQVarvexCommand::stalledAttemptIsEndedAndRetried()
{
    // Never reaches "Initialization Sequence Completed", like OpenVPN
    // retrying a rejected certificate for ever.
    useScenario("prompt\nout Cannot verify the certificate\\r\\n\nhang\n");
    ExposedCommand command;
    command.setConnectingTimeout(150);
    QCOMPARE(QVarvexCommand::DefaultConnectingTimeout, 60000);
    QSignalSpy statuses(&command, SIGNAL(statusUpdate(int)));
    command.startVPN("vpn.example.net", "user", "secret");

    QTRY_COMPARE_WITH_TIMEOUT(statusesOf(statuses), (QList<int>{0, 4, 0, 4, 0, 4, 0, 3}), 5000);
    QCOMPARE(command.requestedWaits, (QList<int>{10000, 30000, 60000}));
    QCOMPARE(m_log.count("did not complete initialization"), 4);
    QVERIFY(!m_log.contains("openvpn.exe process call failed"));
}

void TestQVarvexCommand::launcherThatCannotRunOpenVpnIsAFailedStart()
{
    // What the launcher does when the system's OpenVPN is missing.
    useScenario("err openvpn launcher: cannot run /usr/sbin/openvpn: No such file or directory\\r\\n\n"
                "exit 127\n");
    ExposedCommand command;
    QSignalSpy statuses(&command, SIGNAL(statusUpdate(int)));
    command.startVPN("vpn.example.net", "user", "secret");

    QTRY_COMPARE(statusesOf(statuses), (QList<int>{0, 3}));
    QTest::qWait(100);
    QCOMPARE(statusesOf(statuses), (QList<int>{0, 3}));
    QVERIFY(command.requestedWaits.isEmpty());
    QCOMPARE(m_log.count("Critical: openvpn.exe process call failed. Error: FailedToStart\r\n"), 1);

    // Any other early end is an unexpected end and is retried.
    useScenario("exit 1\n");
    statuses.clear();
    command.actualWait = 60000;
    command.startVPN("vpn.example.net", "user", "secret");
    QTRY_COMPARE(statusesOf(statuses), (QList<int>{0, 4}));
    QCOMPARE(command.requestedWaits, (QList<int>{10000}));
}

void TestQVarvexCommand::credentialsWithControlCharactersAreRefused_data()
{
    QTest::addColumn<QString>("username");
    QTest::addColumn<QString>("password");
    QTest::newRow("LF in the user name") << QString("user\nname") << QString("secret");
    QTest::newRow("CR LF in the password") << QString("user") << QString("sec\r\nret");
    QTest::newRow("CR at the end") << QString("user") << QString("secret\r");
    QTest::newRow("NUL") << QString::fromUtf8("us\0er", 5) << QString("secret");
    QTest::newRow("DEL") << QString("user") << QString("sec\x7fret");
    QTest::newRow("C1 control") << QString("user") << (QString("sec") + QChar(0x85) + "ret");
}

void TestQVarvexCommand::credentialsWithControlCharactersAreRefused()
{
    QFETCH(QString, username);
    QFETCH(QString, password);
    useScenario("prompt\nhang\n");
    ExposedCommand command;
    QSignalSpy statuses(&command, SIGNAL(statusUpdate(int)));
    command.startVPN("vpn.example.net", username, password);
    QVERIFY(m_log.contains("Warning: Can't start VPN because the user name or password contains a control character."));
    QCOMPARE(command.status(), int(QVarvexCommandDisconnected));
    QTest::qWait(50);
    QVERIFY(statuses.isEmpty());
    QCOMPARE(recorded().count("start"), 0);
}

void TestQVarvexCommand::stopReportsDisconnectedOnlyOnceTheProgramHasEnded()
{
    // A program that does not end on SIGTERM: the stop is forced after the
    // grace period, and status 3 waits for that.
    useScenario("prompt\nout Initialization Sequence Completed\\r\\n\nignore-term\nhang\n");
    ExposedCommand command;
    QSignalSpy statuses(&command, SIGNAL(statusUpdate(int)));
    command.startVPN("vpn.example.net", "user", "secret");
    QTRY_COMPARE(command.status(), int(QVarvexCommandConnected));
    const qint64 pid = recordedPid();
    QVERIFY(pid > 0);
    // A group of its own, so a forced stop reaches whatever it started.
    QCOMPARE(processGroupOf(pid), pid);

    QElapsedTimer stopping;
    stopping.start();
    command.stopVPN();
    QCOMPARE(statusesOf(statuses), (QList<int>{0, 1, 2}));
    QTest::qWait(500);
    QVERIFY(!processGone(pid));
    QCOMPARE(statusesOf(statuses), (QList<int>{0, 1, 2}));
    // Refused while the old process still runs: no second one beside it.
    command.startVPN("vpn.example.net", "user", "secret");
    QCOMPARE(recorded().count("start"), 1);

    QTRY_COMPARE_WITH_TIMEOUT(statusesOf(statuses), (QList<int>{0, 1, 2, 3}),
                              OpenVpnProcess::StopGracePeriod + 3000);
    QVERIFY(processGone(pid));
    QVERIFY2(stopping.elapsed() >= OpenVpnProcess::StopGracePeriod - 100, qPrintable(QString::number(stopping.elapsed())));
    QVERIFY(command.requestedWaits.isEmpty());
}

void TestQVarvexCommand::destructionEndsAProgramThatIgnoresSigterm()
{
    useScenario("prompt\nignore-term\nhang\n");
    qint64 pid = 0;
    {
        ExposedCommand command;
        command.startVPN("vpn.example.net", "user", "secret");
        QTRY_VERIFY(recorded().contains("pass=secret"));
        pid = recordedPid();
        QVERIFY(pid > 0);
    }
    QVERIFY(processGone(pid));
}

void TestQVarvexCommand::killSwitchBlocksFirstAndLiftsOnlyWhenTheTunnelIsNoLongerWanted()
{
    // Off: the firewall is never asked.
    QFile::remove(m_dir.filePath("nft/calls"));
    QFile::remove(m_dir.filePath("nft/batches"));
    useScenario(SuccessfulConnect);
    {
        ExposedCommand command;
        command.startVPN("192.0.2.10", "user", "secret");
        QTRY_COMPARE(command.status(), int(QVarvexCommandConnected));
        QVERIFY(!recorded().contains("remote-addresses=192.0.2.10"));
        command.stopVPN();
        QTRY_COMPARE(command.status(), int(QVarvexCommandDisconnected));
    }
    QVERIFY2(!QFile::exists(m_dir.filePath("nft/calls")), nftFile("calls").constData());

    useKillSwitch(true, false);
    QFile::remove(m_dir.filePath("record"));
    // OpenVPN may complete before nft has: connected only once the block stands.
    useScenario("prompt\nout Initialization Sequence Completed\\r\\n\nhang\n");
    QFile slowNft(m_dir.filePath("nft/slow"));
    QVERIFY(slowNft.open(QIODevice::WriteOnly));
    slowNft.close();
    ExposedCommand command;
    command.actualWait = 60000;
    bool blockedWhenConnected = false;
    connect(&command, &QVarvexCommand::statusUpdate, this, [&](int status) {
        if (status == QVarvexCommandConnected)
            blockedWhenConnected = blockStands();
    });
    command.startVPN("192.0.2.10", "user", "secret");
    QTRY_COMPARE(command.status(), int(QVarvexCommandConnected));
    QVERIFY(blockedWhenConnected);
    QVERIFY(slowNft.remove());
    // The arguments stay the service's; the resolved addresses go beside them.
    QVERIFY(recorded().contains("arg=192.0.2.10"));
    QVERIFY(recorded().contains("remote-addresses=192.0.2.10"));
    QVERIFY(recorded().contains("lockdown=1"));
    const QByteArray table = nftFile("table-inet-varvex_lockdown");
    for (const QByteArray& line : { QByteArray("type filter hook output priority 0; policy drop;"),
                                    QByteArray("type filter hook input priority 0; policy drop;"),
                                    QByteArray("oifname \"tun*\" accept"),
                                    QByteArray("ip daddr { 192.0.2.10 } udp dport 443 accept"),
                                    QByteArray("ip saddr { 192.0.2.10 } udp sport 443 accept"),
                                    QByteArray("meta l4proto { tcp, udp } th dport { 53, 853 } drop") })
        QVERIFY2(table.contains(line), line.constData());
    QVERIFY2(!table.contains("192.168.0.0/16"), "the local network is let through although it is not allowed");
    QVERIFY(wantedRecordExists());

    // An unexpected end: the tunnel is still wanted, so the block stays
    // through the wait, and through the last client leaving.
    ::kill(pid_t(recordedPid()), SIGKILL);
    QTRY_COMPARE(command.status(), int(QVarvexCommandReconnecting));
    QVERIFY(command.blockStands());
    QTest::qWait(200);
    QVERIFY(blockStands());

    command.stopVPN();
    QCOMPARE(command.status(), int(QVarvexCommandDisconnected));
    QTRY_VERIFY(!blockStands());
    QTRY_VERIFY(!wantedRecordExists());
    QTRY_VERIFY(m_log.contains("Kill switch: lifted"));
    // Applied once and read back as the kernel echoes it, removed once by its name.
    QCOMPARE(nftFile("batches").count("\n--\n"), 2);
    QVERIFY(nftFile("batches").endsWith("--\ntable inet varvex_lockdown\ndelete table inet varvex_lockdown\n--\n"));
    QCOMPARE(nftFile("calls"), QByteArray("--echo -f -\n-f -\n"));
}

void TestQVarvexCommand::abortWhileConnectingIsAcceptedUnderTheKillSwitch()
{
    useKillSwitch(true);
    useScenario("prompt\nhang\n");
    ExposedCommand command;
    QSignalSpy statuses(&command, SIGNAL(statusUpdate(int)));
    command.startVPN("192.0.2.10", "user", "secret");
    QTRY_VERIFY(recorded().contains("pass=secret"));
    QTRY_VERIFY(blockStands());
    QVERIFY(nftFile("table-inet-varvex_lockdown").contains("ip daddr { 10.0.0.0/8, 172.16.0.0/12, 192.168.0.0/16"));

    command.stopVPN();
    QTRY_COMPARE(statusesOf(statuses), (QList<int>{0, 3}));
    QTRY_VERIFY(!blockStands());
    QVERIFY(command.requestedWaits.isEmpty());
    QVERIFY(!m_log.contains("Can't stop VPN"));
}

void TestQVarvexCommand::attemptThatCannotBeBlockedIsAFailedStart_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("nftFault");
    QTest::addColumn<QByteArray>("critical");
    QTest::newRow("nft refuses the batch") << "192.0.2.10" << "fail" << QByteArray("The kill switch could not be applied");
    QTest::newRow("the kernel reports nothing back") << "192.0.2.10" << "silent"
                                                     << QByteArray("did not report the table back");
    QTest::newRow("the name does not resolve") << "" << "" << QByteArray("does not resolve");
}

void TestQVarvexCommand::attemptThatCannotBeBlockedIsAFailedStart()
{
    QFETCH(QString, host);
    QFETCH(QString, nftFault);
    QFETCH(QByteArray, critical);
    useKillSwitch(true);
    useScenario("prompt\nhang\n");
    QFile fail(m_dir.filePath("nft/" + (nftFault.isEmpty() ? QStringLiteral("none") : nftFault)));
    if (!nftFault.isEmpty())
        QVERIFY(fail.open(QIODevice::WriteOnly));
    ExposedCommand command;
    QSignalSpy statuses(&command, SIGNAL(statusUpdate(int)));
    command.startVPN(host, "user", "secret");
    QTRY_COMPARE(statusesOf(statuses), (QList<int>{0, 3}));
    fail.remove();
    QTRY_VERIFY(!wantedRecordExists());
    QVERIFY(!blockStands());
    QVERIFY2(m_log.contains(critical) && m_log.contains("Critical: The "), m_log.sinceMark().constData());
    // No tunnel without its protection: an OpenVPN already started is ended.
    QTRY_VERIFY(recordedPid() == 0 || processGone(recordedPid()));
    QTest::qWait(100);
    QCOMPARE(statusesOf(statuses), (QList<int>{0, 3}));
    QVERIFY(command.requestedWaits.isEmpty());
}

void TestQVarvexCommand::startAfterAKilledServiceKeepsOnlyAWantedBlock_data()
{
    QTest::addColumn<bool>("wanted");
    QTest::addColumn<bool>("blocked");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("blockAfter");
    QTest::addColumn<QByteArray>("warning");
    QTest::newRow("wanted and blocked") << true << true << int(QVarvexCommandReconnecting) << true
                                        << QByteArray("its block is kept until Connect or Disconnect");
    QTest::newRow("blocked, not wanted") << false << true << int(QVarvexCommandDisconnected) << false
                                         << QByteArray("no tunnel that is wanted; removing it");
    QTest::newRow("wanted, block gone") << true << false << int(QVarvexCommandDisconnected) << false
                                        << QByteArray("but its block is gone");
}

void TestQVarvexCommand::startAfterAKilledServiceKeepsOnlyAWantedBlock()
{
    QFETCH(bool, wanted);
    QFETCH(bool, blocked);
    QFETCH(int, status);
    QFETCH(bool, blockAfter);
    QFETCH(QByteArray, warning);
    KillSwitch::Plan plan;
    plan.host = "vpn.example.net";
    plan.serverAddresses = QStringList { "192.0.2.10", "2001:db8::10" };
    QString error;
    QVERIFY2(KillSwitch::block(plan, &error), qPrintable(error));
    if (!wanted)
        KillSwitch::forgetPlan();
    if (!blocked)
        QVERIFY(QFile::remove(m_dir.filePath("nft/table-inet-varvex_lockdown")));
    QVERIFY(nftFile("batches").contains("ip6 daddr { 2001:db8::10 } udp dport 443 accept"));

    ExposedCommand command;
    command.resumeAfterRestart();
    QTRY_VERIFY2(m_log.contains(warning), m_log.sinceMark().constData());
    QTRY_COMPARE(command.status(), status);
    QVERIFY(!command.reconnectPending());
    QCOMPARE(command.blockStands(), blockAfter);
    QTRY_COMPARE(blockStands(), blockAfter);
    QTRY_COMPARE(wantedRecordExists(), blockAfter);
    if (!blockAfter)
        return;

    // A connect to the same server reuses the addresses: no look-up can pass the block.
    useKillSwitch(true);
    useScenario("prompt\nhang\n");
    command.startVPN("vpn.example.net", "user", "secret");
    QTRY_VERIFY(recorded().contains("remote-addresses=192.0.2.10 2001:db8::10"));
    command.stopVPN();
    QTRY_COMPARE(command.status(), int(QVarvexCommandDisconnected));
    QTRY_VERIFY(!blockStands());
}

void TestQVarvexCommand::outputSplitAnywhereGivesTheSameLines()
{
    const QByteArray output = "Peer x] Peer Connection Initiated with y\r\nsome line\r\n"
                              "TUN/TAP device tun3 opened\r\nInitialization Sequence Completed\r\ntail";
    ExposedCommand whole;
    whole.feedOutput(output);
    QCOMPARE(whole.status(), int(QVarvexCommandConnected));

    for (int cut = 1; cut < output.size(); ++cut) {
        ExposedCommand split;
        split.feedOutput(output.left(cut));
        split.feedOutput(output.mid(cut));
        QCOMPARE(split.deviceIP(), QByteArray("Peer x"));
        QCOMPARE(split.deviceName(), QByteArray("tun3"));
        QCOMPARE(split.status(), int(QVarvexCommandConnected));
    }

    // A bare line feed does not end a line; the rest waits for CR LF.
    ExposedCommand lf;
    lf.feedOutput("Initialization Sequence Completed\n");
    QCOMPARE(lf.status(), int(QVarvexCommandDisconnected));
    lf.feedOutput("\r\n");
    QCOMPARE(lf.status(), int(QVarvexCommandDisconnected));
}

void TestQVarvexCommand::peerLineRules()
{
    ExposedCommand command;
    command.feedOutput("no bracket] Peer Connection Initiated with 1.2.3.4\r\n");
    QCOMPARE(command.deviceIP(), QByteArray("no bracket"));

    m_log.mark();
    command.feedOutput("[] Peer Connection Initiated with x\r\n");
    QCOMPARE(command.deviceIP(), QByteArray("no bracket"));
    QVERIFY(m_log.contains("Error: Failed to set m_deviceIP"));

    // A peer line that also ends like the completion line is only a peer line.
    command.feedOutput("[10.8.0.6] Peer Connection Initiated with Initialization Sequence Completed\r\n");
    QCOMPARE(command.deviceIP(), QByteArray("10.8.0.6"));
    QCOMPARE(command.status(), int(QVarvexCommandDisconnected));
}

void TestQVarvexCommand::adapterLineRules()
{
    ExposedCommand command;
    command.feedOutput("TAP-WIN32 device [Local Area Connection 2] opened\r\n");
    QCOMPARE(command.deviceName(), QByteArray("Local Area Connection 2"));

    command.feedOutput("TAP-WIN32 device [] opened\r\n");
    QCOMPARE(command.deviceName(), QByteArray("Local Area Connection 2"));
    QVERIFY(m_log.contains("Error: Failed to set m_deviceName"));

    m_log.mark();
    command.feedOutput("TUN/TAP device  opened\r\n");
    QVERIFY(m_log.contains("Error: Failed to set m_deviceName"));
    QVERIFY(command.deviceGuid().isEmpty());

    command.feedOutput("2026-01-01 10:00:00 TUN/TAP device tun0 opened\r\n");
    QCOMPARE(command.deviceName(), QByteArray("tun0"));
    QCOMPARE(command.deviceGuid(), QByteArray("tun0"));
    command.feedOutput("TUN/TAP device tun1 opened\r\n");
    QCOMPARE(command.deviceName(), QByteArray("tun1"));
    QCOMPARE(command.deviceGuid(), QByteArray("tun0"));
}

void TestQVarvexCommand::guidIsTakenOnlyOnce()
{
    ExposedCommand command;
    command.feedOutput("Notified TAP-Win32 driver to set a DHCP IP/netmask of 10.8.0.6/255.255.255.252 on interface {AB-12} [DHCP-serv: 10.8.0.5]\r\n");
    QCOMPARE(command.deviceGuid(), QByteArray("{AB-12}"));
    command.feedOutput("Successful ARP Flush on interface [7] {CD-34}\r\n");
    QCOMPARE(command.deviceGuid(), QByteArray("{AB-12}"));

    ExposedCommand noBraces;
    noBraces.feedOutput("Successful ARP Flush on interface [7] no guid}\r\n");
    QVERIFY(noBraces.deviceGuid().isEmpty());
    QVERIFY(m_log.contains("Error: Failed to set m_deviceGuid"));

    // Once the GUID is known such a line falls through to the later rules.
    ExposedCommand later;
    later.feedOutput("Successful ARP Flush on interface {X}\r\n");
    later.feedOutput("Successful ARP Flush on interface {Y} Initialization Sequence Completed\r\n");
    QCOMPARE(later.status(), int(QVarvexCommandConnected));
}

void TestQVarvexCommand::initializationMustEndTheLine()
{
    ExposedCommand command;
    command.feedOutput("Initialization Sequence Completed \r\n");
    QCOMPARE(command.status(), int(QVarvexCommandDisconnected));
    command.feedOutput("2026-01-01 Initialization Sequence Completed\r\n");
    QCOMPARE(command.status(), int(QVarvexCommandConnected));
}

void TestQVarvexCommand::eachAuthFailedLineReportsOnce()
{
    ExposedCommand command;
    QSignalSpy failures(&command, SIGNAL(loginFailed()));
    command.feedOutput("AUTH_FAILED\r\nAUTH: Received control message: AUTH_FAILED\r\nother\r\n");
    QCOMPARE(failures.count(), 2);
    QCOMPARE(command.status(), int(QVarvexCommandDisconnected));
}

void TestQVarvexCommand::unknownStderrTextIsLogged()
{
    ExposedCommand command;
    command.feedError("Enter Auth Username: ");
    command.feedError("\r\n");
    QCOMPARE(m_log.count("OpenVPN sent unknown text to stderr: "), 1);
    QVERIFY(m_log.contains("Error: OpenVPN sent unknown text to stderr: Enter Auth Username: "));
    QVERIFY(!m_log.contains("OpenVPN username sent"));
}

void TestQVarvexCommand::overlongLinesAreDroppedWithOneWarning()
{
    const int max = QVarvexCommand::MaxOutputLineLength;
    QCOMPARE(max, 64 * 1024);
    const QByteArray chunk(4096, 'x');

    // Without a line end nothing more than one line is held, and a single
    // warning covers the whole dropped line.
    ExposedCommand command;
    for (int i = 0; i < 64; ++i) {
        command.feedOutput(chunk);
        QVERIFY(command.held() <= max + chunk.size());
    }
    QVERIFY(command.held() <= max);
    // The dropped line's end, split between CR and LF, and then a line that
    // counts again.
    command.feedOutput("Initialization Sequence Completed\r");
    command.feedOutput("\nInitialization Sequence Completed\r\n");
    QCOMPARE(command.status(), int(QVarvexCommandConnected));
    QCOMPARE(command.held(), 0);
    QCOMPARE(m_log.count("Warning: process_readyReadOutput - Dropped an OpenVPN output line longer than 65536 bytes."), 1);

    // A line just within the limit is a line, however it arrives; one just
    // beyond it is dropped, whole or split.
    const QByteArray longest = QByteArray(max - 33, 'y') + "Initialization Sequence Completed";
    QCOMPARE(longest.size(), max);
    ExposedCommand withinWhole;
    withinWhole.feedOutput(longest + "\r\n");
    QCOMPARE(withinWhole.status(), int(QVarvexCommandConnected));
    ExposedCommand withinSplit;
    withinSplit.feedOutput(longest + "\r");
    withinSplit.feedOutput("\n");
    QCOMPARE(withinSplit.status(), int(QVarvexCommandConnected));

    m_log.mark();
    ExposedCommand beyondWhole;
    beyondWhole.feedOutput("y" + longest + "\r\nAUTH_FAILED\r\n");
    QCOMPARE(beyondWhole.status(), int(QVarvexCommandDisconnected));
    ExposedCommand beyondSplit;
    QSignalSpy failures(&beyondSplit, SIGNAL(loginFailed()));
    beyondSplit.feedOutput("y" + longest.left(100));
    beyondSplit.feedOutput(longest.mid(100));
    beyondSplit.feedOutput("\r\nAUTH_FAILED\r\n");
    QCOMPARE(beyondSplit.status(), int(QVarvexCommandDisconnected));
    QCOMPARE(failures.count(), 1);
    QCOMPARE(m_log.count("Dropped an OpenVPN output line"), 2);
}

QTEST_MAIN(TestQVarvexCommand)
#include "tst_qvarvexcommand.moc"
