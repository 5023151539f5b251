#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <QtTest>

#include <csignal>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "host_programfixture.h"
#include "processes.h"

namespace {

// A datagram socket standing in for systemd's notification socket.
class NotifySocket
{
public:
    explicit NotifySocket(const QString& path)
        : m_path(path)
    {
        m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        const QByteArray bytes = QFile::encodeName(path);
        qstrncpy(address.sun_path, bytes.constData(), sizeof(address.sun_path));
        m_bound = ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    }
    ~NotifySocket() { ::close(m_fd); ::unlink(QFile::encodeName(m_path).constData()); }
    bool isBound() const { return m_bound; }

    QByteArray receive(int timeoutMs)
    {
        timeval timeout = {timeoutMs / 1000, (timeoutMs % 1000) * 1000};
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
        char buffer[256];
        const ssize_t n = ::recv(m_fd, buffer, sizeof(buffer), 0);
        return n > 0 ? QByteArray(buffer, int(n)) : QByteArray();
    }

private:
    QString m_path;
    int m_fd = -1;
    bool m_bound = false;
};

QByteArray usage(const QString& program)
{
    return "\n" + program.toLatin1() + " -[i|u|e|s|v|h]\n"
        "\t-i(nstall) [account] [password]\t: Install the service, optionally using given account and password\n"
        "\t-u(ninstall)\t: Uninstall the service.\n"
        "\t-e(xec)\t\t: Run as a regular application. Useful for debugging.\n"
        "\t-t(erminate)\t: Stop the service.\n"
        "\t-c(ommand) num\t: Send command code num to the service.\n"
        "\t-v(ersion)\t: Print version and status information.\n"
        "\t-h(elp)   \t: Show this help\n"
        "\tNo arguments\t: Start the service.\n";
}

QByteArray version(const QString& program, bool installed, bool running)
{
    return "The service\n\tVarvex\n\t" + program.toLatin1() + "\n\nis " + (installed ? "installed" : "not installed")
        + " and " + (running ? "running" : "not running") + "\n\n";
}

} // namespace

class TestServiceHost : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void cleanupTestCase() { cleanup(); }

    void helpPrintsUsage_data();
    void helpPrintsUsage();
    void pathsArePrintedInLatin1();
    void installVersionUninstall();
    void installAccount_data();
    void installAccount();
    void installFailsWhereUnitsCannotBeWritten();
    void startWithoutArgumentsAsksServiceManager();
    void controlRequestsReachForegroundService();
    void controlRequestsWithoutServiceFailQuietly();
    void terminationSignalStopsForegroundService_data();
    void terminationSignalStopsForegroundService();
    void runsAsServiceWhenManagerStartedIt();
    void secondInstanceLeavesFirstInControl();
    void otherUsersCannotControlService();

private:
    HostProgramFixture* m_fixture = nullptr;
};

void TestServiceHost::init()
{
    cleanup(); // a failed init is not followed by cleanup
    m_fixture = new HostProgramFixture;
    QVERIFY(m_fixture->setUp());
    QSettings config(m_fixture->configPath(), QSettings::IniFormat);
    config.setValue(QStringLiteral("LogLevel"), 4);
}

void TestServiceHost::cleanup()
{
    delete m_fixture;
    m_fixture = nullptr;
}

void TestServiceHost::helpPrintsUsage_data()
{
    QTest::addColumn<QString>("option");
    QTest::newRow("short") << QStringLiteral("-h");
    QTest::newRow("long") << QStringLiteral("-help");
}

void TestServiceHost::helpPrintsUsage()
{
    QFETCH(QString, option);
    const auto result = m_fixture->run({option});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.out, usage(m_fixture->program()));
    QCOMPARE(result.err, QByteArray());
}

