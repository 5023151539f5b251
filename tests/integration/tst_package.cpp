// The Debian package as a user gets it: built from this build's programs,
// installed with dpkg, every file in its place with its mode, the installed
// service answering a client against the development web API, and nothing
// left after purge. Needs root; skips without it. Leaves nothing installed.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tunneltestsupport.h"

using namespace TunnelTestSupport;

namespace {

const char Package[] = "varvex";
// Packaging takes seconds on an idle machine and over a minute on a busy one.
const int PackagingTimeoutMs = 300000;
// Two runs of this test at once would install and purge under each other.
const char TestLock[] = "/run/lock/varvex-package-test.lock";
const char PolicyHelper[] = "/usr/sbin/policy-rc.d";
const char PrivateDir[] = "/usr/lib/varvex";
const char Service[] = "/usr/lib/varvex/varvexservice";
const char LogFile[] = "/var/log/varvex/varvexservice.log";
const char Certificate[] = "/var/lib/varvex/ca.crt";
const char Settings[] = "/etc/varvex/service.conf";
const char Unit[] = "/lib/systemd/system/varvex.service";
const char EnabledLink[] = "/etc/systemd/system/multi-user.target.wants/varvex.service";
const char DesktopEntry[] = "/usr/share/applications/net.varvex.client.desktop";
const char Metainfo[] = "/usr/share/metainfo/net.varvex.client.metainfo.xml";

struct Expected
{
    const char* path;
    mode_t type;
    mode_t mode; // permission bits; 0 for links
    const char* linkTarget;
};

// Everything the package installs, and what it is.
const Expected Installed[] = {
    { "/usr/lib/varvex/varvexservice", S_IFREG, 0755, nullptr },
    { "/usr/lib/varvex/bin/openvpn", S_IFREG, 0755, nullptr },
    { "/usr/bin/varvexclient", S_IFREG, 0755, nullptr },
    { "/usr/bin/varvexctl", S_IFREG, 0755, nullptr },
    { "/usr/share/bash-completion/completions/varvexctl", S_IFREG, 0644, nullptr },
    { "/usr/lib/varvex/varvexservice.log", S_IFLNK, 0, "/var/log/varvex/varvexservice.log" },
    { "/usr/lib/varvex/bin/ca.crt", S_IFLNK, 0, "/var/lib/varvex/ca.crt" },
    { "/var/log/varvex", S_IFDIR, 0755, nullptr },
    { "/var/lib/varvex", S_IFDIR, 0755, nullptr },
    { "/etc/varvex/service.conf", S_IFREG, 0600, nullptr },
    { "/lib/systemd/system/varvex.service", S_IFREG, 0644, nullptr },
    { "/usr/share/applications/net.varvex.client.desktop", S_IFREG, 0644, nullptr },
    { "/usr/share/metainfo/net.varvex.client.metainfo.xml", S_IFREG, 0644, nullptr },
    { "/usr/share/icons/hicolor/scalable/apps/varvex.svg", S_IFREG, 0644, nullptr },
    { "/usr/share/man/man1/varvexclient.1.gz", S_IFREG, 0644, nullptr },
    { "/usr/share/man/man1/varvexctl.1.gz", S_IFREG, 0644, nullptr },
    { "/usr/share/man/man8/varvexservice.8.gz", S_IFREG, 0644, nullptr },
    { "/usr/share/doc/varvex/copyright", S_IFREG, 0644, nullptr },
    { "/usr/share/doc/varvex/changelog.gz", S_IFREG, 0644, nullptr },
    { "/usr/share/lintian/overrides/varvex", S_IFREG, 0644, nullptr },
};
const int IconSizes[] = { 16, 22, 24, 32, 48, 64, 128, 256 };
const char* const FontFiles[] = { "Roboto-Regular", "Roboto-Bold", "Roboto-Medium", "Roboto-Light",
                                  "RobotoCondensed-Regular", "RobotoCondensed-Bold", "RobotoCondensed-Medium",
                                  "RobotoCondensed-Light" };

// Folders of the package and of the system's service manager that hold
// something of it only while it is installed (or removed, not purged).
const char* const GoneAfterPurge[] = {
    "/usr/lib/varvex", "/usr/share/varvex", "/usr/bin/varvexclient", "/usr/bin/varvexctl", "/etc/varvex",
    "/var/log/varvex",
    "/var/lib/varvex", "/lib/systemd/system/varvex.service", "/etc/systemd/system/varvex.service",
    "/etc/systemd/system/multi-user.target.wants/varvex.service", "/usr/share/doc/varvex",
    "/var/lib/systemd/deb-systemd-helper-enabled/varvex.service.dsh-also",
    "/var/lib/systemd/deb-systemd-helper-enabled/multi-user.target.wants/varvex.service",
    "/var/lib/systemd/deb-systemd-helper-masked/varvex.service",
};

bool lstatOf(const QString& path, struct stat* info)
{
    return ::lstat(QFile::encodeName(path).constData(), info) == 0;
}

QString describe(const QString& path)
{
    struct stat info;
    if (!lstatOf(path, &info))
        return path + QStringLiteral(" is missing");
    return QStringLiteral("%1: type %2 mode %3 owner %4:%5 -> %6")
        .arg(path)
        .arg(info.st_mode & S_IFMT, 0, 8)
        .arg(info.st_mode & 07777, 0, 8)
        .arg(info.st_uid)
        .arg(info.st_gid)
        .arg(QFileInfo(path).symLinkTarget());
}

bool installedIs(const QString& path, mode_t type, mode_t mode)
{
    struct stat info;
    return lstatOf(path, &info) && (info.st_mode & S_IFMT) == type && info.st_uid == 0 && info.st_gid == 0
        && (type == S_IFLNK || (info.st_mode & 07777) == mode);
}

QString packageStatus()
{
    return QString::fromUtf8(
        run("dpkg-query", { "-W", "-f=${db:Status-Abbrev}", Package }).output).trimmed();
}

} // namespace

