// The service against a second, real local user: who may connect to its
// socket, who gets the provisioned credentials, and that links the user
// plants beside the program are never written through.
#include <QtTest>
#include <QCryptographicHash>
#include <QSettings>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host_programfixture.h"
#include "localuser.h"
#include "processes.h"
#include "qvpncredentialscrypt.h"
#include "recordinghttpserver.h"

namespace {

const char kGroup[] = "varvex";
const QByteArray kStatusDisconnected = QByteArray::fromHex("01050d0302");
const QByteArray kCredentialsRequest = QByteArray::fromHex("01040902");
const QByteArray kEmptyCredentialsReply = QByteArray::fromHex("01050a0002");

// Creates the group for one test and removes it again.
struct TemporaryGroup
{
    bool created = false;
    bool create() { return created = LocalUser::run(QStringLiteral("groupadd"), {QString::fromLatin1(kGroup)}); }
    ~TemporaryGroup()
    {
        if (created)
            LocalUser::run(QStringLiteral("groupdel"), {QString::fromLatin1(kGroup)});
    }
};

QByteArray credentialsReply(const QByteArray& text)
{
    return QByteArray("\x01") + char(text.size() + 5) + '\x0a' + char(text.size()) + text + '\x02';
}

// What a connected peer received, up to the first bandwidth frame.
QByteArray received(const QByteArray& peerOutput)
{
    if (!peerOutput.startsWith("connected\nreceived "))
        return "<" + peerOutput + ">";
    QByteArray bytes = QByteArray::fromHex(peerOutput.mid(19).trimmed());
    const int bandwidth = bytes.indexOf(QByteArray::fromHex("010d0e"));
    return bandwidth >= 0 ? bytes.left(bandwidth) : bytes;
}

} // namespace

class TestLocalTrust : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void groupDecidesWhoConnects();
    void credentialsStayWithRootWithoutTheGroup();
    void plantedLinksAreNotFollowed();
    void socketFolderOthersCanWriteIsRefused();
    void missingSocketFolderIsMadeAndTheSocketGoesAtStop();
    void linkAtTheSocketPathIsLeftAlone();

private:
    QString socketPath() const { return m_fixture->path(QStringLiteral("tmp/Varvex")); }
    bool startService(RunningProcess& service);
    void storeCredentials();
    // Runs the socket peer as user (or as root when user is null), keeping
    // this test's event loop turning; returns its output.
    QByteArray runPeer(const LocalUser* user, const QStringList& arguments);
    bool runAs(const LocalUser& user, const QString& program, const QStringList& arguments);

    QScopedPointer<HostProgramFixture> m_fixture;
    QByteArray m_credentials;
};

#define REQUIRE_SECOND_USER()                                   \
    do {                                                        \
        const QString reason = LocalUser::unavailableReason(); \
        if (!reason.isEmpty())                                  \
            QSKIP(qPrintable(reason));                          \
    } while (false)

void TestLocalTrust::init()
{
    m_fixture.reset(new HostProgramFixture);
    QVERIFY(m_fixture->setUp());
    // The other user must reach the socket folder.
    QVERIFY(QFile::setPermissions(m_fixture->path(QString()), QFile::permissions(m_fixture->path(QStringLiteral("tmp")))));
    m_credentials = QVPNCredentialsCrypt::encodeUserPass(QStringLiteral("stored-user"), QStringLiteral("stored-pass"));
}

void TestLocalTrust::cleanup()
{
    m_fixture.reset();
}

bool TestLocalTrust::startService(RunningProcess& service)
{
    if (!m_fixture->startService(service.process, {QStringLiteral("-e")}))
        return false;
    // The control socket opens before the service listens for clients.
    return QTest::qWaitFor([&] { return QFileInfo(socketPath()).exists(); }, 5000);
}

void TestLocalTrust::storeCredentials()
{
    QSettings settings(m_fixture->configPath(), QSettings::IniFormat);
    settings.setValue(QStringLiteral("Credentials"), QString::fromLatin1(m_credentials));
}

QByteArray TestLocalTrust::runPeer(const LocalUser* user, const QStringList& arguments)
{
    QScopedPointer<QProcess> peer(user ? new UserProcess(*user) : new QProcess);
    peer->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    peer->start(QStringLiteral("/usr/bin/python3"),
                QStringList{qEnvironmentVariable("VARVEX_SOURCE_DIR") + QStringLiteral("/tests/socketpeer.py")} + arguments);
    if (!QTest::qWaitFor([&] { return peer->state() == QProcess::NotRunning; }, 15000))
        return "<peer did not finish>";
    return peer->readAllStandardOutput();
}

