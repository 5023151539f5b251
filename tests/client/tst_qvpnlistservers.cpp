#include <QtTest>
#include <QTcpServer>
#include <QTcpSocket>

#include "qvpnlistservers.h"
#include "webapi.h"
#include "webapiclient.h"

// Answers every request on loopback with one canned HTTP response (or, when
// hanging, with nothing at all) and remembers the request lines.
class CannedHttpServer : public QTcpServer
{
public:
    QByteArray response;
    bool hang = false;
    QList<QByteArray> requestLines;

    CannedHttpServer()
    {
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = nextPendingConnection()) {
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
                connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                    QByteArray& request = m_pending[socket];
                    request += socket->readAll();
                    if (!request.contains("\r\n\r\n"))
                        return;
                    requestLines << request.left(request.indexOf("\r\n"));
                    m_pending.remove(socket);
                    if (hang)
                        return;
                    socket->write(response);
                    socket->disconnectFromHost();
                });
            }
        });
    }

    void answerWith(const QByteArray& body, const QByteArray& status = "200 OK")
    {
        response = "HTTP/1.1 " + status + "\r\nContent-Type: application/json\r\nContent-Length: "
            + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    }

private:
    QHash<QTcpSocket*, QByteArray> m_pending;
};

class TestListServers : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void replies_data();
    void replies();
    void requestsTheListEndpoint();
    void emptyBeforeAnyReplyAndClearedByUpdate();
    void refusedConnectionGivesEmptyList();
    void overSizeListIsRefused_data();
    void overSizeListIsRefused();
    void hungServerEndsWithEmptyList();

private:
    static QStringList describe(const QList<VPNServerInfo>& servers);
    CannedHttpServer m_server;
};

void TestListServers::initTestCase()
{
    qunsetenv("http_proxy");
    qunsetenv("HTTP_PROXY");
    QVERIFY(m_server.listen(QHostAddress::LocalHost));
    qputenv("VARVEX_API_HOST", QByteArray("127.0.0.1:") + QByteArray::number(m_server.serverPort()));
}

QStringList TestListServers::describe(const QList<VPNServerInfo>& servers)
{
    QStringList out;
    for (const VPNServerInfo& server : servers)
        out << server.name + "|" + server.code + "|" + server.hostname;
    return out;
}

void TestListServers::replies_data()
{
    QTest::addColumn<QByteArray>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QStringList>("servers");
    QTest::newRow("keys in ascending order")
        << QByteArray("200 OK")
        << QByteArray(R"({"B": {"code": "DE", "host": "b.example"}, "A": {"code": "US", "host": "a.example"}})")
        << QStringList { "A|US|a.example", "B|DE|b.example" };
    QTest::newRow("unusable members skipped")
        << QByteArray("200 OK")
        << QByteArray(R"({"a string": "x", "a number": 5, "an array": [1], "no host": {"code": "FR"},)"
                      R"( "no code": {"host": "h"}, "numeric host": {"code": "NL", "host": 7},)"
                      R"( "ok": {"code": "auto", "host": "auto.example", "extra": true}})")
        << QStringList { "numeric host|NL|", "ok|auto|auto.example" };
    QTest::newRow("empty object") << QByteArray("200 OK") << QByteArray("{}") << QStringList();
    QTest::newRow("array") << QByteArray("200 OK") << QByteArray("[]") << QStringList();
    QTest::newRow("not JSON") << QByteArray("200 OK") << QByteArray("<html>oops</html>") << QStringList();
    QTest::newRow("truncated JSON") << QByteArray("200 OK") << QByteArray(R"({"A": {"code": "US", )") << QStringList();
    QTest::newRow("error page with a list body is still read")
        << QByteArray("500 Internal Server Error")
        << QByteArray(R"({"A": {"code": "US", "host": "a"}})") << QStringList { "A|US|a" };
}

void TestListServers::replies()
{
    QFETCH(QByteArray, status);
    QFETCH(QByteArray, body);
    QFETCH(QStringList, servers);
    m_server.answerWith(body, status);

    QVPNListServers list(nullptr);
    QSignalSpy finished(&list, &QVPNListServers::finished);
    list.updateList();
    QVERIFY(finished.wait(5000));
    QCOMPARE(describe(list.servers()), servers);
    QTest::qWait(50);
    QCOMPARE(finished.count(), 1);
}

void TestListServers::requestsTheListEndpoint()
{
    m_server.requestLines.clear();
    m_server.answerWith("{}");
    QVPNListServers list(nullptr);
    QSignalSpy finished(&list, &QVPNListServers::finished);
    list.updateList();
    QVERIFY(finished.wait(5000));
    QCOMPARE(m_server.requestLines,
             QList<QByteArray> { "GET /get_list/" VARVEX_API_KEY " HTTP/1.1" });
}

void TestListServers::emptyBeforeAnyReplyAndClearedByUpdate()
{
    m_server.answerWith(R"({"A": {"code": "US", "host": "a"}})");
    QVPNListServers list(nullptr);
    QVERIFY(list.servers().isEmpty());
    QSignalSpy finished(&list, &QVPNListServers::finished);
    list.updateList();
    QVERIFY(finished.wait(5000));
    QCOMPARE(list.servers().size(), 1);
    list.updateList();
    QVERIFY(list.servers().isEmpty());
    QVERIFY(finished.wait(5000));
    QCOMPARE(list.servers().size(), 1);
}

void TestListServers::refusedConnectionGivesEmptyList()
{
    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost));
    const quint16 port = closed.serverPort();
    closed.close();
    const QByteArray saved = qgetenv("VARVEX_API_HOST");
    qputenv("VARVEX_API_HOST", QByteArray("127.0.0.1:") + QByteArray::number(port));

    QVPNListServers list(nullptr);
    QSignalSpy finished(&list, &QVPNListServers::finished);
    list.updateList();
    qputenv("VARVEX_API_HOST", saved);
    QVERIFY(finished.wait(5000));
    QVERIFY(list.servers().isEmpty());
    QTest::qWait(50);
    QCOMPARE(finished.count(), 1);
}

void TestListServers::overSizeListIsRefused_data()
{
    QTest::addColumn<bool>("announced");
    QTest::newRow("length announced") << true;
    QTest::newRow("no length, ended by close") << false;
}

void TestListServers::overSizeListIsRefused()
{
    // A valid list, just too long: 200 MB were once read whole.
    QFETCH(bool, announced);
    QByteArray body = R"({"A": {"code": "US", "host": "a"}, "pad": ")";
    body += QByteArray(int(WebApi::MaxAnswerSize), 'x') + "\"}";
    m_server.answerWith(body);
    if (!announced)
        m_server.response = "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + body;

    QVPNListServers list(nullptr);
    QSignalSpy finished(&list, &QVPNListServers::finished);
    list.updateList();
    QVERIFY(finished.wait(5000));
    QVERIFY(list.servers().isEmpty());
    QTest::qWait(50);
    QCOMPARE(finished.count(), 1);
}

void TestListServers::hungServerEndsWithEmptyList()
{
    m_server.hang = true;
    QVPNListServers list(nullptr);
    QSignalSpy finished(&list, &QVPNListServers::finished);
    list.updateList();
    QVERIFY(finished.wait(WebApi::TransferTimeoutMs + 3000));
    m_server.hang = false;
    QVERIFY(list.servers().isEmpty());
    QTest::qWait(50);
    QCOMPARE(finished.count(), 1);
}

QTEST_MAIN(TestListServers)
#include "tst_qvpnlistservers.moc"