class TestPackage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void packageIsCleanByDebiansChecks();
    void installPutsEveryFileInPlace();
    void installedProgramsAreHardened();
    void installedUnitIsTheOneInstallWrites();
    void commandLineLeavesThePackagesUnitAlone();
    void installedServiceAnswersAClient();
    void removeKeepsOnlySettingsLogAndCertificate();
    void purgeLeavesNothing();

private:
    RunResult dpkg(const QStringList& arguments);
    void purge();

    QString m_source;
    QString m_build;
    QString m_python;
    QScopedPointer<QTemporaryDir> m_dir;
    QString m_deb;
    bool m_wrotePolicyHelper = false;
    int m_lock = -1;
};

void TestPackage::initTestCase()
{
    if (geteuid() != 0)
        QSKIP("The package test needs root to install the package.");
    for (const char* tool : { "dpkg-buildpackage", "dh", "lintian", "desktop-file-validate", "appstreamcli" }) {
        if (findProgram(tool).isEmpty())
            QSKIP(qPrintable(QStringLiteral("The package test needs %1 (scripts/install-deps.sh installs it).").arg(tool)));
    }
    m_lock = ::open(TestLock, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    QVERIFY2(m_lock >= 0, TestLock);
    QVERIFY2(QTest::qWaitFor([this] { return ::flock(m_lock, LOCK_EX | LOCK_NB) == 0; }, 120000),
             "another package test kept the machine for two minutes");
    const QString status = packageStatus();
    if (!status.isEmpty() && !status.startsWith("un") && !status.startsWith("pn"))
        QSKIP("Varvex is installed on this machine; the package test would replace it.");

    m_source = qEnvironmentVariable("VARVEX_SOURCE_DIR");
    m_build = qEnvironmentVariable("VARVEX_BUILD_DIR");
    m_python = QFileInfo::exists("/usr/bin/python3") ? QStringLiteral("/usr/bin/python3") : findProgram("python3");
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());

    // The package's own programs, built already; stripping them and
    // splitting off their debug symbols took a minute on a loaded machine.
    const RunResult built = run(m_source + "/scripts/package.sh",
                                { "--prebuilt", m_build, "--no-lintian", m_dir->filePath("out") },
                                QProcess::MergedChannels, QProcessEnvironment::systemEnvironment(),
                                PackagingTimeoutMs);
    QVERIFY2(built.exitCode == 0, built.output.constData());
    m_deb = QString::fromUtf8(built.output).trimmed().split('\n').last();
    QVERIFY2(QFileInfo(m_deb).isFile() && m_deb.endsWith(".deb"), built.output.constData());

    // Where systemd runs, installing would start the real service; the
    // Debian way to forbid that is a policy helper answering 101.
    if (QFileInfo::exists("/run/systemd/system") && !QFileInfo::exists(PolicyHelper)) {
        QFile helper(PolicyHelper);
        QVERIFY(helper.open(QIODevice::WriteOnly));
        helper.write("#!/bin/sh\n# Written by the Varvex package test; removed when it ends.\nexit 101\n");
        helper.close();
        QVERIFY(helper.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                      | QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther
                                      | QFileDevice::ExeOther));
        m_wrotePolicyHelper = true;
    }

    const RunResult installed = dpkg({ "-i", m_deb });
    QVERIFY2(installed.exitCode == 0, installed.output.constData());
    QCOMPARE(packageStatus(), QString("ii"));
    QFile stamp(m_dir->filePath("installed"));
    QVERIFY(stamp.open(QIODevice::WriteOnly));
}

