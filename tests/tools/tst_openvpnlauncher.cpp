#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <signal.h>

#include "launcherexitstatus.h"
#include "processes.h"

namespace {

// Stands in for OpenVPN: records what it was given in a JSON report, reads
// the credentials file twice as OpenVPN does with --auth-nocache, then
// behaves as FAKE_MODE says.
const char FakeOpenVpn[] = R"PY(
import json, os, signal, sys, time
info = {"argv": sys.argv[1:], "pid": os.getpid(), "ppid": os.getppid()}
with open("/proc/self/cmdline", "rb") as f:
    info["cmdline"] = f.read().decode("latin-1")
args = sys.argv[1:]
if "--auth-user-pass" in args:
    i = args.index("--auth-user-pass")
    if i + 1 < len(args) and args[i + 1].startswith("/dev/fd/"):
        path = args[i + 1]
        info["authMode"] = os.stat(path).st_mode & 0o777
        info["authTarget"] = os.readlink("/proc/self/fd/" + path[len("/dev/fd/"):])
        reads = []
        for _ in range(2):
            with open(path) as f:
                reads.append(f.read())
        info["authReads"] = reads
info["stdinIsNull"] = os.path.samestat(os.fstat(0), os.stat("/dev/null"))
report = os.environ["FAKE_REPORT"]
with open(report + ".tmp", "w") as f:
    json.dump(info, f)
os.rename(report + ".tmp", report)

mode = os.environ.get("FAKE_MODE", "lines")
out = sys.stdout
if mode == "lines":
    out.write("first line\n")
    out.write("split ")
    out.flush()
    time.sleep(0.1)
    out.write("line\nalready crlf\r\n")
    out.flush()
    sys.stderr.write("a warning\n")
    sys.stderr.flush()
    out.write("no newline at the end")
    out.flush()
    sys.exit(7)
elif mode == "selfkill":
    os.kill(os.getpid(), signal.SIGKILL)
elif mode in ("hooks", "hooks-selfkill"):
    # As OpenVPN runs its scripts: the command split as a shell would, its
    # own arguments after it, and only its own variables and --setenv's.
    import shlex, subprocess
    env = {"dev": "tun0", "trusted_ip": "192.0.2.77", "foreign_option_1": "dhcp-option DNS 10.8.0.1"}
    for i, a in enumerate(args):
        if a == "--setenv":
            env[args[i + 1]] = args[i + 2]
    def run_script(option, script_type):
        command = shlex.split(args[args.index(option) + 1])
        subprocess.run(command + ["tun0", "1500", "0", "10.8.0.2", "255.255.255.0", "init"],
                       env=dict(env, script_type=script_type), check=True)
    run_script("--up", "up")
    run_script("--route-up", "route-up")
    out.write("Initialization Sequence Completed\n")
    out.flush()
    if mode == "hooks-selfkill":
        os.kill(os.getpid(), signal.SIGKILL)
    run_script("--down", "down")
elif mode == "exit127":
    sys.exit(127)
elif mode == "ignoreterm":
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    out.write("ignoring SIGTERM\n")
    out.flush()
    time.sleep(30)
    sys.exit(6)
elif mode == "wait":
    def stop(signum, frame):
        out.write("stopped by %d\n" % signum)
        out.flush()
        sys.exit(5)
    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    # Bounded, so that a failed test leaves nothing running for long.
    time.sleep(30)
    sys.exit(6)
)PY";

// Starts the launcher with a given parent, so that its parent can be killed.
const char Intermediary[] = R"PY(
import subprocess, sys, time
p = subprocess.Popen(sys.argv[1:], stdin=subprocess.PIPE,
                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
p.stdin.write(b"user\npass\n")
p.stdin.flush()
time.sleep(60)
)PY";

// The arguments the service passes, in its order.
const QStringList ServiceArguments = {
    "--client", "--dev", "tun", "--proto", "udp", "--remote", "vpn.example.test", "443",
    "--resolv-retry", "infinite", "--nobind", "--persist-key", "--persist-tun", "--ca", "ca.crt",
    "--tls-client", "--remote-cert-tls", "server", "--auth-user-pass", "--comp-lzo", "--verb", "1",
    "--reneg-sec", "0", "--connect-retry-max", "0", "--ping-restart", "0", "--ping-exit", "10",
    "--socks-proxy-retry", "0", "--link-mtu", "1574", "--auth-nocache"
};

const QByteArray Prompts = "Enter Auth Username:|Enter Auth Password:";

} // namespace

