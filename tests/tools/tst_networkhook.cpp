#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// Records each call: its arguments on one line, then for "-a" (resolvconf)
// what came on standard input, indented. Fails while the file "fail" exists.
const char Recorder[] = R"SH(#!/bin/sh
echo "$*" >> "%1/calls"
if [ "$1" = "-a" ]; then sed 's/^/  /' >> "%1/calls"; fi
[ ! -e "%1/fail" ]
)SH";

// Runs a program with the test's folder read-only but for resolv.conf and
// run/ in it, in a mount namespace of its own, with a private file mask.
const char Confined[] = R"SH(PATH=/usr/sbin:/usr/bin:/sbin:/bin
dir=$1; shift
mount --bind "$dir" "$dir" && mount -o remount,bind,ro "$dir" || exit 99
for rw in "$dir/resolv.conf" "$dir/run"; do
  mount --bind "$rw" "$rw" && mount -o remount,bind,rw "$rw" || exit 99
done
umask 077
exec "$@"
)SH";

struct HookResult
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

} // namespace

class TestNetworkHook : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void resolvedGetsTheServersDomainsAndEveryQuery();
    void resolvconfGetsTheServersForTheTunnelOnly();
    void resolvConfIsReplacedAndPutBackByteForByte_data();
    void resolvConfIsReplacedAndPutBackByteForByte();
    void resolvConfWrittenByAnotherProgramMeanwhileIsLeftAlone();
    void pushedValuesThatAreNeitherAddressNorNameAreIgnored();
    void nothingPushedChangesNothing();
    void aFailedMethodIsReportedAndNeverFailsTheTunnel();
    void leftoverOfAnEarlierTunnelIsUndoneBeforeTheNext();
    void recordOfAnotherNetworkNamespaceIsLeftAlone();
    void runFolderOthersCanWriteIsRefused();
    void serviceStartUndoesWhatAKilledServiceLeft_data();
    void serviceStartUndoesWhatAKilledServiceLeft();

private:
    HookResult hook(const QString& scriptType, const QStringList& pushed = {},
                    const QMap<QString, QString>& extra = {});
    QByteArray calls() const;
    QString path(const QString& name) const { return m_dir->filePath(name); }

    QString m_launcher;
    QScopedPointer<QTemporaryDir> m_dir;
    QMap<QString, QString> m_config;
    bool m_confined = false;
};

void TestNetworkHook::initTestCase()
{
    m_launcher = qEnvironmentVariable("VARVEX_BUILD_DIR") + "/bin/bin/openvpn";
    QVERIFY2(QFileInfo(m_launcher).isExecutable(), qPrintable(m_launcher + " is not built"));
}

