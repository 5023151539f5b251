#include <QtTest>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTemporaryDir>

#include "qvarvexserviceconnection.h"
#include "qvpncredentialscrypt.h"

// Records every signal of a connection as one line, in arrival order.
class SignalLog : public QObject
{
public:
    explicit SignalLog(QVarvexServiceConnection* c)
    {
        connect(c, &QVarvexServiceConnection::credentials, this, [this](QByteArray t) { lines << "credentials:" + t; });
        connect(c, &QVarvexServiceConnection::notifyStatusChange, this,
                [this](char s) { lines << "status:" + QByteArray::number(int(s)); });
        connect(c, &QVarvexServiceConnection::assignedIP, this, [this](QByteArray ip) { lines << "ip:" + ip; });
        connect(c, &QVarvexServiceConnection::startTime, this,
                [this](uint t) { lines << "time:" + QByteArray::number(t); });
        connect(c, &QVarvexServiceConnection::updateBandwidth, this, [this](uchar type, uint d, uint u) {
            lines << "bw:" + QByteArray::number(type) + "," + QByteArray::number(d) + "," + QByteArray::number(u);
        });
        connect(c, &QVarvexServiceConnection::loginFailed, this, [this]() { lines << "loginFailed"; });
        connect(c, &QVarvexServiceConnection::error, this, [this](QString e) { errors << e; });
    }
    QList<QByteArray> lines;
    QStringList errors;
};

class TestQVarvexServiceConnection : public QObject
{
    Q_OBJECT

    QTemporaryDir m_tmp;
    QLocalServer* m_server = nullptr;
    QLocalSocket* m_peer = nullptr;
    QByteArray m_received;

    static QByteArray hex(const char* text) { return QByteArray::fromHex(text); }

    // Connects a client and returns it; m_peer is the service's end.
    QVarvexServiceConnection* connectClient()
    {
        auto* c = new QVarvexServiceConnection;
        if (!c->connectToService())
            return c;
        if (!m_server->hasPendingConnections())
            m_server->waitForNewConnection(2000);
        m_peer = m_server->nextPendingConnection();
        m_received.clear();
        if (m_peer)
            connect(m_peer, &QLocalSocket::readyRead, this, [this]() { m_received += m_peer->readAll(); });
        return c;
    }

    void send(const QByteArray& bytes)
    {
        m_peer->write(bytes);
        m_peer->flush();
    }