class TestOpenVpnLauncher : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void promptsThenRunsOpenVpnWithCredentialsInMemory();
    void leavesAnAuthFileGivenByTheCallerAlone();
    void reportsASignalDeathAs128PlusTheSignal();
    void stopsWithoutOpenVpnWhenInputEnds_data();
    void stopsWithoutOpenVpnWhenInputEnds();
    void reportsAMissingOpenVpn();
    void reportsAnOpenVpnThatCannotBeRunAsNothingStarted_data();
    void reportsAnOpenVpnThatCannotBeRunAsNothingStarted();
    void openVpnsOwnExit127IsNotMistakenForNothingStarted();
    void refusesCredentialsWithControlCharacters_data();
    void refusesCredentialsWithControlCharacters();
    void acceptsPrintableNonAsciiCredentials();
    void killsAnOpenVpnThatIgnoresSigtermAfterTheGracePeriod();
    void forwardsTerminationSignals_data();
    void forwardsTerminationSignals();
    void openVpnEndsWhenTheLauncherIsKilled();
    void networkChangesAreUndoneHoweverOpenVpnEnds_data();
    void networkChangesAreUndoneHoweverOpenVpnEnds();
    void launcherAndOpenVpnEndWhenTheirStarterDies();
    void orphanedLauncherKillsAnOpenVpnThatIgnoresSigterm();

private:
    bool start(QProcess& process, const QStringList& arguments, const QString& mode,
               const QString& openvpn = QString());
    QByteArray readPrompt(QProcess& process);
    QByteArray answerPrompts(QProcess& process, const QByteArray& username, const QByteArray& password);
    QJsonObject waitForReport();
    // Starts the launcher from a short-lived starter process, to be killed
    // to leave the launcher without the process that started it.
    bool startThroughStarter(QProcess& starter, const QString& mode);
    QStringList networkHookArguments() const;

    QString m_launcher;
    QString m_python;
    QScopedPointer<QTemporaryDir> m_dir;
    QString m_fake;
    QString m_report;
    QProcessEnvironment m_extraEnvironment;
};

void TestOpenVpnLauncher::initTestCase()
{
    m_launcher = qEnvironmentVariable("VARVEX_BUILD_DIR") + "/bin/bin/openvpn";
    QVERIFY2(QFileInfo(m_launcher).isExecutable(), qPrintable(m_launcher + " is not built"));
    // Debian's own interpreter starts fast; a version manager's shim may not.
    m_python = QFileInfo::exists("/usr/bin/python3") ? QStringLiteral("/usr/bin/python3")
                                                     : QStandardPaths::findExecutable("python3");
    if (m_python.isEmpty())
        QSKIP("python3 is needed for the stand-in OpenVPN");
}

void TestOpenVpnLauncher::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    m_fake = m_dir->filePath("fake-openvpn");
    m_report = m_dir->filePath("report.json");
    QFile fake(m_fake);
    QVERIFY(fake.open(QIODevice::WriteOnly));
    fake.write("#!" + m_python.toUtf8() + "\n");
    fake.write(FakeOpenVpn);
    fake.close();
    QVERIFY(fake.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
}

bool TestOpenVpnLauncher::start(QProcess& process, const QStringList& arguments, const QString& mode,
                                const QString& openvpn)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("VARVEX_OPENVPN", openvpn.isEmpty() ? m_fake : openvpn);
    for (const QString& name : env.keys()) {
        if (name.startsWith("VARVEX_") && name != "VARVEX_OPENVPN")
            env.remove(name);
    }
    // The record of network changes stays in the test's folder.
    env.insert("VARVEX_RUN_DIR", m_dir->filePath("run"));
    env.insert(m_extraEnvironment);
    env.insert("FAKE_REPORT", m_report);
    env.insert("FAKE_MODE", mode);
    process.setProcessEnvironment(env);
    process.start(m_launcher, arguments);
    return process.waitForStarted();
}

QByteArray TestOpenVpnLauncher::readPrompt(QProcess& process)
{
    // The service recognises a prompt only when one read holds exactly it,
    // so the chunk is compared whole, never accumulated.
    QByteArray chunk;
    if (!QTest::qWaitFor([&] { return !(chunk = process.readAllStandardError()).isEmpty(); }, 5000))
        return "(no prompt)";
    return chunk;
}

QByteArray TestOpenVpnLauncher::answerPrompts(QProcess& process, const QByteArray& username,
                                              const QByteArray& password)
{
    QByteArray prompts = readPrompt(process);
    process.write(username);
    prompts += '|' + readPrompt(process);
    process.write(password);
    return prompts;
}

