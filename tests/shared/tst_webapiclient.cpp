#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include "recordinghttpserver.h"
#include "testcertificates.h"
#include "webapi.h"
#include "webapiclient.h"

class TestWebApiClient : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase() { cleanup(); }

    void answersAreJudged_data();
    void answersAreJudged();
    void sizeCapIsExact_data();
    void sizeCapIsExact();
    void hungRequestTimesOut();
    void overlappingRequestsAreAllAnswered();
    void clientGoingAwayWithARequestOpen();
    void schemeIsHttpsUnlessHttpIsAskedFor();
    void tlsIsVerified_data();
    void tlsIsVerified();

private:
    QUrl url(const QString& path) const { return QUrl(QStringLiteral("http://") + m_api->hostAndPort() + path); }
    // Sends one request and returns its answer.
    WebApiAnswer fetch(const QString& path, qint64 cap = WebApi::MaxAnswerSize);

    RecordingHttpServer* m_api = nullptr;
    QTemporaryDir m_certificates;
};

void TestWebApiClient::initTestCase()
{
    QVERIFY(m_certificates.isValid());
    const QString error = makeTestCertificates(m_certificates.path());
    QVERIFY2(error.isEmpty(), qPrintable(error));
}

void TestWebApiClient::init()
{
    cleanup(); // a failed init is not followed by cleanup
    qunsetenv("http_proxy");
    m_api = new RecordingHttpServer;
    QVERIFY(m_api->start());
}

void TestWebApiClient::cleanup()
{
    delete m_api;
    m_api = nullptr;
}

WebApiAnswer TestWebApiClient::fetch(const QString& path, qint64 cap)
{
    WebApiClient client;
    QSignalSpy answered(&client, &WebApiClient::answered);
    client.get(url(path), 7, cap);
    if (!answered.wait(WebApi::TransferTimeoutMs + 3000))
        return WebApiAnswer();
    QTest::qWait(20);
    if (answered.count() != 1 || client.pendingRequests() != 0)
        return WebApiAnswer();
    return answered.first().first().value<WebApiAnswer>();
}

void TestWebApiClient::answersAreJudged_data()
{
    QTest::addColumn<QByteArray>("response");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("failure");

    QTest::newRow("200") << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}")
                         << int(WebApiAnswer::Answered) << 200 << QByteArray("{}") << true << QString();
    QTest::newRow("200 closed without length") << QByteArray("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nabc")
                                               << int(WebApiAnswer::Answered) << 200 << QByteArray("abc") << true << QString();
    QTest::newRow("500 keeps its body") << QByteArray("HTTP/1.1 500 Oops\r\nContent-Length: 4\r\n\r\ndown")
                                        << int(WebApiAnswer::Answered) << 500 << QByteArray("down") << false
                                        << QStringLiteral("HTTP status 500");
    QTest::newRow("404") << QByteArray("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n")
                         << int(WebApiAnswer::Answered) << 404 << QByteArray() << false << QStringLiteral("HTTP status 404");
    QTest::newRow("redirect is not followed") << QByteArray("HTTP/1.1 302 Found\r\nLocation: http://example.invalid/\r\nContent-Length: 0\r\n\r\n")
                                              << int(WebApiAnswer::Answered) << 302 << QByteArray() << false
                                              << QStringLiteral("HTTP status 302");
    QTest::newRow("cut short of its length") << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc")
                                             << int(WebApiAnswer::Failed) << 200 << QByteArray() << false
                                             << QStringLiteral("Connection closed");
    QTest::newRow("not HTTP") << QByteArray("hello\r\n\r\n") << int(WebApiAnswer::Failed) << 0 << QByteArray() << false
                              << QString();
}

void TestWebApiClient::answersAreJudged()
{
    QFETCH(QByteArray, response);
    QFETCH(int, outcome);
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(bool, ok);
    QFETCH(QString, failure);

    m_api->setRawAnswer(QStringLiteral("/x"), response);
    const WebApiAnswer answer = fetch(QStringLiteral("/x"));
    QCOMPARE(answer.tag, 7);
    QCOMPARE(int(answer.outcome), outcome);
    if (outcome == WebApiAnswer::Answered)
        QCOMPARE(answer.status, status);
    QCOMPARE(answer.body, body);
    QCOMPARE(answer.ok(), ok);
    QCOMPARE(answer.failure().isEmpty(), ok);
    if (!failure.isEmpty())
        QCOMPARE(answer.failure(), failure);
    // The toolkit may send a request again on a connection closed early.
    QVERIFY(!m_api->requests.isEmpty());
    QCOMPARE(m_api->requests.count(QStringLiteral("/x")), m_api->requests.size());
}