void TestServiceHost::pathsArePrintedInLatin1()
{
    // The program's path is printed as Latin-1 like every other name, not
    // as the bytes it was started with.
    const QString folder = m_fixture->path(QStringLiteral("Vari\u00e9t\u00e9"));
    if (QFile::encodeName(folder) != folder.toUtf8())
        QSKIP("file names are not UTF-8 in this locale");
    QVERIFY(QDir().mkpath(folder));
    const QString program = folder + QStringLiteral("/varvexservice");
    QVERIFY(QFile::copy(m_fixture->program(), program));
    QProcessEnvironment environment = m_fixture->environment();
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));

    for (const QString& option : {QStringLiteral("-h"), QStringLiteral("-v")}) {
        QProcess process;
        process.setProcessEnvironment(environment);
        process.start(program, {option});
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitCode(), 0);
        const QByteArray out = process.readAllStandardOutput();
        QVERIFY(out.contains("/Vari\xe9t\xe9/varvexservice"));
        QCOMPARE(out, option == QStringLiteral("-h") ? usage(program) : version(program, false, false));
    }
}

void TestServiceHost::installVersionUninstall()
{
    const QString program = m_fixture->program();
    auto result = m_fixture->run({QStringLiteral("-v")});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.out, version(program, false, false));

    result = m_fixture->run({QStringLiteral("-i")});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.out, "The service Varvex has been installed under: " + program.toLatin1() + "\n");
    const QByteArray unit = m_fixture->read(QStringLiteral("units/varvex.service"));
    QVERIFY(unit.contains("\nDescription=Varvex solution.\n"));
    QVERIFY(unit.contains("\nExecStart=\"" + program.toLatin1() + "\"\n"));
    QVERIFY(!unit.contains("User="));
    QVERIFY(unit.contains("\nWantedBy=multi-user.target\n"));
    QVERIFY(unit.contains("\nLimitNOFILE=4096\n"));
    QVERIFY(unit.contains("\nRestart=on-failure\n"));
    // The record that a tunnel is wanted outlives a restart.
    QVERIFY(unit.contains("\nRuntimeDirectoryPreserve=yes\n"));
    // Confined, and as systemd reads it: valid, and rated at most 2.5 of 10.
    QVERIFY(unit.contains("\nProtectSystem=strict\n"));
    QVERIFY(unit.contains("\nReadWritePaths=\"" + QFileInfo(program).absolutePath().toLatin1() + "\"\n"));
    const QString analyze = QStandardPaths::findExecutable(QStringLiteral("systemd-analyze"));
    if (!analyze.isEmpty()) {
        QProcess verify;
        verify.setProcessChannelMode(QProcess::MergedChannels);
        verify.start(analyze, {QStringLiteral("verify"), QStringLiteral("--man=no"), m_fixture->unitFile()});
        QVERIFY(verify.waitForFinished(60000));
        QVERIFY2(verify.exitCode() == 0, verify.readAll().constData());
        QProcess security;
        security.setWorkingDirectory(QFileInfo(m_fixture->unitFile()).absolutePath());
        security.start(analyze, {QStringLiteral("security"), QStringLiteral("--offline=true"), QStringLiteral("--threshold=25"),
                                 QStringLiteral("--no-pager"), QStringLiteral("varvex.service")});
        QVERIFY(security.waitForFinished(60000));
        QVERIFY2(security.exitCode() == 0, security.readAllStandardOutput().right(300).constData());
    }
    QCOMPARE(m_fixture->read(QStringLiteral("systemctl.log")), QByteArray("daemon-reload\nenable varvex.service\n"));

    result = m_fixture->run({QStringLiteral("-version")});
    QCOMPARE(result.out, version(program, true, false));

    result = m_fixture->run({QStringLiteral("-install")});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.err, QByteArray("The service Varvex is already installed\n"));
    QCOMPARE(result.out, QByteArray());

    result = m_fixture->run({QStringLiteral("-u")});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.out, QByteArray("The service Varvex has been uninstalled.\n"));
    QVERIFY(!QFile::exists(m_fixture->unitFile()));
    // Nothing would lift the kill switch's block once its service is gone.
    QVERIFY(m_fixture->read(QStringLiteral("nft.log")).endsWith("delete table inet varvex_lockdown\n"));

    result = m_fixture->run({QStringLiteral("-uninstall")});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.err, QByteArray("The service Varvex is not installed\n"));
}