// OpenVPN applies no DNS on Linux: the launcher adds itself as its scripts
// and passes on where the changes are recorded.
QStringList TestOpenVpnLauncher::networkHookArguments() const
{
    const QString hook = "\"" + QFileInfo(m_launcher).canonicalFilePath() + "\" --network-hook";
    return { "--script-security", "2", "--up", hook, "--route-up", hook, "--down", hook,
             "--setenv", "VARVEX_RUN_DIR", m_dir->filePath("run") };
}

bool TestOpenVpnLauncher::startThroughStarter(QProcess& starter, const QString& mode)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("VARVEX_OPENVPN", m_fake);
    env.insert("FAKE_REPORT", m_report);
    env.insert("FAKE_MODE", mode);
    starter.setProcessEnvironment(env);
    starter.start(m_python, { "-c", Intermediary, m_launcher, "--auth-user-pass" });
    return starter.waitForStarted();
}

QJsonObject TestOpenVpnLauncher::waitForReport()
{
    if (!QTest::qWaitFor([this] { return QFile::exists(m_report); }, 5000))
        return QJsonObject();
    QFile file(m_report);
    if (!file.open(QIODevice::ReadOnly))
        return QJsonObject();
    return QJsonDocument::fromJson(file.readAll()).object();
}

void TestOpenVpnLauncher::promptsThenRunsOpenVpnWithCredentialsInMemory()
{
    QProcess launcher;
    QVERIFY(start(launcher, ServiceArguments, "lines"));
    QCOMPARE(answerPrompts(launcher, "user\r\n", "pa ss\r\n"), Prompts);
    QVERIFY(launcher.waitForFinished(5000));
    QCOMPARE(launcher.exitStatus(), QProcess::NormalExit);
    QCOMPARE(launcher.exitCode(), 7);

    const QByteArray out = launcher.readAllStandardOutput();
    QCOMPARE(out, QByteArray("first line\r\nsplit line\r\nalready crlf\r\nno newline at the end\r\n"));
    const QByteArray err = launcher.readAllStandardError();
    QCOMPARE(err, QByteArray("a warning\r\n"));

    const QJsonObject report = waitForReport();
    const QJsonArray argv = report.value("argv").toArray();
    const int auth = ServiceArguments.indexOf("--auth-user-pass");
    QStringList expected = ServiceArguments;
    const QString authPath = argv.at(auth + 1).toString();
    QVERIFY2(authPath.startsWith("/dev/fd/"), qPrintable(authPath));
    expected.insert(auth + 1, authPath);
    expected += networkHookArguments();
    QCOMPARE(argv.size(), expected.size());
    for (int i = 0; i < expected.size(); ++i)
        QCOMPARE(argv.at(i).toString(), expected.at(i));

    // Read twice from the start: a renegotiation reopens the file.
    const QJsonArray reads = report.value("authReads").toArray();
    QCOMPARE(reads.size(), 2);
    QCOMPARE(reads.at(0).toString(), QString("user\npa ss\n"));
    QCOMPARE(reads.at(1).toString(), QString("user\npa ss\n"));
    QCOMPARE(report.value("authMode").toInt(), 0600);
    QVERIFY2(report.value("authTarget").toString().startsWith("/memfd:"),
             qPrintable(report.value("authTarget").toString()));
    QVERIFY(report.value("stdinIsNull").toBool());
    QVERIFY(!report.value("cmdline").toString().contains("pa ss"));
    QVERIFY(!out.contains("pa ss") && !err.contains("pa ss"));
}

void TestOpenVpnLauncher::leavesAnAuthFileGivenByTheCallerAlone()
{
    const QStringList arguments = { "--auth-user-pass", "/etc/creds", "--verb", "1" };
    QProcess launcher;
    QVERIFY(start(launcher, arguments, "lines"));
    QCOMPARE(answerPrompts(launcher, "user\n", "pass\n"), Prompts);
    QVERIFY(launcher.waitForFinished(5000));

    const QJsonObject report = waitForReport();
    QCOMPARE(report.value("argv").toVariant().toStringList(), arguments + networkHookArguments());
    QVERIFY(!report.contains("authReads"));
}

