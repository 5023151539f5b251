#include <QtTest>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "icmpping.h"
#include "qpingservice.h"

class TestPingService : public QObject
{
    Q_OBJECT

private slots:
    void loopbackAnswers();
    void failuresGiveMinusOneAndTheSameName_data();
    void failuresGiveMinusOneAndTheSameName();
    void queuedRequestsAnsweredInOrder();
    void stopRequestEndsTheWait();

private:
    static bool icmpAvailable();
};

// Ping sockets need net.ipv4.ping_group_range to include our group; raw ones need root.
bool TestPingService::icmpAvailable()
{
    for (int type : { SOCK_DGRAM, SOCK_RAW }) {
        const int fd = ::socket(AF_INET, type, IPPROTO_ICMP);
        if (fd >= 0) {
            ::close(fd);
            return true;
        }
    }
    return false;
}

void TestPingService::loopbackAnswers()
{
    if (!icmpAvailable())
        QSKIP("Neither an ICMP ping socket nor a raw socket can be opened here "
              "(not root, and net.ipv4.ping_group_range excludes this group).");
    QPingService service;
    QSignalSpy results(&service, &QPingService::pingResult);
    service.pingHost(QStringLiteral("127.0.0.1"));
    QCOMPARE(results.count(), 1);
    QCOMPARE(results.at(0).at(0).toString(), QStringLiteral("127.0.0.1"));
    const int latency = results.at(0).at(1).toInt();
    QVERIFY2(latency >= 1 && latency <= 1000, qPrintable(QString::number(latency)));

    // Repeated echoes from one process must each find their own answer.
    for (int i = 0; i < 3; ++i)
        QVERIFY(IcmpPing::echoLatency("localhost", "abcdefghijklmnopqest", 1000) >= 1);
}

void TestPingService::failuresGiveMinusOneAndTheSameName_data()
{
    QTest::addColumn<QString>("host");
    QTest::newRow("unresolvable") << "nohost.invalid";
    QTest::newRow("case kept") << "NoHost.Varvex.INVALID";
    QTest::newRow("empty") << "";
    QTest::newRow("any address") << "0.0.0.0";
}

void TestPingService::failuresGiveMinusOneAndTheSameName()
{
    QFETCH(QString, host);
    QPingService service;
    QSignalSpy results(&service, &QPingService::pingResult);
    service.pingHost(host);
    QCOMPARE(results.count(), 1);
    QCOMPARE(results.at(0).at(0).toString(), host);
    QCOMPARE(results.at(0).at(1).toInt(), -1);
}

void TestPingService::queuedRequestsAnsweredInOrder()
{
    QThread worker;
    auto* service = new QPingService();
    service->moveToThread(&worker);
    connect(&worker, &QThread::finished, service, &QObject::deleteLater);
    QSignalSpy results(service, &QPingService::pingResult);
    worker.start();

    const QStringList hosts { "first.invalid", "127.0.0.1", "third.invalid" };
    for (const QString& host : hosts)
        QMetaObject::invokeMethod(service, "pingHost", Qt::QueuedConnection, Q_ARG(QString, host));
    QTRY_COMPARE_WITH_TIMEOUT(results.count(), 3, 5000);
    for (int i = 0; i < hosts.size(); ++i)
        QCOMPARE(results.at(i).at(0).toString(), hosts.at(i));
    QCOMPARE(results.at(0).at(1).toInt(), -1);
    QCOMPARE(results.at(2).at(1).toInt(), -1);

    worker.quit();
    QVERIFY(worker.wait(5000));
}

// The chooser's destructor asks its worker thread to stop; an echo in
// progress must give up instead of holding the thread for its full timeout.
void TestPingService::stopRequestEndsTheWait()
{
    if (!icmpAvailable())
        QSKIP("No ICMP socket can be opened here.");
    int latency = 0;
    QScopedPointer<QThread> thread(QThread::create([&latency] {
        QThread::currentThread()->requestInterruption();
        latency = IcmpPing::echoLatency("127.0.0.1", "abcdefghijklmnopqest", 1000);
    }));
    thread->start();
    QVERIFY(thread->wait(5000));
    QCOMPARE(latency, -1);
}

QTEST_MAIN(TestPingService)
#include "tst_qpingservice.moc"