bool TestLocalTrust::runAs(const LocalUser& user, const QString& program, const QStringList& arguments)
{
    UserProcess process(user);
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(program, arguments);
    return process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

void TestLocalTrust::groupDecidesWhoConnects()
{
    REQUIRE_SECOND_USER();
    if (LocalUser::groupExists(QString::fromLatin1(kGroup)))
        QSKIP("the group varvex exists on this machine; this test creates and removes it itself");
    TemporaryGroup group;
    QVERIFY(group.create());
    LocalUser outsider;
    QVERIFY(outsider.create());
    LocalUser member;
    QVERIFY(member.create({QString::fromLatin1(kGroup)}));
    storeCredentials();

    RunningProcess service;
    QVERIFY(startService(service));

    struct stat info;
    QCOMPARE(::stat(QFile::encodeName(socketPath()).constData(), &info), 0);
    QCOMPARE(info.st_uid, uid_t(0));
    QCOMPARE(info.st_gid, ::getgrnam(kGroup)->gr_gid);
    QCOMPARE(int(info.st_mode & 07777), 0660);

    QCOMPARE(runPeer(&outsider, {"connect", socketPath(), kCredentialsRequest.toHex()}), QByteArray("refused EACCES\n"));
    // A member is served, the provisioned credentials included.
    QCOMPARE(received(runPeer(&member, {"connect", socketPath(), kCredentialsRequest.toHex()})),
             kStatusDisconnected + credentialsReply(m_credentials));
    QVERIFY(!m_fixture->log().contains("Credentials request refused"));
}

void TestLocalTrust::credentialsStayWithRootWithoutTheGroup()
{
    REQUIRE_SECOND_USER();
    if (LocalUser::groupExists(QString::fromLatin1(kGroup)))
        QSKIP("the group varvex exists on this machine: the socket is not open to all here");
    LocalUser outsider;
    QVERIFY(outsider.create());
    storeCredentials();

    RunningProcess service;
    QVERIFY(startService(service));

    struct stat info;
    QCOMPARE(::stat(QFile::encodeName(socketPath()).constData(), &info), 0);
    QCOMPARE(int(info.st_mode & 07777), 0666);

    // Anyone may connect and is told the status, but gets no credentials.
    QCOMPARE(received(runPeer(&outsider, {"connect", socketPath(), kCredentialsRequest.toHex()})),
             kStatusDisconnected + kEmptyCredentialsReply);
    const QRegularExpression warning(QStringLiteral(" - Warning: socket_readyRead - Credentials request refused: process \\d+ "
                                                    "of user %1 is neither root nor a member of the group varvex\\.\r\n")
                                         .arg(outsider.uid()));
    const QString log = QString::fromUtf8(m_fixture->log());
    QVERIFY2(warning.match(log).hasMatch(), qPrintable(log));

    // Root still gets them.
    QCOMPARE(received(runPeer(nullptr, {"connect", socketPath(), kCredentialsRequest.toHex()})),
             kStatusDisconnected + credentialsReply(m_credentials));
}

void TestLocalTrust::plantedLinksAreNotFollowed()
{
    REQUIRE_SECOND_USER();
    LocalUser outsider;
    QVERIFY(outsider.create());

    // Files the outsider may not write, and links to them where the service
    // writes its log and its CA certificate, in folders the outsider owns.
    QTemporaryDir victims;
    QVERIFY(victims.isValid());
    const QByteArray untouched = "untouched\n";
    for (const char* name : {"log-target", "cert-target"}) {
        QFile file(victims.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(untouched);
    }
    QVERIFY(::chmod(QFile::encodeName(victims.path()).constData(), 0755) == 0);
    for (const QString& folder : {m_fixture->path(QString()), m_fixture->path(QStringLiteral("bin"))})
        QCOMPARE(::chown(QFile::encodeName(folder).constData(), outsider.uid(), outsider.gid()), 0);
    QVERIFY(runAs(outsider, "/bin/ln", {"-s", victims.filePath("log-target"), m_fixture->logPath()}));
    QVERIFY(runAs(outsider, "/bin/ln", {"-s", victims.filePath("cert-target"), m_fixture->path("bin/ca.crt")}));

    QFile served(qEnvironmentVariable("VARVEX_SOURCE_DIR") + QStringLiteral("/tools/devwebapi/data/ca.crt"));
    QVERIFY(served.open(QIODevice::ReadOnly));
    const QByteArray certificate = served.readAll();
    RecordingHttpServer webApi;
    QVERIFY(webApi.start());
    webApi.setAnswer(QStringLiteral("/get_ca_info/"), 200,
                     "{\"hash\":\"" + QCryptographicHash::hash(certificate, QCryptographicHash::Sha1).toHex() + "\"}");
    webApi.setAnswer(QStringLiteral("/get_ca/"), 200, certificate);
    m_fixture->environment().insert(QStringLiteral("VARVEX_API_HOST"), webApi.hostAndPort());
    {
        QSettings settings(m_fixture->configPath(), QSettings::IniFormat);
        settings.setValue(QStringLiteral("LogLevel"), 4);
    }

    RunningProcess service;
    QVERIFY(startService(service));
    // A client connecting makes the service bring its certificate up to date.
    QLocalSocket client;
    client.connectToServer(socketPath());
    QVERIFY(client.waitForConnected(2000));
    const QString certificatePath = m_fixture->path(QStringLiteral("bin/ca.crt"));
    QVERIFY2(QTest::qWaitFor([&] { return !QFileInfo(certificatePath).isSymLink(); }, 10000),
             "the certificate link was not replaced");
    QCOMPARE(m_fixture->read(QStringLiteral("bin/ca.crt")), certificate);
    QCOMPARE(QFileInfo(certificatePath).ownerId(), uint(0));

    for (const char* name : {"log-target", "cert-target"}) {
        QFile file(victims.filePath(name));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), untouched);
    }
    QCOMPARE(QFileInfo(m_fixture->logPath()).symLinkTarget(), victims.filePath("log-target"));
}