void TestNetworkHook::init()
{
    m_confined = false;
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    QFile recorder(path("recorder"));
    QVERIFY(recorder.open(QIODevice::WriteOnly));
    recorder.write(QString::fromLatin1(Recorder).arg(m_dir->path()).toUtf8());
    recorder.close();
    QVERIFY(recorder.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    // Never the machine's own resolver file, whatever a test forgets.
    m_config = { { "VARVEX_RUN_DIR", path("run") }, { "VARVEX_RESOLV_CONF", path("resolv.conf") } };
}

// Runs the launcher as OpenVPN runs its scripts: nothing of the caller's
// environment, only OpenVPN's variables and the ones passed with --setenv.
HookResult TestNetworkHook::hook(const QString& scriptType, const QStringList& pushed,
                                 const QMap<QString, QString>& extra)
{
    QProcessEnvironment env;
    env.insert("script_type", scriptType);
    env.insert("dev", "tun0");
    env.insert("trusted_ip", "192.0.2.77");
    for (int i = 0; i < pushed.size(); ++i)
        env.insert(QStringLiteral("foreign_option_%1").arg(i + 1), pushed.at(i));
    for (auto it = m_config.cbegin(); it != m_config.cend(); ++it)
        env.insert(it.key(), it.value());
    for (auto it = extra.cbegin(); it != extra.cend(); ++it)
        env.insert(it.key(), it.value());
    QProcess process;
    process.setProcessEnvironment(env);
    const QStringList arguments = { "--network-hook", "tun0", "1500", "0", "10.8.0.2", "255.255.255.0", "init" };
    if (m_confined)
        process.start("/usr/bin/unshare", QStringList{ "--mount", "--propagation", "private", "/bin/sh", "-c", Confined,
                                                       "sh", m_dir->path(), m_launcher } + arguments);
    else
        process.start(m_launcher, arguments);
    HookResult result;
    if (process.waitForFinished(15000) && process.exitStatus() == QProcess::NormalExit)
        result.exitCode = process.exitCode();
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

QByteArray TestNetworkHook::calls() const
{
    QFile file(m_dir->filePath("calls"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

static QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

static bool writeAll(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

void TestNetworkHook::resolvedGetsTheServersDomainsAndEveryQuery()
{
    m_config.insert("VARVEX_RESOLVECTL", path("recorder"));
    const HookResult up = hook("up", { "dhcp-option DNS 10.8.0.1", "dhcp-option DOMAIN corp.example",
                                       "dhcp-option DNS6 fd00::53", "dhcp-option DNS 10.8.0.1" },
                               { { "dns_server_1_address_1", "10.8.0.2" },
                                 { "dns_search_domain_1", "dns.example" } });
    QCOMPARE(up.exitCode, 0);
    QCOMPARE(up.out, QByteArray("DNS: systemd-resolved, tun0, 10.8.0.1 fd00::53 10.8.0.2\n"));
    QCOMPARE(up.err, QByteArray());
    QCOMPARE(calls(), QByteArray("dns tun0 10.8.0.1 fd00::53 10.8.0.2\n"
                                 "domain tun0 ~. corp.example dns.example\n"
                                 "default-route tun0 yes\n"));
    QVERIFY(QFile::exists(path("run/network-changes")));

    const HookResult down = hook("down");
    QCOMPARE(down.exitCode, 0);
    QCOMPARE(down.out, QByteArray("DNS restored: systemd-resolved, tun0\n"));
    QVERIFY(calls().endsWith("default-route tun0 yes\nrevert tun0\n"));
    QVERIFY(!QFile::exists(path("run/network-changes")));

    // A second down (the launcher after OpenVPN) finds nothing left to do.
    const HookResult again = hook("down");
    QCOMPARE(again.out, QByteArray());
    QVERIFY(calls().endsWith("yes\nrevert tun0\n"));
}

void TestNetworkHook::resolvconfGetsTheServersForTheTunnelOnly()
{
    m_config.insert("VARVEX_RESOLVCONF", path("recorder"));
    const HookResult up = hook("up", { "dhcp-option DNS 10.8.0.1", "dhcp-option DOMAIN-SEARCH corp.example" });
    QCOMPARE(up.out, QByteArray("DNS: resolvconf, tun0, 10.8.0.1\n"));
    QCOMPARE(calls(), QByteArray("-a tun0.varvex\n  nameserver 10.8.0.1\n  search corp.example\n"));
    const HookResult down = hook("down");
    QCOMPARE(down.out, QByteArray("DNS restored: resolvconf, tun0\n"));
    QVERIFY(calls().endsWith("corp.example\n-d tun0.varvex\n"));
}

void TestNetworkHook::resolvConfIsReplacedAndPutBackByteForByte_data()
{
    QTest::addColumn<QString>("kind");
    // The record is in /run: a power cut takes it, not the changed file.
    QTest::addColumn<bool>("recordLost");
    // As the service's unit leaves it: everything read-only but the file
    // itself and the record's folder, and a private file mask.
    QTest::addColumn<bool>("confined");
    for (const char* kind : { "file", "link", "missing" }) {
        QTest::addRow("%s", kind) << kind << false << false;
        QTest::addRow("%s, record lost", kind) << kind << true << false;
    }
    QTest::addRow("file, only the file writable") << "file" << false << true;
}

void TestNetworkHook::resolvConfIsReplacedAndPutBackByteForByte()
{
    QFETCH(QString, kind);
    QFETCH(bool, recordLost);
    QFETCH(bool, confined);
    if (confined && geteuid() != 0)
        QSKIP("a read-only folder in a mount namespace of its own needs root");
    m_confined = confined;
    QVERIFY(QDir().mkdir(path("run")));
    QVERIFY(QFile::setPermissions(path("run"), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    m_config.insert("VARVEX_DNS_METHOD", "resolv.conf");
    const QString file = path("resolv.conf");
    // No line end at the end, a tab, a comment: nothing may be normalised.
    const QByteArray original = "# local\nnameserver 192.0.2.53\nsearch home.example\noptions\tedns0 trust-ad\r\nx";
    if (kind == "file") {
        QVERIFY(writeAll(file, original));
        QVERIFY(QFile::setPermissions(file, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup));
    } else if (kind == "link") {
        QVERIFY(writeAll(path("target.conf"), original));
        QVERIFY(QFile::link("target.conf", file));
    }

    struct stat before {};
    ::stat(QFile::encodeName(file).constData(), &before);
    const HookResult up = hook("up", { "dhcp-option DNS 10.8.0.1", "dhcp-option DNS 10.8.0.2",
                                       "dhcp-option DNS 10.8.0.3", "dhcp-option DNS 10.8.0.4",
                                       "dhcp-option DOMAIN corp.example" });
    QCOMPARE(up.exitCode, 0);
    if (confined) { // it could not be renamed over: the same file, rewritten
        struct stat after {};
        QCOMPARE(::stat(QFile::encodeName(file).constData(), &after), 0);
        QCOMPARE(after.st_ino, before.st_ino);
    }
    QCOMPARE(up.out, QByteArray("DNS: resolv.conf, tun0, 10.8.0.1 10.8.0.2 10.8.0.3 10.8.0.4\n"));
    const QByteArray during = readAll(file);
    QVERIFY2(during.contains("\nnameserver 10.8.0.1\nnameserver 10.8.0.2\nnameserver 10.8.0.3\nsearch corp.example\n"),
             during.constData());
    QVERIFY(!during.contains("10.8.0.4")); // the resolver reads three
    QVERIFY(!during.contains("192.0.2.53") && !during.contains("home.example"));
    if (kind != "missing")
        QVERIFY2(during.contains("options\tedns0 trust-ad\r\n"), during.constData());
    QVERIFY(!QFileInfo(file).isSymLink());

    if (recordLost)
        QVERIFY(QDir(path("run")).removeRecursively());
    const HookResult down = hook("down");
    QCOMPARE(down.out, recordLost ? ("DNS restored: resolv.conf, from the copy inside " + file + "\n").toUtf8()
                                  : QByteArray("DNS restored: resolv.conf, tun0\n"));
    if (kind == "file") {
        QCOMPARE(readAll(file), original);
        struct stat info;
        QCOMPARE(::stat(QFile::encodeName(file).constData(), &info), 0);
        QCOMPARE(info.st_mode & 07777, mode_t(0640));
    } else if (kind == "link") {
        QCOMPARE(QFileInfo(file).symLinkTarget(), path("target.conf"));
        QCOMPARE(readAll(path("target.conf")), original);
    } else {
        QVERIFY(!QFileInfo::exists(file) && !QFileInfo(file).isSymLink());
    }
    QCOMPARE(QDir(m_dir->path()).entryList({ ".resolv.conf*" }, QDir::Hidden | QDir::Files), QStringList());
    QVERIFY(!QFile::exists(path("run/network-changes")));
    QVERIFY(!QFile::exists(path("run/resolv.conf.original")));
}

void TestNetworkHook::resolvConfWrittenByAnotherProgramMeanwhileIsLeftAlone()
{
    m_config.insert("VARVEX_DNS_METHOD", "resolv.conf");
    QVERIFY(writeAll(path("resolv.conf"), "nameserver 192.0.2.53\n"));
    QCOMPARE(hook("up", { "dhcp-option DNS 10.8.0.1" }).exitCode, 0);
    QVERIFY(writeAll(path("resolv.conf"), "nameserver 192.0.2.99\n"));
    const HookResult down = hook("down");
    QVERIFY2(down.out.contains("was changed by another program while the tunnel was up and is left as it is"),
             down.out.constData());
    QCOMPARE(readAll(path("resolv.conf")), QByteArray("nameserver 192.0.2.99\n"));
    QVERIFY(!QFile::exists(path("run/network-changes")));
}

void TestNetworkHook::pushedValuesThatAreNeitherAddressNorNameAreIgnored()
{
    m_config.insert("VARVEX_DNS_METHOD", "resolv.conf");
    QVERIFY(writeAll(path("resolv.conf"), "nameserver 192.0.2.53\n"));
    const HookResult up = hook("up", { "dhcp-option DNS 10.8.0.9\nnameserver 203.0.113.6",
                                       "dhcp-option DOMAIN evil.example\noptions debug",
                                       "dhcp-option DNS not-an-address", "dhcp-option DOMAIN a;b",
                                       "dhcp-option DNS 10.8.0.1", "dhcp-option DOMAIN good.example" },
                               { { "dns_server_1_address_1", "10.8.0.2" }, { "dns_server_1_port_1", "5353" } });
    QCOMPARE(up.exitCode, 0);
    QCOMPARE(up.out, QByteArray("DNS: resolv.conf, tun0, 10.8.0.1\n"));
    QCOMPARE(up.err, QByteArray("DNS: ignored 5 pushed value(s) that are neither an address nor a domain name\n"));
    const QByteArray during = readAll(path("resolv.conf"));
    QVERIFY(!during.contains("203.0.113.6") && !during.contains("debug") && !during.contains("10.8.0.2"));
    QVERIFY(during.contains("search good.example\n"));
}

void TestNetworkHook::nothingPushedChangesNothing()
{
    m_config.insert("VARVEX_RESOLVECTL", path("recorder"));
    const HookResult up = hook("up", { "dhcp-option WINS 10.8.0.1", "route-gateway 10.8.0.1" });
    QCOMPARE(up.exitCode, 0);
    QCOMPARE(up.out, QByteArray("DNS: the server pushed none; nothing changed\n"));
    QCOMPARE(calls(), QByteArray());
    QCOMPARE(hook("down").out, QByteArray());
    QCOMPARE(calls(), QByteArray());
}

void TestNetworkHook::aFailedMethodIsReportedAndNeverFailsTheTunnel()
{
    m_config.insert("VARVEX_RESOLVECTL", path("recorder"));
    QVERIFY(writeAll(path("fail"), ""));
    const HookResult up = hook("up", { "dhcp-option DNS 10.8.0.1" });
    QCOMPARE(up.exitCode, 0); // OpenVPN ends the tunnel when its --up fails
    QCOMPARE(up.out, QByteArray());
    QVERIFY2(up.err.startsWith("DNS: systemd-resolved failed for tun0: "), up.err.constData());
    // What was begun is undone at once.
    QCOMPARE(calls(), QByteArray("dns tun0 10.8.0.1\nrevert tun0\n"));

    m_config.insert("VARVEX_RESOLVECTL", path("no-such-resolvectl"));
    const HookResult missing = hook("up", { "dhcp-option DNS 10.8.0.1" });
    QCOMPARE(missing.exitCode, 0);
    QVERIFY2(missing.err.contains("DNS: systemd-resolved failed for tun0: "), missing.err.constData());
}

void TestNetworkHook::leftoverOfAnEarlierTunnelIsUndoneBeforeTheNext()
{
    m_config.insert("VARVEX_RESOLVECTL", path("recorder"));
    QCOMPARE(hook("up", { "dhcp-option DNS 10.8.0.1" }).exitCode, 0);
    // OpenVPN killed outright: no down; the next tunnel comes up.
    const HookResult next = hook("up", { "dhcp-option DNS 10.8.0.5" });
    QCOMPARE(next.out, QByteArray("DNS restored: systemd-resolved, tun0\nDNS: systemd-resolved, tun0, 10.8.0.5\n"));
    QCOMPARE(calls(), QByteArray("dns tun0 10.8.0.1\ndomain tun0 ~.\ndefault-route tun0 yes\n"
                                 "revert tun0\n"
                                 "dns tun0 10.8.0.5\ndomain tun0 ~.\ndefault-route tun0 yes\n"));
}

void TestNetworkHook::recordOfAnotherNetworkNamespaceIsLeftAlone()
{
    m_config.insert("VARVEX_RESOLVECTL", path("recorder"));
    QVERIFY(QDir().mkpath(path("run")));
    QVERIFY(QFile::setPermissions(path("run"), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    const QByteArray record = "netns 1:1\ndns-method systemd-resolved\ndns-interface tun7\n";
    QVERIFY(writeAll(path("run/network-changes"), record));
    const HookResult down = hook("down");
    QCOMPARE(down.out, QByteArray("Network changes: the record belongs to another network namespace and is left alone\n"));
    QCOMPARE(calls(), QByteArray());
    QCOMPARE(readAll(path("run/network-changes")), record);
}

void TestNetworkHook::runFolderOthersCanWriteIsRefused()
{
    m_config.insert("VARVEX_RESOLVECTL", path("recorder"));
    QVERIFY(QDir().mkpath(path("run")));
    QCOMPARE(::chmod(QFile::encodeName(path("run")).constData(), 0777), 0);
    const HookResult up = hook("up", { "dhcp-option DNS 10.8.0.1" });
    QCOMPARE(up.exitCode, 0);
    QVERIFY2(up.err.startsWith("DNS: not applied, nothing can be recorded: ")
                 && up.err.contains("is not a folder of this user alone"), up.err.constData());
    QCOMPARE(calls(), QByteArray());
    QVERIFY(!QFile::exists(path("run/network-changes")));
}

void TestNetworkHook::serviceStartUndoesWhatAKilledServiceLeft_data()
{
    QTest::addColumn<QString>("variable");
    QTest::addColumn<QByteArray>("undo");
    QTest::addColumn<QByteArray>("logged");
    QTest::newRow("systemd-resolved") << "VARVEX_RESOLVECTL" << QByteArray("revert tun0\n")
                                      << QByteArray("DNS restored: systemd-resolved, tun0");
    QTest::newRow("resolvconf") << "VARVEX_RESOLVCONF" << QByteArray("-d tun0.varvex\n")
                                << QByteArray("DNS restored: resolvconf, tun0");
}

void TestNetworkHook::serviceStartUndoesWhatAKilledServiceLeft()
{
    QFETCH(QString, variable);
    QFETCH(QByteArray, undo);
    QFETCH(QByteArray, logged);
    m_config.insert(variable, path("recorder"));
    QCOMPARE(hook("up", { "dhcp-option DNS 10.8.0.1" }).exitCode, 0);
    QVERIFY(QFile::exists(path("run/network-changes")));

    // The service in a folder of its own, so that its log is this test's.
    const QString buildDir = qEnvironmentVariable("VARVEX_BUILD_DIR");
    QVERIFY(QDir().mkpath(path("service/tmp")));
    QVERIFY(QFile::copy(buildDir + "/bin/varvexservice", path("service/varvexservice")));
    QVERIFY(writeAll(path("service/service.conf"), "[General]\nLogLevel=4\n"));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TMPDIR", path("service/tmp"));
    env.insert("VARVEX_SOCKET_DIR", path("service/tmp"));
    env.insert("VARVEX_SERVICE_CONFIG", path("service/service.conf"));
    env.insert("VARVEX_API_HOST", "127.0.0.1:9");
    for (auto it = m_config.cbegin(); it != m_config.cend(); ++it)
        env.insert(it.key(), it.value());
    QProcess service;
    service.setProcessEnvironment(env);
    service.setProcessChannelMode(QProcess::ForwardedChannels);
    service.start(path("service/varvexservice"), { "-e" });
    QVERIFY(service.waitForStarted());
    const bool undone = QTest::qWaitFor([&] { return calls().endsWith(undo); }, 10000);
    service.terminate();
    QVERIFY(service.waitForFinished(10000));
    QVERIFY2(undone, calls().constData());
    QVERIFY(!QFile::exists(path("run/network-changes")));
    QVERIFY(readAll(path("service/varvexservice.log")).contains(logged));
}

QTEST_GUILESS_MAIN(TestNetworkHook)
#include "tst_networkhook.moc"
