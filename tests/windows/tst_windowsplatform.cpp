#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include <windows.h>

#include "adaptercounters.h"
#include "frameclient.h"
#include "host_testcertificates.h"
#include "nofollowfile.h"
#include "pemcertificates.h"
#include "qvarvexcommand.h"
#include "qvpnclientsettings.h"
#include "qvpnsettings.h"
#include "servicepeer.h"
#include "singleinstancelock.h"

// The Windows halves of the platform layer, run under Wine in a prefix of
// the test's own: its registry is the test's to change.
class TestWindowsPlatform : public QObject
{
    Q_OBJECT
private slots:
    void settingsLiveInTheRegistry();
    void runKeyValueFollowsTheSwitch();
    void oneInstancePerSession();
    void pipeServedByThisUserIsTrusted();
    void adapterTablesAreRead();
    void controllerDrivesTheStandIn();
    void logRefusesALinkAtItsPath();
    void certificatesParseWithoutTheToolkitsTls();
};

void TestWindowsPlatform::settingsLiveInTheRegistry()
{
    const QString machineKey = QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\Varvex");
    QCOMPARE(QVPNSettings::storePath(), machineKey);
    {
        QVPNSettings settings;
        settings.setValue("LogLevel", 4);
    }
    QCOMPARE(QSettings(machineKey, QSettings::NativeFormat).value("LogLevel").toInt(), 4);
    // The key that holds the provisioned credentials is closed to other users.
    QVERIFY(NoFollowFile::restrictToOwner(machineKey));
    QCOMPARE(QSettings(machineKey, QSettings::NativeFormat).value("LogLevel").toInt(), 4);

    QVPNClientSettings::setFavoriteServers("de;nl");
    QCOMPARE(QSettings("HKEY_CURRENT_USER\\Software\\Varvex", QSettings::NativeFormat).value("FavoriteServers").toString(),
             QString("de;nl"));
    QVPNClientSettings::setCredentials("user", "pass word");
    QString user, password;
    QVERIFY(QVPNClientSettings::getCredentials(user, password));
    QCOMPARE(password, QString("pass word"));
}

void TestWindowsPlatform::runKeyValueFollowsTheSwitch()
{
    const QString runKey = QStringLiteral("HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run");
    QVPNClientSettings::setAutoStart(true);
    QVERIFY(QVPNClientSettings::getAutoStart());
    const QString data = QSettings(runKey, QSettings::NativeFormat).value("Varvex Client").toString();
    QVERIFY2(data.contains(QDir::toNativeSeparators(QCoreApplication::applicationFilePath())), qPrintable(data));
    // Changed by hand: the switch still reads the value's presence alone.
    QSettings(runKey, QSettings::NativeFormat).setValue("Varvex Client", "C:\\elsewhere.exe");
    QVERIFY(QVPNClientSettings::getAutoStart());
    QVPNClientSettings::setAutoStart(false);
    QVPNClientSettings::setAutoStart(false);
    QVERIFY(!QVPNClientSettings::getAutoStart());
    QVERIFY(!QSettings(runKey, QSettings::NativeFormat).contains("Varvex Client"));
}

void TestWindowsPlatform::oneInstancePerSession()
{
    auto first = std::make_unique<SingleInstanceLock>("C:\\Program Files\\Varvex\\varvexclient.exe");
    QVERIFY(first->isLocked());
    {
        // The same program named with other letter case is the same program.
        SingleInstanceLock second("c:\\program files\\varvex\\VARVEXCLIENT.EXE");
        QVERIFY(second.isHeldElsewhere());
        QVERIFY(!second.isLocked());
        SingleInstanceLock other("C:\\Other\\varvexclient.exe");
        QVERIFY(other.isLocked());
    }
    first.reset();
    SingleInstanceLock third("C:\\Program Files\\Varvex\\varvexclient.exe");
    QVERIFY(third.isLocked());
}

void TestWindowsPlatform::pipeServedByThisUserIsTrusted()
{
    QLocalServer server;
    server.setSocketOptions(QLocalServer::WorldAccessOption);
    QVERIFY(server.listen("VarvexTrustTest"));
    FrameClient client;
    QVERIFY(client.connectTo("VarvexTrustTest"));
    QString reason;
    QVERIFY2(ServicePeer::isTrusted(client.socket().socketDescriptor(), &reason), qPrintable(reason));
    // A descriptor that is no pipe tells nothing, and is not trusted.
    QVERIFY(!ServicePeer::isTrusted(0, &reason));
    QVERIFY(!reason.isEmpty());
}

void TestWindowsPlatform::adapterTablesAreRead()
{
    QList<AdapterInfo> adapters;
    QVERIFY(systemAdapterCounterSource()->adapters(&adapters));
    QList<InterfaceCounters> rows;
    QVERIFY(systemAdapterCounterSource()->interfaceTable(&rows));
    QVERIFY(!rows.isEmpty());
    for (const AdapterInfo& adapter : adapters)
        QVERIFY(adapter.name.startsWith('{'));
}