void TestWebApiClient::sizeCapIsExact_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("announced");
    QTest::addColumn<int>("outcome");
    QTest::newRow("at the cap") << 4096 << true << int(WebApiAnswer::Answered);
    QTest::newRow("at the cap, no length") << 4096 << false << int(WebApiAnswer::Answered);
    QTest::newRow("one byte over") << 4097 << true << int(WebApiAnswer::TooLarge);
    QTest::newRow("one byte over, no length") << 4097 << false << int(WebApiAnswer::TooLarge);
    QTest::newRow("far over, no length") << (8 << 20) << false << int(WebApiAnswer::TooLarge);
}

void TestWebApiClient::sizeCapIsExact()
{
    QFETCH(int, size);
    QFETCH(bool, announced);
    QFETCH(int, outcome);

    const QByteArray body(size, 'b');
    const QByteArray head = announced ? "HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(size) + "\r\n\r\n"
                                      : QByteArray("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n");
    m_api->setRawAnswer(QStringLiteral("/x"), head + body);
    const WebApiAnswer answer = fetch(QStringLiteral("/x"), 4096);
    QCOMPARE(int(answer.outcome), outcome);
    if (outcome == WebApiAnswer::Answered) {
        QCOMPARE(answer.body, body);
    } else {
        QVERIFY(answer.body.isEmpty());
        QCOMPARE(answer.failure(), QStringLiteral("answer larger than 4096 bytes"));
    }
}

void TestWebApiClient::hungRequestTimesOut()
{
    m_api->setHangingAnswer(QStringLiteral("/hang"));
    QElapsedTimer clock;
    clock.start();
    const WebApiAnswer answer = fetch(QStringLiteral("/hang"));
    QCOMPARE(int(answer.outcome), int(WebApiAnswer::TimedOut));
    QVERIFY(clock.elapsed() >= WebApi::TransferTimeoutMs * 9 / 10); // a coarse timer may fire 5 % early
    QVERIFY(clock.elapsed() < WebApi::TransferTimeoutMs + 2000);
    QCOMPARE(answer.failure(), QStringLiteral("no complete answer within 5000 ms"));
    QVERIFY(!answer.ok());
}

void TestWebApiClient::overlappingRequestsAreAllAnswered()
{
    // The second request is sent while the first is open: the access cache
    // must not be cleared under it.
    m_api->setAnswer(QStringLiteral("/slow"), 200, "slow", 200);
    m_api->setAnswer(QStringLiteral("/fast"), 200, "fast");
    WebApiClient client;
    QList<WebApiAnswer> answers;
    connect(&client, &WebApiClient::answered, this, [&answers](const WebApiAnswer& answer) { answers << answer; });
    client.get(url(QStringLiteral("/slow")), 1);
    client.get(url(QStringLiteral("/fast")), 2);
    QCOMPARE(client.pendingRequests(), 2);
    QTRY_COMPARE(answers.size(), 2);
    QTest::qWait(50);
    QCOMPARE(answers.size(), 2);
    QCOMPARE(client.pendingRequests(), 0);
    for (const WebApiAnswer& answer : answers) {
        QVERIFY(answer.ok());
        QCOMPARE(answer.body, answer.tag == 1 ? QByteArray("slow") : QByteArray("fast"));
    }
}

void TestWebApiClient::clientGoingAwayWithARequestOpen()
{
    m_api->setHangingAnswer(QStringLiteral("/hang"));
    int answers = 0;
    {
        WebApiClient client;
        connect(&client, &WebApiClient::answered, this, [&answers] { ++answers; });
        client.get(url(QStringLiteral("/hang")));
        QTRY_COMPARE(m_api->requests.size(), 1);
    }
    QTest::qWait(50);
    QCOMPARE(answers, 0);
}