void TestPackage::cleanupTestCase()
{
    if (geteuid() == 0 && m_dir) {
        const QString status = packageStatus();
        if (!status.isEmpty() && !status.startsWith("un") && !status.startsWith("pn"))
            purge();
    }
    if (m_wrotePolicyHelper)
        QFile::remove(PolicyHelper);
    if (m_lock >= 0)
        ::close(m_lock);
}

RunResult TestPackage::dpkg(const QStringList& arguments)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DEBIAN_FRONTEND", "noninteractive");
    // dpkg does not wait for a package manager that runs elsewhere.
    RunResult result;
    (void)QTest::qWaitFor([&] {
        result = run("dpkg", arguments, QProcess::MergedChannels, env);
        return !result.output.contains("locked by another process");
    }, 60000);
    return result;
}

void TestPackage::purge()
{
    dpkg({ "--purge", Package });
}

void TestPackage::packageIsCleanByDebiansChecks()
{
    const RunResult lintian = run("lintian", { "--fail-on", "error", "--no-tag-display-limit", m_deb },
                                  QProcess::MergedChannels);
    QVERIFY2(lintian.exitCode == 0, lintian.output.constData());
    // Warnings too: the one kept on purpose is overridden with its reason.
    QVERIFY2(!lintian.output.contains("E: ") && !lintian.output.contains("W: "), lintian.output.constData());

    const RunResult desktop = run("desktop-file-validate", { DesktopEntry }, QProcess::MergedChannels);
    QVERIFY2(desktop.exitCode == 0 && desktop.output.isEmpty(), desktop.output.constData());

    const RunResult appstream = run("appstreamcli", { "validate", "--no-net", "--pedantic", Metainfo },
                                    QProcess::MergedChannels);
    QVERIFY2(appstream.exitCode == 0, appstream.output.constData());
}