void TestWindowsPlatform::controllerDrivesTheStandIn()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString scenario = dir.filePath("scenario");
    const QString record = dir.filePath("record");
    QFile steps(scenario);
    QVERIFY(steps.open(QIODevice::WriteOnly));
    steps.write("prompt\n"
                "out Wed Dec 09 10:00:00 2026 [10.8.0.6] Peer Connection Initiated with [AF_INET]192.0.2.1:443\\r\\n\n"
                "out Wed Dec 09 10:00:00 2026 TAP-WIN32 device [Local Area Connection 2] opened: "
                "\\\\.\\Global\\{0A1B2C3D-0000-1111-2222-333344445555}.tap\\r\\n\n"
                "out Wed Dec 09 10:00:00 2026 Notified TAP-Win32 driver to set a DHCP IP/netmask of 10.8.0.6/255.255.255.252 "
                "on interface {0A1B2C3D-0000-1111-2222-333344445555} [DHCP-serv: 10.8.0.5, lease-time: 31536000]\\r\\n\n"
                "out Wed Dec 09 10:00:00 2026 Initialization Sequence Completed\\r\\n\n"
                "hang\n");
    steps.close();
    qputenv("FAKE_OPENVPN_SCENARIO", scenario.toLocal8Bit());
    qputenv("FAKE_OPENVPN_RECORD", record.toLocal8Bit());
    QVERIFY(QFile::exists(QCoreApplication::applicationDirPath() + "/bin/openvpn.exe"));

    QVarvexCommand command;
    QSignalSpy status(&command, SIGNAL(statusUpdate(int)));
    command.startVPN("vpn.example.net", "user", "Sup3r-S3cret");
    QTRY_COMPARE_WITH_TIMEOUT(status.count(), 2, 20000);
    QCOMPARE(status.at(1).at(0).toInt(), 1);
    QCOMPARE(command.deviceIP(), QByteArray("10.8.0.6"));
    QCOMPARE(command.deviceName(), QByteArray("Local Area Connection 2"));
    QCOMPARE(command.deviceGuid(), QByteArray("{0A1B2C3D-0000-1111-2222-333344445555}"));

    command.stopVPN();
    QTRY_COMPARE_WITH_TIMEOUT(status.count(), 4, 10000);
    QCOMPARE(status.at(2).at(0).toInt(), 2);
    QCOMPARE(status.at(3).at(0).toInt(), 3);

    QFile recorded(record);
    QVERIFY(recorded.open(QIODevice::ReadOnly));
    const QByteArray text = recorded.readAll();
    QVERIFY2(text.contains("user=user\n") && text.contains("pass=Sup3r-S3cret\n"), text.constData());
    QVERIFY(text.contains("arg=--remote\narg=vpn.example.net\narg=443\n"));
    QVERIFY(text.contains("arg=--auth-user-pass\n"));
    // Started in its own folder, where it finds ca.crt.
    QVERIFY2(text.contains("\\bin\n"), text.constData());
}

void TestWindowsPlatform::logRefusesALinkAtItsPath()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QFile plain;
    QVERIFY(NoFollowFile::openForAppend(&plain, dir.filePath("service.log"), 0644));
    QCOMPARE(plain.write("line\r\n"), qint64(6));
    plain.close();
    QVERIFY(NoFollowFile::openForAppend(&plain, dir.filePath("service.log"), 0644));
    plain.write("more\r\n");
    plain.close();
    QFile check(dir.filePath("service.log"));
    QVERIFY(check.open(QIODevice::ReadOnly));
    QCOMPARE(check.readAll(), QByteArray("line\r\nmore\r\n"));
    check.close();

    // A second name for someone else's file is refused.
    QVERIFY(CreateHardLinkW(reinterpret_cast<const wchar_t*>(QDir::toNativeSeparators(dir.filePath("second.log")).utf16()),
                            reinterpret_cast<const wchar_t*>(QDir::toNativeSeparators(dir.filePath("service.log")).utf16()),
                            nullptr));
    QFile linked;
    QVERIFY(!NoFollowFile::openForAppend(&linked, dir.filePath("second.log"), 0644));

    // A replacement takes the path's place without touching the other name's file.
    NoFollowSaveFile save(dir.filePath("second.log"), 0644);
    QVERIFY(save.open());
    QCOMPARE(save.write("new"), qint64(3));
    QVERIFY(save.commit());
    QFile replaced(dir.filePath("second.log"));
    QVERIFY(replaced.open(QIODevice::ReadOnly));
    QCOMPARE(replaced.readAll(), QByteArray("new"));
    QVERIFY(check.open(QIODevice::ReadOnly));
    QCOMPARE(check.readAll(), QByteArray("line\r\nmore\r\n"));
}