void TestServiceHost::installAccount_data()
{
    QTest::addColumn<QString>("account");
    QTest::addColumn<QByteArray>("userLine"); // empty: no User= line; "-": refused

    QTest::newRow("plain") << QStringLiteral("varvexsvc") << QByteArray("User=varvexsvc");
    QTest::newRow("local form") << QStringLiteral(".\\varvexsvc") << QByteArray("User=varvexsvc");
    QTest::newRow("domain form") << QStringLiteral("HOME\\alice") << QByteArray("User=alice");
    QTest::newRow("system account") << QStringLiteral("NT AUTHORITY\\LocalSystem") << QByteArray();
    QTest::newRow("line break") << QStringLiteral("bob\nExecStartPre=/bin/evil") << QByteArray("-");
    QTest::newRow("space") << QStringLiteral("bob smith") << QByteArray("-");
}

void TestServiceHost::installAccount()
{
    QFETCH(QString, account);
    QFETCH(QByteArray, userLine);
    const auto result = m_fixture->run({QStringLiteral("-i"), account, QStringLiteral("password")});
    if (userLine == "-") {
        QCOMPARE(result.exitCode, 255);
        QCOMPARE(result.err, QByteArray("The service Varvex could not be installed\n"));
        QVERIFY(!QFile::exists(m_fixture->unitFile()));
        return;
    }
    QCOMPARE(result.exitCode, 0);
    const QByteArray unit = m_fixture->read(QStringLiteral("units/varvex.service"));
    if (userLine.isEmpty())
        QVERIFY(!unit.contains("User="));
    else
        QVERIFY(unit.contains("\n" + userLine + "\n"));
    QVERIFY(!unit.contains("password"));
}