    // Waits until the log holds at least n lines.
    static bool waitForLines(SignalLog& log, int n)
    {
        return QTest::qWaitFor([&]() { return log.lines.size() >= n; }, 2000);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_tmp.isValid());
        // The socket "Varvex" lives in the socket folder; the test's server
        // finds it through the temporary directory.
        qputenv("TMPDIR", m_tmp.path().toLocal8Bit());
        qputenv("VARVEX_SOCKET_DIR", m_tmp.path().toLocal8Bit());
    }

    void connectFailsQuicklyWithoutService()
    {
        m_server->close();
        QVarvexServiceConnection c;
        SignalLog log(&c);
        QElapsedTimer timer;
        timer.start();
        QVERIFY(!c.connectToService());
        QVERIFY(timer.elapsed() < 2000);

        // Every request is refused with the slot's name, and nothing breaks.
        c.sendAbortRequest();
        c.sendConnectToVPNRequest("host", "user", "pass");
        QCOMPARE(log.errors, QStringList({"VarvexServiceConnection is not open for method sendAbortRequest",
                                          "VarvexServiceConnection is not open for method sendConnectToVPNRequest"}));
    }

    void init()
    {
        m_server = new QLocalServer;
        QVERIFY(m_server->listen("Varvex"));
        QVERIFY(QFileInfo::exists(m_tmp.filePath("Varvex")));
    }

    void cleanup()
    {
        delete m_server;
        m_server = nullptr;
        m_peer = nullptr;
    }

    void requestsAreSentByteForByte()
    {
        QScopedPointer<QVarvexServiceConnection> c(connectClient());
        QVERIFY(m_peer);
        SignalLog log(c.data());

        c->sendCredentialsRequest();
        QTRY_COMPARE(m_received, hex("01040902"));
        m_received.clear();
        // A reply clears the record, so the next request raises no error.
        send(hex("010A0A05") + "abcde" + hex("02"));
        QTRY_COMPARE(log.lines, QList<QByteArray>({"credentials:abcde"}));
        QVERIFY(log.errors.isEmpty());

        c->sendConnectToVPNRequest(QString::fromUtf8("sé.example"), "user", "pass");
        const QByteArray creds = QVPNCredentialsCrypt::encodeUserPass("user", "pass");
        const QByteArray host = QString::fromUtf8("sé.example").toUtf8();
        QByteArray expected = hex("01") + char(6 + host.size() + creds.size()) + hex("03") + char(host.size()) + host
                              + char(creds.size()) + creds + hex("02");
        QTRY_COMPARE(m_received, expected);
        QVERIFY(log.errors.isEmpty());
        m_received.clear();

        // Nothing answers a connect, so every later request says the
        // record was not idle, and is still sent.
        c->sendAbortRequest();
        c->sendServerListRequest();
        c->sendUpdateCAFileRequest();
        c->sendStatusRequest();
        QTRY_COMPARE(m_received, hex("01040502" "01040702" "01040B02" "01040102"));
        QCOMPARE(log.errors, QStringList({"VarvexServiceConnection was not idle for method sendAbortRequest",
                                          "VarvexServiceConnection was not idle for method sendServerListRequest",
                                          "VarvexServiceConnection was not idle for method sendUpdateCAFileRequest",
                                          "VarvexServiceConnection was not idle for method sendStatusRequest"}));
    }

    void oversizeConnectRequestIsRefused()
    {
        QScopedPointer<QVarvexServiceConnection> c(connectClient());
        QVERIFY(m_peer);
        SignalLog log(c.data());

        // 249 content bytes is the most a frame carries.
        const QByteArray creds = QVPNCredentialsCrypt::encodeUserPass("u", "p");
        c->sendConnectToVPNRequest(QString(249 - creds.size(), 'h'), "u", "p");
        QTRY_COMPARE(m_received.size(), 255);
        QVERIFY(log.errors.isEmpty());
        // A credentials request and its reply leave the record idle.
        c->sendCredentialsRequest();
        QTRY_VERIFY(m_received.endsWith(hex("01040902")));
        send(hex("01050A0002"));
        m_received.clear();
        QTRY_COMPARE(log.lines.size(), 1);
        log.errors.clear();

        c->sendConnectToVPNRequest(QString(250 - creds.size(), 'h'), "u", "p");
        c->sendConnectToVPNRequest(QString(300, 'h'), "u", "p");
        c->sendConnectToVPNRequest("host", QString(200, 'u'), QString(200, 'p'));
        QCOMPARE(log.errors.size(), 3);
        for (const QString& e : log.errors)
            QVERIFY2(e.startsWith("VarvexServiceConnection can't send method sendConnectToVPNRequest"), qPrintable(e));
        // Nothing went out and the record stayed idle.
        c->sendAbortRequest();
        QTRY_COMPARE(m_received, hex("01040502"));
        QCOMPARE(log.errors.size(), 3);
    }

    void incomingFramesBecomeSignalsInOrder()
    {
        QScopedPointer<QVarvexServiceConnection> c(connectClient());
        QVERIFY(m_peer);
        SignalLog log(c.data());

        QByteArray connected = hex("01120D0108") + "10.8.0.6" + hex("44332211" "02");
        // A frame split across two writes, then two frames in one write.
        send(connected.left(7));
        QTest::qWait(20);
        QVERIFY(log.lines.isEmpty());
        send(connected.mid(7));
        QVERIFY(waitForLines(log, 3));
        send(hex("01050D0302" "01040F02"));
        QVERIFY(waitForLines(log, 5));
        QCOMPARE(log.lines, QList<QByteArray>({"ip:10.8.0.6", "time:287454020", "status:1", "status:3", "loginFailed"}));
        log.lines.clear();

        // Credentials text holding the marker bytes comes out exactly.
        send(hex("01090A04") + hex("01020102") + hex("02"));
        QVERIFY(waitForLines(log, 1));
        QCOMPARE(log.lines.first(), "credentials:" + hex("01020102"));
        log.lines.clear();
        // An empty credentials field is an empty text, and so is a reply
        // with no field at all; either one answers a pending request.
        c->sendCredentialsRequest();
        send(hex("01050A0002"));
        QVERIFY(waitForLines(log, 1));
        QCOMPARE(log.lines.first(), QByteArray("credentials:"));
        log.lines.clear();
        c->sendCredentialsRequest();
        send(hex("01040A02"));
        QVERIFY(waitForLines(log, 1));
        QCOMPARE(log.lines.first(), QByteArray("credentials:"));
        log.lines.clear();
        c->sendAbortRequest();

        // A length byte that claims more than the frame holds never pulls
        // in the end marker.
        send(hex("01070A0F414202") + hex("010E0D0120") + "10.8.0.6" + hex("02"));
        QVERIFY(waitForLines(log, 4));
        QCOMPARE(log.lines, QList<QByteArray>({"credentials:AB", "ip:10.8.0.6", "time:0", "status:1"}));
        QCOMPARE(log.errors, QStringList());
    }

    void framesArrivingDuringANestedLoopAreNotHeldBack()
    {
        QScopedPointer<QVarvexServiceConnection> c(connectClient());
        QVERIFY(m_peer);
        SignalLog log(c.data());
        // The window shows a modal box from inside a status handler; frames
        // that arrive meanwhile must come out once it closes, not only when
        // the next frame arrives.
        bool nested = false;
        connect(c.data(), &QVarvexServiceConnection::notifyStatusChange, this, [&](char status) {
            if (status != 3 || nested)
                return;
            nested = true;
            send(hex("01040F02"));
            QEventLoop loop;
            QTimer::singleShot(100, &loop, &QEventLoop::quit);
            loop.exec();
        });
        send(hex("01050D0302"));
        QVERIFY(waitForLines(log, 2));
        QCOMPARE(log.lines, QList<QByteArray>({"status:3", "loginFailed"}));
    }

    void badFramesAreDroppedSilently()
    {
        QScopedPointer<QVarvexServiceConnection> c(connectClient());
        QVERIFY(m_peer);
        SignalLog log(c.data());

        send(hex("07050D0302")        // wrong start marker
             + hex("01050D0307")      // wrong end marker
             + hex("01040002")        // unknown codes
             + hex("01040C02" "01041002" "0104FF02")
             + hex("01040D02")        // status frame without a status
             + hex("01080E0001000002")); // bandwidth frame cut short
        send(hex("01050D0402"));
        QVERIFY(waitForLines(log, 1));
        QCOMPARE(log.lines, QList<QByteArray>({"status:4"}));

        // A length byte below 4 discards what is buffered, then reading
        // goes on with the next write.
        send(hex("01020D0302"));
        QTest::qWait(20);
        send(hex("01050D0002"));
        QVERIFY(waitForLines(log, 2));
        QCOMPARE(log.lines.last(), QByteArray("status:0"));
        QVERIFY(log.errors.isEmpty());
    }

    void bandwidthTotalsBecomeDifferences()
    {
        QScopedPointer<QVarvexServiceConnection> c(connectClient());
        QVERIFY(m_peer);
        SignalLog log(c.data());

        auto frame = [](quint8 status, quint32 down, quint32 up) {
            QByteArray payload(1, char(status));
            VarvexFrame::appendUInt32(payload, down);
            VarvexFrame::appendUInt32(payload, up);
            return VarvexFrame::build(VARVEX_CMD_BANDWIDTH_UPDATE, payload);
        };
        send(frame(1, 5000, 700));
        send(frame(1, 8000, 1000));
        send(frame(0, 1000, 256));
        send(frame(1, 9000, 1500));
        send(frame(1, 9500, 1600));
        // Counters that wrap give the difference modulo 2^32.
        send(frame(1, 100, 1700));
        QVERIFY(waitForLines(log, 6));
        QCOMPARE(log.lines, QList<QByteArray>({"bw:1,0,0", "bw:1,3000,300", "bw:0,1000,256", "bw:1,0,0",
                                               "bw:1,500,100", "bw:1,4294957896,100"}));
    }

    void lostServiceIsReportedOnlyWhenUnasked()
    {
        QScopedPointer<QVarvexServiceConnection> c(connectClient());
        QVERIFY(m_peer);
        QSignalSpy lost(c.data(), &QVarvexServiceConnection::serviceLost);
        m_peer->disconnectFromServer();
        QVERIFY(lost.wait(5000));

        // Not when the client closes, by destruction or on purpose, nor
        // after a status request.
        {
            QVarvexServiceConnection* gone = connectClient();
            QVERIFY(m_peer);
            delete gone;
        }
        QVERIFY(QTest::qWaitFor([this]() { return m_peer->state() == QLocalSocket::UnconnectedState; }, 2000));

        c.reset(connectClient());
        QVERIFY(m_peer);
        QSignalSpy closed(c.data(), &QVarvexServiceConnection::serviceLost);
        c->disconnectFromService();
        QTest::qWait(50);

        c.reset(connectClient());
        QVERIFY(m_peer);
        QSignalSpy afterStatus(c.data(), &QVarvexServiceConnection::serviceLost);
        c->sendStatusRequest();
        m_peer->disconnectFromServer();
        QTest::qWait(50);
        QCOMPARE(closed.count() + afterStatus.count(), 0);
    }
};

QTEST_GUILESS_MAIN(TestQVarvexServiceConnection)
#include "tst_qvarvexserviceconnection.moc"