void TestOpenVpnLauncher::networkChangesAreUndoneHoweverOpenVpnEnds_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("variable");
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QByteArray>("calls");
    const QByteArray resolved = "dns tun0 10.8.0.1\ndomain tun0 ~.\ndefault-route tun0 yes\nrevert tun0\n";
    const QByteArray resolvconf = "-a tun0.varvex\n-d tun0.varvex\n";
    // OpenVPN's own --down, or the launcher once OpenVPN was killed outright.
    QTest::newRow("resolved, OpenVPN ends in order") << "hooks" << 0 << "VARVEX_RESOLVECTL"
                                                      << QByteArray("systemd-resolved") << resolved;
    QTest::newRow("resolved, OpenVPN killed") << "hooks-selfkill" << 128 + SIGKILL << "VARVEX_RESOLVECTL"
                                               << QByteArray("systemd-resolved") << resolved;
    QTest::newRow("resolvconf, OpenVPN ends in order") << "hooks" << 0 << "VARVEX_RESOLVCONF"
                                                        << QByteArray("resolvconf") << resolvconf;
    QTest::newRow("resolvconf, OpenVPN killed") << "hooks-selfkill" << 128 + SIGKILL << "VARVEX_RESOLVCONF"
                                                 << QByteArray("resolvconf") << resolvconf;
}

void TestOpenVpnLauncher::networkChangesAreUndoneHoweverOpenVpnEnds()
{
    QFETCH(QString, mode);
    QFETCH(int, exitCode);
    QFETCH(QString, variable);
    QFETCH(QByteArray, method);
    QFETCH(QByteArray, calls);
    const QString recorder = m_dir->filePath("recorder");
    QFile script(recorder);
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\necho \"$*\" >> '" + m_dir->filePath("calls").toUtf8() + "'\n");
    script.close();
    QVERIFY(script.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    m_extraEnvironment.insert(variable, recorder);

    QProcess launcher;
    QVERIFY(start(launcher, ServiceArguments, mode));
    QCOMPARE(answerPrompts(launcher, "user\n", "pass\n"), Prompts);
    QVERIFY(launcher.waitForFinished(10000));
    m_extraEnvironment.clear();
    QCOMPARE(launcher.exitCode(), exitCode);

    QFile recorded(m_dir->filePath("calls"));
    QVERIFY(recorded.open(QIODevice::ReadOnly));
    QCOMPARE(recorded.readAll(), calls);
    const QByteArray out = launcher.readAllStandardOutput();
    const QByteArray expected = "DNS: " + method + ", tun0, 10.8.0.1\r\n"
                                "Initialization Sequence Completed\r\n"
                                "DNS restored: " + method + ", tun0\r\n";
    QCOMPARE(out, expected);
    QCOMPARE(launcher.readAllStandardError(), QByteArray());
    QVERIFY(!QFile::exists(m_dir->filePath("run/network-changes")));
}

void TestOpenVpnLauncher::reportsASignalDeathAs128PlusTheSignal()
{
    QProcess launcher;
    QVERIFY(start(launcher, { "--auth-user-pass" }, "selfkill"));
    QCOMPARE(answerPrompts(launcher, "user\n", "pass\n"), Prompts);
    QVERIFY(launcher.waitForFinished(5000));
    QCOMPARE(launcher.exitStatus(), QProcess::NormalExit);
    QCOMPARE(launcher.exitCode(), 128 + SIGKILL);
}

void TestOpenVpnLauncher::stopsWithoutOpenVpnWhenInputEnds_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::newRow("nothing") << QByteArray();
    QTest::newRow("user name only") << QByteArray("user\r\n");
}

void TestOpenVpnLauncher::stopsWithoutOpenVpnWhenInputEnds()
{
    QFETCH(QByteArray, input);
    QProcess launcher;
    QVERIFY(start(launcher, ServiceArguments, "lines"));
    launcher.write(input);
    launcher.closeWriteChannel();
    QVERIFY(launcher.waitForFinished(5000));
    QVERIFY(launcher.exitCode() != 0);
    QVERIFY2(launcher.readAllStandardError().contains("standard input closed"),
             "the launcher must say why it stopped");
    QVERIFY(!QFile::exists(m_report));
}

void TestOpenVpnLauncher::reportsAMissingOpenVpn()
{
    const QString missing = m_dir->filePath("no-such-openvpn");
    QProcess launcher;
    QVERIFY(start(launcher, ServiceArguments, "lines", missing));
    QVERIFY(launcher.waitForFinished(5000));
    QCOMPARE(launcher.exitStatus(), QProcess::NormalExit);
    QCOMPARE(launcher.exitCode(), LauncherCannotRunOpenVpn);
    const QByteArray err = launcher.readAllStandardError();
    QVERIFY2(err.contains(missing.toUtf8()) && !err.contains("Enter Auth"), err.constData());
}

