// varvexctl against the real service with the scripted OpenVPN, and against
// a recording web API: every command, its JSON and its exit codes.
#include <QtTest>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QTemporaryDir>

#include "localuser.h"
#include "privateservice.h"
#include "processes.h"
#include "qvpncredentialscrypt.h"
#include "recordinghttpserver.h"

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Outcome
{
    int code = -1;
    QByteArray out;
    QByteArray err;
};

const char ServerList[] = R"({"Germany":{"code":"DE","host":"de.example.net"},)"
                          R"("Austria":{"code":"AT","host":"at.example.net"},)"
                          R"("Germany 2":{"code":"DE","host":"de2.example.net"},)"
                          R"("Loopback":{"code":"LB","host":"127.0.0.1"}})";

const char Connects[] = "prompt\n"
                        "out 2026-01-01 10:00:00 [10.8.0.6] Peer Connection Initiated with [AF_INET]192.0.2.1:443\\r\\n\n"
                        "out 2026-01-01 10:00:00 TUN/TAP device tun0 opened\\r\\n\n"
                        "out 2026-01-01 10:00:00 Initialization Sequence Completed\\r\\n\n"
                        "hang\n";

} // namespace

class TestVarvexCtl : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    RunningProcess m_service;
    RecordingHttpServer m_webApi;
    QString m_ctl;

    QString path(const QString& name) const { return m_dir.filePath(name); }

    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("VARVEX_SOCKET_DIR", path("tmp"));
        env.insert("XDG_CONFIG_HOME", path("config"));
        env.insert("VARVEX_API_HOST", m_webApi.hostAndPort());
        return env;
    }

    void start(QProcess& ctl, const QStringList& arguments, const QProcessEnvironment& env) const
    {
        ctl.setProcessEnvironment(env);
        ctl.start(m_ctl, arguments);
    }

    // Runs varvexctl to its end; the event loop keeps running meanwhile, so
    // the web API in this process can answer it.
    Outcome ctl(const QStringList& arguments, const QByteArray& input = QByteArray(),
                QProcessEnvironment env = QProcessEnvironment())
    {
        QProcess process;
        start(process, arguments, env.isEmpty() ? environment() : env);
        process.write(input);
        process.closeWriteChannel();
        Outcome outcome;
        if (!QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 40000)) {
            process.kill();
            process.waitForFinished(3000);
            return outcome;
        }
        outcome.code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
        outcome.out = process.readAllStandardOutput();
        outcome.err = process.readAllStandardError();
        return outcome;
    }

    QJsonObject statusJson()
    {
        const Outcome status = ctl({"status", "--json"});
        return status.code == 0 ? QJsonDocument::fromJson(status.out).object() : QJsonObject();
    }

    void setScenario(const QByteArray& steps)
    {
        QFile scenario(path("scenario"));
        QVERIFY(scenario.open(QIODevice::WriteOnly | QIODevice::Truncate));
        scenario.write(steps);
    }

    QByteArray record()
    {
        QFile file(path("record"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private slots:
    void initTestCase()
    {
        m_ctl = qEnvironmentVariable("VARVEX_BUILD_DIR") + "/bin/varvexctl";
        QVERIFY2(QFileInfo(m_ctl).isExecutable(), qPrintable(m_ctl + " is not built"));
        QVERIFY(m_dir.isValid());
        const QString failure = installPrivateService(m_dir.path());
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
        QVERIFY(m_webApi.start());
        m_webApi.setAnswer("/get_list/", 200, ServerList);
        setScenario(Connects);
        {
            // Provisioned credentials, handed to root and the group only.
            QSettings settings(path("service.conf"), QSettings::IniFormat);
            settings.setValue("Credentials", QString::fromLatin1(QVPNCredentialsCrypt::encodeUserPass("prov", "pw1")));
            // Its servers' names resolve nowhere; the block is the tunnel test's.
            settings.setValue("KillSwitch", false);
        }
        QProcessEnvironment env = environment();
        env.insert("TMPDIR", path("tmp"));
        env.insert("VARVEX_RUN_DIR", path("run"));
        env.insert("VARVEX_SERVICE_CONFIG", path("service.conf"));
        env.insert("FAKE_OPENVPN_SCENARIO", path("scenario"));
        env.insert("FAKE_OPENVPN_RECORD", path("record"));
        m_service.process.setProcessEnvironment(env);
        m_service.process.start(path("varvexservice"), {"-e"});
        QVERIFY(m_service.process.waitForStarted(3000));
        QVERIFY(QTest::qWaitFor([&] { return QFileInfo::exists(path("tmp/Varvex")); }, 5000));
    }

    void commandLineSettingsAndLinkage()
    {
        for (const QStringList& wrong : QList<QStringList>{{}, {"stat"}, {"status", "now"}, {"disconnect", "--json"},
                                                            {"connect", "--wait", "soon"}, {"notifications", "maybe"}}) {
            const Outcome outcome = ctl(wrong);
            QCOMPARE(outcome.code, 2);
            QVERIFY2(outcome.err.startsWith("varvexctl: ") && outcome.err.count('\n') == 1, outcome.err.constData());
        }
        QCOMPARE(ctl({"--help"}).code, 0);

        QCOMPARE(ctl({"notifications", "off"}).out, QByteArray("Notifications are off.\n"));
        QSettings settings(path("config/Varvex/client.conf"), QSettings::IniFormat);
        QCOMPARE(settings.value("Notifications").toBool(), false);
        QCOMPARE(ctl({"notifications", "on"}).code, 0);
        settings.sync();
        QCOMPARE(settings.value("Notifications").toBool(), true);

        // No service at the socket.
        QProcessEnvironment env = environment();
        env.insert("VARVEX_SOCKET_DIR", path("config"));
        const Outcome none = ctl({"status"}, QByteArray(), env);
        QCOMPARE(none.code, 3);
        QVERIFY(none.err.startsWith("varvexctl: Can't connect to Varvex service."));

        // A terminal tool: no graphical library comes with it.
        QProcess ldd;
        ldd.start("ldd", {m_ctl});
        QVERIFY(ldd.waitForFinished(10000));
        const QByteArray libraries = ldd.readAllStandardOutput();
        QVERIFY(libraries.contains("libQt5Core"));
        QVERIFY2(!libraries.contains("Qt5Gui") && !libraries.contains("Qt5Widgets"), libraries.constData());
    }

    void servers()
    {
        const Outcome json = ctl({"servers", "--json"});
        QCOMPARE(json.code, 0);
        const QJsonArray list = QJsonDocument::fromJson(json.out).array();
        QCOMPARE(list.size(), 4);
        QCOMPARE(list.at(0).toObject(), QJsonObject({{"name", "Austria"}, {"code", "AT"}, {"host", "at.example.net"},
                                                    {"ping", QJsonValue::Null}}));
        QCOMPARE(list.at(2).toObject().value("name").toString(), QString("Germany 2"));

        // Pinged, the loopback server answers, unless this system allows no
        // ICMP socket at all, which is then said once.
        const Outcome pinged = ctl({"servers", "--json", "--ping"});
        QCOMPARE(pinged.code, 0);
        const QJsonValue loopback = QJsonDocument::fromJson(pinged.out).array().at(3).toObject().value("ping");
        QVERIFY2(loopback.toInt() >= 1 || pinged.err.startsWith("varvexctl: Server pings are not possible"),
                 pinged.err.constData());

        const Outcome text = ctl({"servers", "--ping"});
        QCOMPARE(text.code, 0);
        const QList<QByteArray> lines = text.out.split('\n');
        QVERIFY2(lines.value(0).startsWith("NAME") && lines.value(1).startsWith("Austria"), text.out.constData());
        QVERIFY(lines.value(1).simplified().endsWith(" ---") || lines.value(1).simplified().endsWith(" ms"));

        // A web API that answers badly, or not at all.
        m_webApi.setAnswer("/get_list/", 200, "<html>");
        QCOMPARE(ctl({"servers"}).code, 8);
        QCOMPARE(ctl({"connect", "Austria"}).code, 8);
        QProcessEnvironment env = environment();
        env.insert("VARVEX_API_HOST", "127.0.0.1:9");
        const Outcome down = ctl({"servers", "--json"}, QByteArray(), env);
        QCOMPARE(down.code, 8);
        QCOMPARE(down.out, QByteArray());
        m_webApi.setAnswer("/get_list/", 200, ServerList);
        QCOMPARE(ctl({"connect", "Atlantis"}).code, 2);
    }

    // The tunnel's whole road as a second client sees it, with `watch`
    // following along.
    void connectStatusWatchDisconnect()
    {
        QProcess watch;
        start(watch, {"watch", "--json"}, environment());
        QVERIFY(QTest::qWaitFor([&] { return watch.canReadLine(); }, 10000));

        QCOMPARE(statusJson(), QJsonObject({{"state", "disconnected"}, {"code", 3}, {"address", QJsonValue::Null},
                                            {"connected_since", QJsonValue::Null}}));

        // A code picks the first server with it; a named user's password
        // comes from standard input.
        const qint64 before = QDateTime::currentSecsSinceEpoch();
        Outcome connected = ctl({"connect", "de", "--user", "alice"}, "secret\n");
        QCOMPARE(connected.code, 0);
        QCOMPARE(connected.out, QByteArray("Connected to Germany, address 10.8.0.6.\n"));
        QVERIFY2(record().contains("arg=de.example.net\n") && record().contains("user=alice\npass=secret\n"),
                 record().constData());

        const QJsonObject status = statusJson();
        QCOMPARE(status.value("state").toString(), QString("connected"));
        QCOMPARE(status.value("address").toString(), QString("10.8.0.6"));
        const QDateTime since = QDateTime::fromString(status.value("connected_since").toString(), Qt::ISODate);
        QVERIFY(since.isValid() && since.timeSpec() == Qt::UTC && since.toSecsSinceEpoch() >= before);
        const Outcome human = ctl({"status"});
        QVERIFY2(human.out.startsWith("State:     CONNECTED\nAddress:   10.8.0.6\nConnected: 00:00:"), human.out.constData());
        QCOMPARE(ctl({"connect"}).out.left(18), QByteArray("Already connected "));

        const Outcome down = ctl({"disconnect"});
        QCOMPARE(down.code, 0);
        QCOMPARE(down.out, QByteArray("Disconnected.\n"));
        QCOMPARE(statusJson().value("code").toInt(), 3);
        QCOMPARE(ctl({"disconnect"}).code, 0);

        // Nothing saved and no user named: the service's provisioned
        // credentials, to the last server used (here the automatic one).
        QFile::remove(path("record"));
        connected = ctl({"connect", "--wait", "20"});
        QCOMPARE(connected.code, 0);
        QVERIFY2(record().contains("arg=auto.varvex.net\n") && record().contains("user=prov\npass=pw1\n"),
                 record().constData());
        QCOMPARE(ctl({"disconnect"}).code, 0);

        // Watch saw it all, one JSON object per line (the service samples
        // traffic once a second), and ends on SIGINT.
        QByteArray watched;
        QVERIFY(QTest::qWaitFor([&] {
            watched += watch.readAllStandardOutput();
            return watched.contains("\"event\":\"bandwidth\"");
        }, 5000));
        ::kill(pid_t(watch.processId()), SIGINT);
        QVERIFY(QTest::qWaitFor([&] { return watch.state() == QProcess::NotRunning; }, 5000));
        QCOMPARE(watch.exitCode(), 0);
        watched += watch.readAllStandardOutput();
        QList<int> states;
        int bandwidth = 0;
        for (const QByteArray& line : watched.split('\n')) {
            if (line.isEmpty())
                continue;
            const QJsonObject event = QJsonDocument::fromJson(line).object();
            if (event.value("event") == "status")
                states << event.value("code").toInt();
            else if (event.value("event") == "bandwidth" && event.value("down").isDouble() && event.value("up").isDouble())
                ++bandwidth;
            else
                QFAIL(line.constData());
        }
        QCOMPARE(states, QList<int>({3, 0, 1, 2, 3, 0, 1, 2, 3}));
        QVERIFY(bandwidth > 0);
    }

    void attemptsThatFail()
    {
        setScenario("prompt\nout AUTH: Received control message: AUTH_FAILED\\r\\n\nexit 1\n");
        Outcome outcome = ctl({"connect", "at.example.net", "--user", "bob"}, "wrong\n");
        QCOMPARE(outcome.code, 5);
        QVERIFY(outcome.err.startsWith("varvexctl: Login failed"));
        QVERIFY(QTest::qWaitFor([&] { return statusJson().value("code").toInt() == 3; }, 10000));

        // Slower than the wait: the attempt goes on, and ends without a
        // tunnel (the launcher could not start OpenVPN).
        setScenario("prompt\nsleep 2\nexit 127\n");
        outcome = ctl({"connect", "auto", "--wait", "1"});
        QCOMPARE(outcome.code, 6);
        QVERIFY(outcome.err.contains("the attempt goes on"));
        QVERIFY(QTest::qWaitFor([&] { return statusJson().value("code").toInt() == 3; }, 10000));
        QCOMPARE(ctl({"connect", "auto"}).code, 7);
        setScenario(Connects);
    }

    void refusesAServiceOfAnotherUser()
    {
        const QString reason = LocalUser::unavailableReason();
        if (!reason.isEmpty())
            QSKIP(qPrintable(reason));
        LocalUser user;
        QVERIFY(user.create());
        const QString folder = path("impostor");
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(::chmod(QFile::encodeName(m_dir.path()).constData(), 0755) == 0);
        QVERIFY(::chown(QFile::encodeName(folder).constData(), user.uid(), user.gid()) == 0);
        Impostor impostor(user);
        QVERIFY2(impostor.listen(folder + "/Varvex"), impostor.output.constData());

        QProcessEnvironment env = environment();
        env.insert("VARVEX_SOCKET_DIR", folder);
        const Outcome outcome = ctl({"connect", "de.example.net", "--user", "carol"}, "secret\n", env);
        QCOMPARE(outcome.code, 3);
        QVERIFY2(outcome.err.contains("belongs to a process of user " + QByteArray::number(user.uid())),
                 outcome.err.constData());
        QVERIFY(QTest::qWaitFor([&] { return impostor.heard().contains("closed"); }, 5000));
        QCOMPARE(impostor.heard(), QByteArray("listening\naccepted\nclosed\n"));
    }

    // Last: it ends the service.
    void serviceDyingDuringWatch()
    {
        QProcess watch;
        start(watch, {"watch"}, environment());
        QVERIFY(QTest::qWaitFor([&] { return watch.canReadLine(); }, 10000));
        QVERIFY(watch.readLine().endsWith(" DISCONNECTED\n"));
        m_service.process.kill();
        QVERIFY(QTest::qWaitFor([&] { return watch.state() == QProcess::NotRunning; }, 10000));
        QCOMPARE(watch.exitCode(), 4);
        QVERIFY(watch.readAllStandardError().startsWith("varvexctl: The connection to the Varvex service was closed."));
    }
};

QTEST_GUILESS_MAIN(TestVarvexCtl)
#include "tst_varvexctl.moc"