void TestPackage::installPutsEveryFileInPlace()
{
    for (const Expected& file : Installed) {
        QVERIFY2(installedIs(file.path, file.type, file.mode), qPrintable(describe(file.path)));
        if (file.linkTarget)
            QCOMPARE(QFile::symLinkTarget(file.path), QString(file.linkTarget));
    }
    for (int size : IconSizes) {
        const QString icon = QStringLiteral("/usr/share/icons/hicolor/%1x%1/apps/varvex.png").arg(size);
        QVERIFY2(installedIs(icon, S_IFREG, 0644), qPrintable(describe(icon)));
        QCOMPARE(QImage(icon).size(), QSize(size, size));
    }
    // And nothing else: every file of the package is one of those.
    QStringList expected;
    for (const Expected& file : Installed) {
        if (file.type != S_IFDIR)
            expected << file.path;
    }
    for (int size : IconSizes)
        expected << QStringLiteral("/usr/share/icons/hicolor/%1x%1/apps/varvex.png").arg(size);
    for (const char* font : FontFiles)
        expected << QStringLiteral("/usr/share/varvex/Fonts/%1.ttf").arg(font);
    QStringList listed;
    for (const QString& path : QString::fromUtf8(run("dpkg", { "-L", Package }).output).split('\n', Qt::SkipEmptyParts)) {
        if (!QFileInfo(path).isDir())
            listed << path;
    }
    expected.sort();
    listed.sort();
    QVERIFY2(listed == expected, qPrintable(QStringLiteral("package holds: %1").arg(listed.join(' '))));

    // The menu entry starts the client where its fonts are.
    const QByteArray entry = readFile(DesktopEntry);
    QVERIFY2(entry.contains("\nExec=varvexclient\n") && entry.contains("\nPath=/usr/share/varvex\n"), entry.constData());
    for (const char* font : FontFiles) {
        const QString link = QStringLiteral("/usr/share/varvex/Fonts/%1.ttf").arg(font);
        QVERIFY2(installedIs(link, S_IFLNK, 0) && QFileInfo(link).isFile(), qPrintable(describe(link)));
    }
    QCOMPARE(QDir("/usr/share/varvex/Fonts").entryList(QDir::AllEntries | QDir::NoDotAndDotDot).size(),
             int(sizeof(FontFiles) / sizeof(FontFiles[0])));
    // The private folder holds the service, its launcher and the two links.
    QCOMPARE(QDir(PrivateDir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System),
             QStringList({ "bin", "varvexservice", "varvexservice.log" }));
    QCOMPARE(QDir(QString(PrivateDir) + "/bin").entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System),
             QStringList({ "ca.crt", "openvpn" }));

    // Settings are a conffile, so the user's edits survive upgrades.
    const QString conffiles = QString::fromUtf8(run("dpkg-query", { "-W", "-f=${Conffiles}", Package }).output);
    QVERIFY2(conffiles.contains(QString(" ") + Settings + " "), qPrintable(conffiles));
    const QString depends = QString::fromUtf8(run("dpkg-query", { "-W", "-f=${Depends}", Package }).output);
    for (const char* dependency : { "openvpn", "nftables", "fonts-roboto-unhinted", "libqt5core5a", "libqt5widgets5", "libqt5network5" })
        QVERIFY2(depends.contains(QRegularExpression(QStringLiteral("(^|, )%1\\b").arg(dependency))), qPrintable(depends));

    // Enabled at boot; here without a running systemd nothing was started.
    QVERIFY2(QFileInfo(EnabledLink).isSymLink(), qPrintable(describe(EnabledLink)));
    QCOMPARE(QFileInfo(EnabledLink).symLinkTarget(), QString(Unit));
}

void TestPackage::installedProgramsAreHardened()
{
    const QString readelf = findProgram("readelf");
    if (readelf.isEmpty())
        QSKIP("readelf (binutils) is missing.");
    for (const char* program : { "/usr/lib/varvex/varvexservice", "/usr/lib/varvex/bin/openvpn", "/usr/bin/varvexclient",
                                "/usr/bin/varvexctl" }) {
        const RunResult header = run(readelf, { "-W", "-h", "-l", "-d", "--dyn-syms", program });
        QCOMPARE(header.exitCode, 0);
        const QByteArray& out = header.output;
        QVERIFY2(out.contains("DYN (Position-Independent Executable file)") || out.contains("Flags: NOW PIE"),
                 program);
        QVERIFY2(out.contains("GNU_RELRO"), program);
        QVERIFY2(out.contains("BIND_NOW") || out.contains("Flags: NOW"), program);
        QVERIFY2(out.contains("__stack_chk_fail"), program);
        QVERIFY2(QRegularExpression("__\\w+_chk@").match(QString::fromLatin1(out)).hasMatch(), program);
    }
}

