#include <QtTest>

#include <grp.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>

#include "icmpping.h"
#include "qpingservice.h"

class TestQPingService : public QObject
{
    Q_OBJECT

private slots:
    void loopbackAnswers();
    void failuresGiveMinusOneAndTheSameName_data();
    void failuresGiveMinusOneAndTheSameName();
    void queuedRequestsAnsweredInOrder();
    void stopRequestEndsTheWait();
    void refusedSocketsAreReportedOnce();

private:
    static bool icmpAvailable();
};

namespace {

#if defined(__x86_64__)
const unsigned int kAuditArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
const unsigned int kAuditArch = AUDIT_ARCH_AARCH64;
#else
const unsigned int kAuditArch = 0;
#endif

// From here on this process may open no ICMP socket of any kind, as on a
// system without ping_group_range room and without CAP_NET_RAW.
bool refuseIcmpSockets()
{
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kAuditArch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_socket, 0, 5),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AF_INET, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[2])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, IPPROTO_ICMP, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program = { static_cast<unsigned short>(sizeof(filter) / sizeof(filter[0])), filter };
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0
        && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

enum class Refusal { None, Filter, Unprivileged };

// Runs three pings in a child process, with ICMP sockets refused by a system
// call filter, as an unprivileged user (nobody), or not at all, and gives
// back what it wrote on standard error. The child's exit code is 0 when every
// result was as expected, 2 when the refusal could not be set up, 3 when
// nobody may open ICMP sockets after all.
QByteArray pingInChild(Refusal refusal, int* exitCode)
{
    const bool refused = refusal != Refusal::None;
    int fds[2];
    if (pipe(fds) != 0)
        return "pipe failed";
    const pid_t child = fork();
    if (child == 0) {
        dup2(fds[1], STDERR_FILENO);
        close(fds[0]);
        if (refusal == Refusal::Filter && !refuseIcmpSockets())
            _exit(2);
        if (refusal == Refusal::Unprivileged) {
            if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
                _exit(2);
            const int probe = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_ICMP);
            if (probe >= 0)
                _exit(3);
        }
        QPingService service;
        int wrong = 0;
        QObject::connect(&service, &QPingService::pingResult, [&wrong](const QString& host, int latency) {
            wrong += host == QLatin1String("unanswered.invalid") ? latency != -1 : 0;
        });
        // 127.0.0.1 answers wherever sockets are allowed.
        int answered = 0;
        QObject::connect(&service, &QPingService::pingResult, [&answered](const QString& host, int latency) {
            answered += host == QLatin1String("127.0.0.1") && latency >= 1;
        });
        // Said before the first result, and only once.
        int unavailable = 0;
        QObject::connect(&service, &QPingService::pingUnavailable, [&unavailable, &wrong, &answered]() {
            ++unavailable;
            wrong += answered;
        });
        service.pingHost(QStringLiteral("127.0.0.1"));
        service.pingHost(QStringLiteral("unanswered.invalid"));
        service.pingHost(QStringLiteral("127.0.0.1"));
        const bool expected = refused ? answered == 0 && unavailable == 1 : answered == 2 && unavailable == 0;
        _exit(wrong == 0 && expected ? 0 : 1);
    }
    close(fds[1]);
    QByteArray output;
    char buffer[512];
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof(buffer))) > 0)
        output.append(buffer, int(n));
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return output;
}

} // namespace

// Ping sockets need net.ipv4.ping_group_range to include our group; raw ones need root.
bool TestQPingService::icmpAvailable()
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

void TestQPingService::loopbackAnswers()
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

void TestQPingService::failuresGiveMinusOneAndTheSameName_data()
{
    QTest::addColumn<QString>("host");
    QTest::newRow("unresolvable") << "nohost.invalid";
    QTest::newRow("case kept") << "NoHost.Varvex.INVALID";
    QTest::newRow("empty") << "";
    QTest::newRow("any address") << "0.0.0.0";
}

void TestQPingService::failuresGiveMinusOneAndTheSameName()
{
    QFETCH(QString, host);
    QPingService service;
    QSignalSpy results(&service, &QPingService::pingResult);
    service.pingHost(host);
    QCOMPARE(results.count(), 1);
    QCOMPARE(results.at(0).at(0).toString(), host);
    QCOMPARE(results.at(0).at(1).toInt(), -1);
}

void TestQPingService::queuedRequestsAnsweredInOrder()
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
void TestQPingService::stopRequestEndsTheWait()
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

// Where no ICMP socket may be opened every server shows "---": the service
// says why, once, and every result stays -1 for its own name.
void TestQPingService::refusedSocketsAreReportedOnce()
{
    if (kAuditArch == 0)
        QSKIP("No system call filter for this architecture in this test.");
    int exitCode = -1;
    const QByteArray refusedOutput = pingInChild(Refusal::Filter, &exitCode);
    QCOMPARE(exitCode, 0);
    QCOMPARE(refusedOutput.count('\n'), 1);
    QVERIFY2(refusedOutput.endsWith('\n'), refusedOutput.constData());
    QCOMPARE(refusedOutput, QPingService::unavailableReason().toLocal8Bit() + '\n');
    QVERIFY(refusedOutput.contains("net.ipv4.ping_group_range"));
    QCOMPARE(IcmpPing::socketsPermitted(), icmpAvailable());

    if (icmpAvailable()) {
        // Where pings work, nothing is said.
        const QByteArray allowedOutput = pingInChild(Refusal::None, &exitCode);
        QCOMPARE(exitCode, 0);
        QCOMPARE(allowedOutput, QByteArray());
    }

    // The kernel's own refusal, as a user outside ping_group_range.
    if (geteuid() != 0)
        QSKIP("Not root: no unprivileged user to switch to.");
    const QByteArray nobodyOutput = pingInChild(Refusal::Unprivileged, &exitCode);
    if (exitCode == 3)
        QSKIP("net.ipv4.ping_group_range lets nobody ping here.");
    QCOMPARE(exitCode, 0);
    QCOMPARE(nobodyOutput, refusedOutput);
}

QTEST_MAIN(TestQPingService)
#include "tst_qpingservice.moc"