void TestOpenVpnLauncher::reportsAnOpenVpnThatCannotBeRunAsNothingStarted_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("permissions");
    QTest::newRow("not executable") << QByteArray("#!/bin/sh\nexit 0\n")
                                    << int(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    // Passes the access check, fails at exec, after the prompts.
    QTest::newRow("not a program") << QByteArray("\x01\x02 no format\n")
                                   << int(QFileDevice::ReadOwner | QFileDevice::ExeOwner);
}

void TestOpenVpnLauncher::reportsAnOpenVpnThatCannotBeRunAsNothingStarted()
{
    QFETCH(QByteArray, content);
    QFETCH(int, permissions);
    const QString broken = m_dir->filePath("broken-openvpn");
    QFile file(broken);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
    file.close();
    QVERIFY(file.setPermissions(QFileDevice::Permissions(permissions)));

    QProcess launcher;
    QVERIFY(start(launcher, { "--auth-user-pass" }, "lines", broken));
    launcher.write("user\npass\n");
    QVERIFY(launcher.waitForFinished(5000));
    QCOMPARE(launcher.exitStatus(), QProcess::NormalExit);
    QCOMPARE(launcher.exitCode(), LauncherCannotRunOpenVpn);
    const QByteArray err = launcher.readAllStandardError();
    QVERIFY2(err.contains("cannot run " + broken.toUtf8()), err.constData());
}

void TestOpenVpnLauncher::openVpnsOwnExit127IsNotMistakenForNothingStarted()
{
    QProcess launcher;
    QVERIFY(start(launcher, { "--auth-user-pass" }, "exit127"));
    QCOMPARE(answerPrompts(launcher, "user\n", "pass\n"), Prompts);
    QVERIFY(launcher.waitForFinished(5000));
    QVERIFY(!waitForReport().isEmpty());
    QCOMPARE(launcher.exitCode(), LauncherOpenVpnFailed);
}

void TestOpenVpnLauncher::refusesCredentialsWithControlCharacters_data()
{
    QTest::addColumn<QByteArray>("username");
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<QByteArray>("what");
    QTest::newRow("CR inside the user name") << QByteArray("us\rer\r\n") << QByteArray("pass\n") << QByteArray("user name");
    QTest::newRow("tab in the user name") << QByteArray("us\ter\n") << QByteArray("pass\n") << QByteArray("user name");
    QTest::newRow("NUL in the password") << QByteArray("user\n") << QByteArray("pa\0ss\n", 6) << QByteArray("password");
    QTest::newRow("ESC in the password") << QByteArray("user\n") << QByteArray("pa\x1bss\n") << QByteArray("password");
    QTest::newRow("DEL in the password") << QByteArray("user\n") << QByteArray("pa\x7fss\n") << QByteArray("password");
    QTest::newRow("C1 NEL in the password") << QByteArray("user\n") << QByteArray("pa\xc2\x85ss\n") << QByteArray("password");
    QTest::newRow("CR before the end of input") << QByteArray("user\n") << QByteArray("pass\rword") << QByteArray("password");
}

void TestOpenVpnLauncher::refusesCredentialsWithControlCharacters()
{
    QFETCH(QByteArray, username);
    QFETCH(QByteArray, password);
    QFETCH(QByteArray, what);
    QProcess launcher;
    QVERIFY(start(launcher, ServiceArguments, "lines"));
    launcher.write(username + password);
    launcher.closeWriteChannel();
    QVERIFY(launcher.waitForFinished(5000));
    QCOMPARE(launcher.exitStatus(), QProcess::NormalExit);
    QVERIFY(launcher.exitCode() != 0);
    QVERIFY(launcher.exitCode() != LauncherCannotRunOpenVpn);
    const QByteArray err = launcher.readAllStandardError();
    QVERIFY2(err.contains("openvpn launcher: the " + what + " contains a control character"), err.constData());
    QVERIFY(!QFile::exists(m_report));
}

void TestOpenVpnLauncher::acceptsPrintableNonAsciiCredentials()
{
    QProcess launcher;
    QVERIFY(start(launcher, { "--auth-user-pass" }, "lines"));
    QCOMPARE(answerPrompts(launcher, "j\xc3\xbcrgen\r\n", "no\xc2\xa0" "break \xe2\x82\xac\n"), Prompts);
    QVERIFY(launcher.waitForFinished(5000));
    QCOMPARE(launcher.exitCode(), 7);
    const QJsonArray reads = waitForReport().value("authReads").toArray();
    QCOMPARE(reads.size(), 2);
    QCOMPARE(reads.at(0).toString(), QString::fromUtf8("j\xc3\xbcrgen\nno\xc2\xa0" "break \xe2\x82\xac\n"));
}