void TestPackage::installedUnitIsTheOneInstallWrites()
{
    // The installed program writes its own unit into a private folder; the
    // package's must be that very text.
    const QString units = m_dir->filePath("units");
    QVERIFY(QDir().mkpath(units));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("VARVEX_UNIT_DIR", units);
    env.remove("VARVEX_SYSTEMCTL");
    const RunResult installed = run(Service, { "-i" }, QProcess::SeparateChannels, env);
    QVERIFY2(installed.exitCode == 0, installed.errors.constData());
    const QByteArray written = readFile(units + "/varvex.service");
    QVERIFY(!written.isEmpty());
    QCOMPARE(readFile(Unit), written);
    QVERIFY(written.contains("\nExecStart=\"/usr/lib/varvex/varvexservice\"\n"));

    // systemd's own tools accept the installed unit and rate its confinement
    // (0 fully confined, 10 not at all).
    const RunResult verify = run("systemd-analyze", { "verify", Unit }, QProcess::MergedChannels);
    QVERIFY2(verify.exitCode == 0, verify.output.constData());
    const RunResult security = run("systemd-analyze", { "security", "--offline=true", "--no-pager", Unit });
    const QString score = QRegularExpression("Overall exposure level for varvex.service: ([0-9.]+)")
                              .match(QString::fromUtf8(security.output)).captured(1);
    qInfo("systemd-analyze security: %s", qPrintable(score));
    QVERIFY2(!score.isEmpty() && score.toDouble() <= 2.5, security.output.constData());
}

void TestPackage::commandLineLeavesThePackagesUnitAlone()
{
    // -i and -u see the package's unit as the installed service; neither
    // writes a second one nor removes the package's.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("VARVEX_UNIT_DIR");
    env.insert("VARVEX_SYSTEMCTL", "/bin/true");
    const QByteArray unit = readFile(Unit);
    const RunResult install = run(Service, { "-i" }, QProcess::SeparateChannels, env);
    QCOMPARE(install.exitCode, 0);
    QCOMPARE(install.errors, QByteArray("The service Varvex is already installed\n"));
    const RunResult uninstall = run(Service, { "-u" }, QProcess::SeparateChannels, env);
    QCOMPARE(uninstall.exitCode, 255);
    QCOMPARE(uninstall.errors, QByteArray("The service Varvex could not be uninstalled\n"));
    QCOMPARE(readFile(Unit), unit);
    QVERIFY(!QFileInfo::exists("/etc/systemd/system/varvex.service"));
    QVERIFY(QFileInfo(EnabledLink).isSymLink());
}