void TestServiceHost::installFailsWhereUnitsCannotBeWritten()
{
    QFile blocker(m_fixture->path(QStringLiteral("not-a-folder")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    m_fixture->environment().insert(QStringLiteral("VARVEX_UNIT_DIR"), blocker.fileName() + QStringLiteral("/units"));

    const auto result = m_fixture->run({QStringLiteral("-i")});
    QCOMPARE(result.exitCode, 255);
    QCOMPARE(result.err, QByteArray("The service Varvex could not be installed\n"));
    QCOMPARE(result.out, QByteArray());
}

void TestServiceHost::startWithoutArgumentsAsksServiceManager()
{
    // Not installed: nothing to start.
    auto result = m_fixture->run({});
    QCOMPARE(result.exitCode, 252);
    QCOMPARE(result.err, QByteArray("The service Varvex could not start\n"));
    QCOMPARE(m_fixture->read(QStringLiteral("systemctl.log")), QByteArray());

    QCOMPARE(m_fixture->run({QStringLiteral("-i")}).exitCode, 0);
    QFile::remove(m_fixture->path(QStringLiteral("systemctl.log")));

    result = m_fixture->run({});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.err, QByteArray());
    // Any unknown first argument starts the service as well.
    result = m_fixture->run({QStringLiteral("-x")});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(m_fixture->read(QStringLiteral("systemctl.log")), QByteArray("start varvex.service\nstart varvex.service\n"));

    m_fixture->environment().insert(QStringLiteral("FAKE_SYSTEMCTL_EXIT"), QStringLiteral("1"));
    result = m_fixture->run({});
    QCOMPARE(result.exitCode, 252);
    QCOMPARE(result.err, QByteArray("The service Varvex could not start\n"));
}

void TestServiceHost::controlRequestsReachForegroundService()
{
    RunningProcess service;
    QVERIFY(m_fixture->startService(service.process, {QStringLiteral("-e")}));

    struct stat info;
    QCOMPARE(::stat(QFile::encodeName(m_fixture->controlSocket()).constData(), &info), 0);
    QVERIFY(S_ISSOCK(info.st_mode));
    QCOMPARE(info.st_mode & 0777, mode_t(0600));

    auto result = m_fixture->run({QStringLiteral("-v")});
    QCOMPARE(result.out, version(m_fixture->program(), false, true));

    for (const QString& option : {QStringLiteral("-p"), QStringLiteral("-r"), QStringLiteral("-c"), QStringLiteral("-command")}) {
        QStringList arguments{option};
        if (option.startsWith(QStringLiteral("-c")))
            arguments << (option == QStringLiteral("-c") ? QStringLiteral("5") : QStringLiteral("127"));
        result = m_fixture->run(arguments);
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(result.out + result.err, QByteArray());
    }
    // Out of range: nothing is sent, nothing is said.
    result = m_fixture->run({QStringLiteral("-c"), QStringLiteral("128")});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.out + result.err, QByteArray());

    result = m_fixture->run({QStringLiteral("-t")});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.out + result.err, QByteArray());
    QVERIFY(service.process.waitForFinished(5000));
    QCOMPARE(service.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(service.process.exitCode(), 0);

    const QByteArray log = m_fixture->log();
    QVERIFY2(log.contains("Information: Service control request: pause\r\n"), log.constData());
    QVERIFY(log.contains("Information: Service control request: resume\r\n"));
    QVERIFY(log.contains("Information: Service control request: command 5\r\n"));
    QVERIFY(log.contains("Information: Service control request: command 127\r\n"));
    QVERIFY(!log.contains("command 0\r\n"));
    QVERIFY(log.contains("Information: Service control request: stop\r\n"));
    // The service's own stop ran before the program ended.
    QVERIFY(log.indexOf("Information: stop\r\n") > log.indexOf("Service control request: stop"));
    QVERIFY(!QFile::exists(m_fixture->controlSocket()));
    QCOMPARE(m_fixture->run({QStringLiteral("-v")}).out, version(m_fixture->program(), false, false));
}

void TestServiceHost::controlRequestsWithoutServiceFailQuietly()
{
    auto result = m_fixture->run({QStringLiteral("-t")});
    QCOMPARE(result.exitCode, 0);
    QVERIFY2(result.err.startsWith("The service could not be stopped."), result.err.constData());
    for (const QString& option : {QStringLiteral("-p"), QStringLiteral("-r"), QStringLiteral("-c")}) {
        result = m_fixture->run({option});
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(result.out + result.err, QByteArray());
    }

    // Installed but not running: the failed request is reported before the
    // overall failure.
    QCOMPARE(m_fixture->run({QStringLiteral("-i")}).exitCode, 0);
    result = m_fixture->run({QStringLiteral("-t")});
    QCOMPARE(result.exitCode, 0);
    QVERIFY2(result.err.startsWith("stopping ("), result.err.constData());
    QVERIFY2(result.err.contains("\nThe service could not be stopped. ("), result.err.constData());
    QCOMPARE(m_fixture->run({QStringLiteral("-u")}).exitCode, 0);

    // A stale socket left by a killed service is no running service.
    {
        RunningProcess service;
        QVERIFY(m_fixture->startService(service.process, {QStringLiteral("-e")}));
        service.process.kill();
        QVERIFY(service.process.waitForFinished(3000));
    }
    QVERIFY(QFile::exists(m_fixture->controlSocket()));
    QCOMPARE(m_fixture->run({QStringLiteral("-v")}).out, version(m_fixture->program(), false, false));
    RunningProcess next;
    QVERIFY(m_fixture->startService(next.process, {QStringLiteral("-e")}));
    QCOMPARE(m_fixture->run({QStringLiteral("-v")}).out, version(m_fixture->program(), false, true));
}