void TestOpenVpnLauncher::killsAnOpenVpnThatIgnoresSigtermAfterTheGracePeriod()
{
    QProcess launcher;
    QVERIFY(start(launcher, { "--auth-user-pass" }, "ignoreterm"));
    QCOMPARE(answerPrompts(launcher, "user\n", "pass\n"), Prompts);
    const qint64 openvpn = waitForReport().value("pid").toInt();
    QVERIFY(openvpn > 0);
    QVERIFY(QTest::qWaitFor([&] { return launcher.bytesAvailable() > 0 || launcher.waitForReadyRead(50); }, 5000));

    QElapsedTimer stopping;
    stopping.start();
    QCOMPARE(::kill(pid_t(launcher.processId()), SIGTERM), 0);
    QTest::qWait(1000);
    QCOMPARE(launcher.state(), QProcess::Running);
    QVERIFY(!processGone(openvpn));

    // The launcher ends only once OpenVPN has: nothing is left behind it.
    QVERIFY(launcher.waitForFinished(10000));
    QVERIFY(processGone(openvpn));
    QVERIFY2(stopping.elapsed() >= 2900, qPrintable(QString::number(stopping.elapsed())));
    QCOMPARE(launcher.exitCode(), 128 + SIGKILL);
}

void TestOpenVpnLauncher::forwardsTerminationSignals_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
}

void TestOpenVpnLauncher::forwardsTerminationSignals()
{
    QFETCH(int, signal);
    QProcess launcher;
    QVERIFY(start(launcher, { "--auth-user-pass" }, "wait"));
    QCOMPARE(answerPrompts(launcher, "user\n", "pass\n"), Prompts);
    QVERIFY(!waitForReport().isEmpty());
    QCOMPARE(::kill(pid_t(launcher.processId()), signal), 0);
    QVERIFY(launcher.waitForFinished(5000));
    QCOMPARE(launcher.exitCode(), 5);
    QCOMPARE(launcher.readAllStandardOutput(), QByteArray("stopped by ") + QByteArray::number(signal) + "\r\n");
}

void TestOpenVpnLauncher::openVpnEndsWhenTheLauncherIsKilled()
{
    QProcess launcher;
    QVERIFY(start(launcher, { "--auth-user-pass" }, "wait"));
    QCOMPARE(answerPrompts(launcher, "user\n", "pass\n"), Prompts);
    const qint64 openvpn = waitForReport().value("pid").toInt();
    QVERIFY(openvpn > 0);
    QVERIFY(!processGone(openvpn));
    launcher.kill();
    QVERIFY(launcher.waitForFinished(5000));
    QTRY_VERIFY_WITH_TIMEOUT(processGone(openvpn), 1000);
}

void TestOpenVpnLauncher::launcherAndOpenVpnEndWhenTheirStarterDies()
{
    QProcess starter;
    QVERIFY(startThroughStarter(starter, "wait"));

    const QJsonObject report = waitForReport();
    const qint64 openvpn = report.value("pid").toInt();
    const qint64 launcher = report.value("ppid").toInt();
    QVERIFY(openvpn > 0 && launcher > 0);
    starter.kill();
    QVERIFY(starter.waitForFinished(5000));
    QTRY_VERIFY_WITH_TIMEOUT(processGone(launcher) && processGone(openvpn), 2000);
}

void TestOpenVpnLauncher::orphanedLauncherKillsAnOpenVpnThatIgnoresSigterm()
{
    QProcess starter;
    QVERIFY(startThroughStarter(starter, "ignoreterm"));

    const QJsonObject report = waitForReport();
    const qint64 openvpn = report.value("pid").toInt();
    const qint64 launcher = report.value("ppid").toInt();
    QVERIFY(openvpn > 0 && launcher > 0);
    starter.kill();
    QVERIFY(starter.waitForFinished(5000));
    QTest::qWait(1000);
    QVERIFY(!processGone(openvpn));
    QTRY_VERIFY_WITH_TIMEOUT(processGone(launcher) && processGone(openvpn), 8000);
}

QTEST_GUILESS_MAIN(TestOpenVpnLauncher)
#include "tst_openvpnlauncher.moc"