void TestLocalTrust::socketFolderOthersCanWriteIsRefused()
{
    const QString folder = m_fixture->path(QStringLiteral("open"));
    QVERIFY(QDir().mkpath(folder));
    QCOMPARE(::chmod(QFile::encodeName(folder).constData(), 01777), 0);
    m_fixture->environment().insert(QStringLiteral("VARVEX_SOCKET_DIR"), folder);

    RunningProcess service;
    QVERIFY(m_fixture->startService(service.process, {QStringLiteral("-e")}));
    QVERIFY2(QTest::qWaitFor([&] { return m_fixture->log().contains("Critical: Varvex failed to listen"); }, 5000),
             m_fixture->log().constData());
    QVERIFY(m_fixture->log().contains("Error: start - " + QFile::encodeName(folder) + " may be written by other users\r\n"));
    QVERIFY(QDir(folder).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot));
}

void TestLocalTrust::missingSocketFolderIsMadeAndTheSocketGoesAtStop()
{
    const QString folder = m_fixture->path(QStringLiteral("run/varvex"));
    m_fixture->environment().insert(QStringLiteral("VARVEX_SOCKET_DIR"), folder);
    const QString socket = folder + QStringLiteral("/Varvex");

    RunningProcess service;
    QVERIFY(m_fixture->startService(service.process, {QStringLiteral("-e")}));
    QVERIFY(QTest::qWaitFor([&] { return QFileInfo(socket).exists(); }, 5000));
    struct stat info;
    QCOMPARE(::stat(QFile::encodeName(folder).constData(), &info), 0);
    QCOMPARE(int(info.st_mode & 07777), 0755);
    QCOMPARE(info.st_uid, ::geteuid());
    // Nothing but the socket is left in the folder.
    QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("Varvex")});
    // The temporary folder plays no part any more.
    QVERIFY(!QFileInfo::exists(m_fixture->path(QStringLiteral("tmp/Varvex"))));

    QCOMPARE(m_fixture->run({QStringLiteral("-t")}).exitCode, 0);
    QVERIFY(service.process.waitForFinished(5000));
    QVERIFY(!QFileInfo::exists(socket));
}

void TestLocalTrust::linkAtTheSocketPathIsLeftAlone()
{
    QTemporaryDir elsewhere;
    QVERIFY(elsewhere.isValid());
    const QString target = elsewhere.filePath(QStringLiteral("target"));
    QFile file(target);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("untouched");
    file.close();
    QVERIFY(QFile::link(target, socketPath()));

    RunningProcess service;
    QVERIFY(m_fixture->startService(service.process, {QStringLiteral("-e")}));
    QVERIFY2(QTest::qWaitFor([&] { return m_fixture->log().contains("Critical: Varvex failed to listen"); }, 5000),
             m_fixture->log().constData());
    QVERIFY(m_fixture->log().contains("Error: start - " + QFile::encodeName(socketPath()) + " is not a socket\r\n"));
    QCOMPARE(QFileInfo(socketPath()).symLinkTarget(), target);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("untouched"));
}

QTEST_GUILESS_MAIN(TestLocalTrust)
#include "tst_localtrust.moc"