// A server's certificate (CA:FALSE, valid until 2126) and an authority that
// expired on 2026-12-08: what the CA file check must refuse.
const QByteArray kServerCertificate(
    "-----BEGIN CERTIFICATE-----\n"
    "MIIBijCCATGgAwIBAgIUE+JuKBUwV/TgTAi7VoKgxc7nG9kwCgYIKoZIzj0EAwIw\n"
    "HTEbMBkGA1UEAwwSVmFydmV4IHRlc3Qgc2VydmVyMCAXDTI2MTIwOTEzMzcxNVoY\n"
    "DzIxMjYxMTE1MTMzNzE1WjAdMRswGQYDVQQDDBJWYXJ2ZXggdGVzdCBzZXJ2ZXIw\n"
    "WTATBgcqhkjOPQIBBggqhkjOPQMBBwNCAARJTjbNrqvmtzwMsDY0+Z2M+3r6Uy/v\n"
    "8hcsB6PN2RCDEfTtsVI2uzbQ9/IpJNJsBOsIT3rIn0eYmKTqes1dokzho00wSzAd\n"
    "BgNVHQ4EFgQUws9FF9rjgeOTdu8TdP20zVKUl4EwHwYDVR0jBBgwFoAUws9FF9rj\n"
    "geOTdu8TdP20zVKUl4EwCQYDVR0TBAIwADAKBggqhkjOPQQDAgNHADBEAiAiHeQo\n"
    "WHQIYE1mdhgnEpD2XFYJ6yGa7zNEqUpDu8/bbgIgWcieggMf7ze70Z+S5rjDGU5+\n"
    "eh/nu8GI+iQZQIsqJb4=\n"
    "-----END CERTIFICATE-----\n");
const QByteArray kExpiredAuthority(
    "-----BEGIN CERTIFICATE-----\n"
    "MIIBhzCCASygAwIBAgIUI6bMeChpHupXChBe8e1DVxbAedIwCgYIKoZIzj0EAwIw\n"
    "ITEfMB0GA1UEAwwWVmFydmV4IGV4cGlyZWQgdGVzdCBDQTAeFw0yNjEyMDkxMzM3\n"
    "MTVaFw0yNjEyMDgxMzM3MTVaMCExHzAdBgNVBAMMFlZhcnZleCBleHBpcmVkIHRl\n"
    "c3QgQ0EwWTATBgcqhkjOPQIBBggqhkjOPQMBBwNCAATn43kbTGe9VI9VtqH34rxi\n"
    "5P7Nffcg7VT+rxVsMmaIZwL2+t6pUCsaW5kcWyAMzNfUk7usR1zwzEXBdf13iCsH\n"
    "o0IwQDAPBgNVHRMBAf8EBTADAQH/MA4GA1UdDwEB/wQEAwIBBjAdBgNVHQ4EFgQU\n"
    "770OrxXm6z4cQHbH05QEiu/VKQ0wCgYIKoZIzj0EAwIDSQAwRgIhAOlDSdmhSbJ/\n"
    "lzxoUq4UkZ+DHF6/wCYmMpJ7dbihrCi7AiEAqwsg3em1ZCZJFlTPVXfcFzo9kwFL\n"
    "hPEd3MzNQvWPWnQ=\n"
    "-----END CERTIFICATE-----\n");

void TestWindowsPlatform::certificatesParseWithoutTheToolkitsTls()
{
    QList<PemCertificates::Certificate> read;
    QVERIFY(PemCertificates::read(testCertificateA() + testCertificateB(), &read));
    QCOMPARE(read.size(), 2);
    QVERIFY(read[0].authority && read[1].authority);
    QCOMPARE(read[0].expiry, QDateTime(QDate(2126, 11, 15), QTime(2, 56, 35), Qt::UTC));

    QVERIFY(PemCertificates::read(kServerCertificate + kExpiredAuthority, &read));
    QCOMPARE(read.size(), 2);
    QVERIFY(!read[0].authority);
    QVERIFY(read[1].authority);
    QCOMPARE(read[1].expiry.date(), QDate(2026, 12, 8));

    QVERIFY(PemCertificates::read("no certificate", &read));
    QVERIFY(read.isEmpty());
    QByteArray broken = testCertificateB();
    broken.replace("MIIB", "MIIC");
    QVERIFY(!PemCertificates::read(testCertificateA() + broken, &read));
    QVERIFY(!PemCertificates::read("-----BEGIN CERTIFICATE-----\nAAAA\n", &read));
}

QTEST_GUILESS_MAIN(TestWindowsPlatform)
#include "tst_windowsplatform.moc"