void TestPackage::installedServiceAnswersAClient()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("VARVEX_UNIT_DIR");
    env.remove("VARVEX_SERVICE_CONFIG");
    // "running" asks the control socket: a private folder keeps a service
    // that happens to run on this machine out of the answer.
    QVERIFY(QDir().mkpath(m_dir->filePath("control")));
    env.insert("VARVEX_CONTROL_DIR", m_dir->filePath("control"));
    const RunResult version = run(Service, { "-v" }, QProcess::SeparateChannels, env);
    QCOMPARE(version.exitCode, 0);
    QCOMPARE(version.output,
             QByteArray("The service\n\tVarvex\n\t/usr/lib/varvex/varvexservice\n\nis installed and not running\n\n"));

    QProcess webApi;
    webApi.setProcessChannelMode(QProcess::MergedChannels);
    webApi.start(m_python, { m_source + "/tools/devwebapi/devwebapi.py", "--port", "0", "--tls-dir",
                             m_dir->filePath("webapi-tls") });
    QByteArray announced;
    QVERIFY(QTest::qWaitFor([&] {
        announced += webApi.readAll();
        return announced.contains('\n') || webApi.state() == QProcess::NotRunning;
    }, 10000));
    const QString apiHost =
        QRegularExpression("devwebapi listening on (\\S+)").match(QString::fromUtf8(announced)).captured(1);
    QVERIFY2(!apiHost.isEmpty(), announced.constData());

    // The installed service with its installed settings; only the sockets
    // go to a private folder, apart from any other service on this machine.
    const QString tmp = m_dir->filePath("tmp");
    QVERIFY(QDir().mkpath(tmp) && QDir().mkpath(m_dir->filePath("control")));
    env.insert("TMPDIR", tmp);
    env.insert("VARVEX_SOCKET_DIR", tmp);
    env.insert("VARVEX_CONTROL_DIR", m_dir->filePath("control"));
    env.insert("VARVEX_API_HOST", apiHost);
    env.insert("VARVEX_API_CA_FILE", m_dir->filePath("webapi-tls/web-ca.crt"));
    QProcess service;
    service.setProcessEnvironment(env);
    service.setWorkingDirectory("/");
    service.setProcessChannelMode(QProcess::MergedChannels);
    service.start(Service, { "-e" });
    QVERIFY(service.waitForStarted());

    ServiceClient client;
    QVERIFY2(client.connectTo(service, tmp + "/Varvex"), service.readAll().constData());
    QCOMPARE(hex(client.nextEvent(5000)), hex(statusFrame(QVarvexCommandDisconnected)));

    // A client's arrival fetches the certificate: it lands in /var/lib
    // through the link beside the launcher, which stays a link.
    const QByteArray published = readFile(m_source + "/tools/devwebapi/data/ca.crt");
    QVERIFY(!published.isEmpty());
    QVERIFY2(QTest::qWaitFor([&] { return readFile(Certificate) == published; }, 10000), qPrintable(describe(Certificate)));
    QVERIFY(QFileInfo("/usr/lib/varvex/bin/ca.crt").isSymLink());
    QVERIFY2(QFileInfo(Certificate).isFile() && !QFileInfo(Certificate).isSymLink(), qPrintable(describe(Certificate)));

    stop(service);
    QCOMPARE(service.exitStatus(), QProcess::NormalExit);
    QCOMPARE(service.exitCode(), 0);
    stop(webApi);

    // The installed settings have no installer name: the service said so in
    // its log, which is in /var/log through the link beside the program.
    QVERIFY2(readFile(LogFile).contains("Varvex installer string does not end with .exe"), qPrintable(describe(LogFile)));
    QVERIFY(QFileInfo("/usr/lib/varvex/varvexservice.log").isSymLink());
    // Nothing was written below /usr.
    const RunResult changed = run("find", { "/usr/lib/varvex", "/usr/share/varvex", "/usr/bin/varvexclient", "-newer",
                                            m_dir->filePath("installed") });
    QVERIFY2(changed.output.isEmpty(), changed.output.constData());
}

void TestPackage::removeKeepsOnlySettingsLogAndCertificate()
{
    const RunResult removed = dpkg({ "--remove", Package });
    QVERIFY2(removed.exitCode == 0, removed.output.constData());
    QCOMPARE(packageStatus(), QString("rc"));
    for (const char* path : { "/usr/lib/varvex", "/usr/share/varvex", "/usr/bin/varvexclient", Unit, DesktopEntry })
        QVERIFY2(!QFileInfo::exists(path) && !QFileInfo(path).isSymLink(), qPrintable(describe(path)));
    // Policy keeps the conffile, the log and the state until purge; the
    // service's enabled state too, so that installing again keeps it.
    QVERIFY(QFileInfo(EnabledLink).isSymLink());
    QVERIFY2(installedIs(Settings, S_IFREG, 0600), qPrintable(describe(Settings)));
    QVERIFY(QFileInfo::exists(LogFile));
    QVERIFY(QFileInfo::exists(Certificate));
}

void TestPackage::purgeLeavesNothing()
{
    const RunResult purged = dpkg({ "--purge", Package });
    QVERIFY2(purged.exitCode == 0, purged.output.constData());
    const QString status = packageStatus();
    QVERIFY2(status.isEmpty() || status.startsWith("un") || status.startsWith("pn"), qPrintable(status));
    for (const char* path : GoneAfterPurge)
        QVERIFY2(!QFileInfo::exists(path) && !QFileInfo(path).isSymLink(), qPrintable(describe(path)));
}

QTEST_GUILESS_MAIN(TestPackage)
#include "tst_package.moc"