void TestServiceHost::terminationSignalStopsForegroundService_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
}

void TestServiceHost::terminationSignalStopsForegroundService()
{
    QFETCH(int, signalNumber);
    RunningProcess service;
    QVERIFY(m_fixture->startService(service.process, {QStringLiteral("-exec")}));
    QTest::qWait(200); // let start run first
    QCOMPARE(::kill(pid_t(service.process.processId()), signalNumber), 0);
    QVERIFY(service.process.waitForFinished(5000));
    QCOMPARE(service.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(service.process.exitCode(), 0);
    QVERIFY(m_fixture->log().contains("Information: stop\r\n"));
    QVERIFY(!QFile::exists(m_fixture->controlSocket()));
}

void TestServiceHost::runsAsServiceWhenManagerStartedIt()
{
    NotifySocket notify(m_fixture->path(QStringLiteral("notify")));
    QVERIFY(notify.isBound());
    m_fixture->environment().insert(QStringLiteral("INVOCATION_ID"), QStringLiteral("0123456789abcdef"));
    m_fixture->environment().insert(QStringLiteral("NOTIFY_SOCKET"), m_fixture->path(QStringLiteral("notify")));

    RunningProcess service;
    QVERIFY(m_fixture->startService(service.process, {}));
    QCOMPARE(notify.receive(5000), QByteArray("READY=1"));
    QCOMPARE(m_fixture->read(QStringLiteral("systemctl.log")), QByteArray());

    m_fixture->environment().remove(QStringLiteral("INVOCATION_ID"));
    m_fixture->environment().remove(QStringLiteral("NOTIFY_SOCKET"));
    const auto result = m_fixture->run({QStringLiteral("-t")});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(notify.receive(5000), QByteArray("STOPPING=1"));
    QVERIFY(service.process.waitForFinished(5000));
    QCOMPARE(service.process.exitCode(), 0);
    QVERIFY(m_fixture->log().contains("Information: stop\r\n"));
}

void TestServiceHost::secondInstanceLeavesFirstInControl()
{
    RunningProcess first;
    QVERIFY(m_fixture->startService(first.process, {QStringLiteral("-e")}));
    RunningProcess second;
    second.process.setProcessEnvironment(m_fixture->environment());
    second.process.start(m_fixture->program(), {QStringLiteral("-e")});
    QVERIFY(second.process.waitForStarted(5000));
    QTRY_VERIFY_WITH_TIMEOUT(m_fixture->log().contains("Warning: Service control socket is not available"), 5000);

    QCOMPARE(m_fixture->run({QStringLiteral("-t")}).exitCode, 0);
    QVERIFY(first.process.waitForFinished(5000));
    QCOMPARE(second.process.state(), QProcess::Running);
}

void TestServiceHost::otherUsersCannotControlService()
{
    if (::geteuid() != 0)
        QSKIP("needs root to act as another user");
    RunningProcess service;
    QVERIFY(m_fixture->startService(service.process, {QStringLiteral("-e")}));
    // Let the other user run the program; the socket's own mode must stop it.
    QFile::setPermissions(m_fixture->path(QString()), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                          | QFileDevice::ExeGroup | QFileDevice::ExeOther);

    const QByteArray program = QFile::encodeName(m_fixture->program());
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(2);
        ::execl(program.constData(), program.constData(), "-t", static_cast<char*>(nullptr));
        ::_exit(3);
    }
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY(WIFEXITED(status));
    QCOMPARE(WEXITSTATUS(status), 0);
    QTest::qWait(200);
    QCOMPARE(service.process.state(), QProcess::Running);
    QCOMPARE(m_fixture->run({QStringLiteral("-t")}).exitCode, 0);
    QVERIFY(service.process.waitForFinished(5000));
}

QTEST_GUILESS_MAIN(TestServiceHost)
#include "tst_servicehost.moc"