void TestWebApiClient::schemeIsHttpsUnlessHttpIsAskedFor()
{
    const QByteArray saved = qgetenv("VARVEX_API_SCHEME");
    qputenv("VARVEX_API_HOST", "api.example.test");
    const QString https = QStringLiteral("https://api.example.test/get_ip/" VARVEX_API_KEY);
    for (const QByteArray& value : {QByteArray(), QByteArray("https"), QByteArray("HTTP"), QByteArray("ftp")}) {
        qputenv("VARVEX_API_SCHEME", value);
        QCOMPARE(WebApi::url(VARVEX_API_GET_IP).toString(), https);
    }
    QCOMPARE(WebApi::unknownSchemeSetting(), QStringLiteral("ftp"));
    qputenv("VARVEX_API_SCHEME", "http");
    QCOMPARE(WebApi::url(VARVEX_API_GET_IP).toString(), QStringLiteral("http://api.example.test/get_ip/" VARVEX_API_KEY));
    QCOMPARE(WebApi::feedbackUrl().scheme(), QStringLiteral("https"));
    qputenv("VARVEX_API_SCHEME", saved);
    qunsetenv("VARVEX_API_HOST");
}

void TestWebApiClient::tlsIsVerified_data()
{
    QTest::addColumn<QString>("serverCertificate"); // empty: plain HTTP
    QTest::addColumn<QString>("caFile");            // in the certificates' folder
    QTest::addColumn<QString>("failure");           // empty: answered

    QTest::newRow("trusted") << "server" << "ca.crt" << QString();
    QTest::newRow("man in the middle") << "mitm" << "ca.crt" << "SSL handshake failed (";
    QTest::newRow("wrong host name") << "wronghost" << "ca.crt" << "host name did not match";
    QTest::newRow("expired") << "expired" << "ca.crt" << "certificate has expired";
    QTest::newRow("plain HTTP answer") << QString() << "ca.crt" << QString("");
    QTest::newRow("system authorities only") << "server" << QString() << "SSL handshake failed";
    QTest::newRow("CA file missing") << "server" << "missing.crt" << "VARVEX_API_CA_FILE";
    QTest::newRow("CA file not PEM") << "server" << "server.key" << "holds no PEM certificate";
}

void TestWebApiClient::tlsIsVerified()
{
    QFETCH(QString, serverCertificate);
    QFETCH(QString, caFile);
    QFETCH(QString, failure);

    const QString folder = m_certificates.path() + QLatin1Char('/');
    if (!serverCertificate.isEmpty()) {
        delete m_api;
        m_api = new RecordingHttpServer;
        QVERIFY(m_api->startTls(folder + serverCertificate + ".crt", folder + serverCertificate + ".key"));
    }
    m_api->setAnswer(QStringLiteral("/x"), 200, "secret");
    m_api->setDefaultAnswer(RecordingHttpServer::Answer{200, "secret", 0, QByteArray(), false});
    qputenv("VARVEX_API_CA_FILE", caFile.isEmpty() ? QByteArray() : (folder + caFile).toLocal8Bit());

    WebApiClient client;
    QSignalSpy answered(&client, &WebApiClient::answered);
    client.get(QUrl(QStringLiteral("https://") + m_api->hostAndPort() + QStringLiteral("/x")), 3);
    QVERIFY(answered.wait(WebApi::TransferTimeoutMs + 3000));
    QTest::qWait(20);
    QCOMPARE(answered.count(), 1);
    const WebApiAnswer answer = answered.first().first().value<WebApiAnswer>();
    qunsetenv("VARVEX_API_CA_FILE");
    QCOMPARE(answer.tag, 3);

    if (failure.isNull()) {
        QVERIFY2(answer.ok(), qPrintable(answer.failure()));
        QCOMPARE(answer.body, QByteArray("secret"));
        return;
    }
    // Nothing of a refused server is used, and nothing was asked of it.
    QCOMPARE(int(answer.outcome), int(WebApiAnswer::Failed));
    QVERIFY(answer.body.isEmpty());
    QVERIFY2(answer.failure().contains(failure), qPrintable(answer.failure()));
    QVERIFY(m_api->requests.isEmpty());
}

QTEST_GUILESS_MAIN(TestWebApiClient)
#include "tst_webapiclient.moc"
