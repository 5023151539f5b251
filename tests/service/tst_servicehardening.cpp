#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <cerrno>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "frameclient.h"
#include "privateservice.h"
#include "qvpncredentialscrypt.h"

// The built service run as a program, against clients that do not behave:
// one that floods requests and never reads, and more connections than the
// service admits, with few file descriptors to spare.
class TestServiceHardening : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void floodingClientThatNeverReads();
    void sixHundredConnectionsUnderADescriptorLimit();
    void aLowDescriptorLimitAdmitsFewerClients();

private:
    QString path(const QString& name) const { return m_dir.filePath(name); }
    QString socketPath() const { return path("tmp/Varvex"); }
    bool startService(int descriptorLimit = 0);
    long residentKiB() const;
    int openDescriptors() const;
    QByteArray log() const;
    bool servedAgain();

    QTemporaryDir m_dir;
    QProcess m_service;
};

namespace {

int connectRaw(const QString& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    qstrncpy(address.sun_path, QFile::encodeName(path).constData(), sizeof(address.sun_path));
    QElapsedTimer timer;
    timer.start();
    // A full listen backlog answers EAGAIN until the service has accepted.
    while (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        if (errno != EAGAIN || timer.elapsed() > 5000) {
            ::close(fd);
            return -1;
        }
        QThread::msleep(2);
    }
    return fd;
}

// What became of a connection: its first bytes, or closed without any.
enum class Fate { Pending, Served, Closed };

Fate fateOf(int fd)
{
    pollfd p {fd, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0)
        return Fate::Pending;
    char bytes[5];
    const ssize_t n = ::recv(fd, bytes, sizeof(bytes), MSG_PEEK | MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN))
        return Fate::Closed;
    return n > 0 ? Fate::Served : Fate::Pending;
}

// Waits, for at most 15 s, until every connection is either served (its
// status frame arrived) or closed, and counts each kind.
void countFates(const std::vector<int>& sockets, int* served, int* closed)
{
    QDeadlineTimer deadline(15000);
    do {
        *served = *closed = 0;
        for (int fd : sockets) {
            const Fate fate = fateOf(fd);
            *served += fate == Fate::Served ? 1 : 0;
            *closed += fate == Fate::Closed ? 1 : 0;
        }
        if (*served + *closed == int(sockets.size()))
            return;
        QThread::msleep(50);
    } while (!deadline.hasExpired());
}

} // namespace

void TestServiceHardening::initTestCase()
{
    QVERIFY(m_dir.isValid());
    const QString failure = installPrivateService(m_dir.path());
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
    {
        QSettings settings(path("service.conf"), QSettings::IniFormat);
        settings.setValue("Credentials", QString::fromLatin1(QVPNCredentialsCrypt::encodeUserPass("user", "password")));
        settings.setValue("KillSwitch", false);
    }
    qputenv("TMPDIR", path("tmp").toLocal8Bit());
    qputenv("VARVEX_SOCKET_DIR", path("tmp").toLocal8Bit());

    // This process holds one end of every connection it opens.
    rlimit limit {};
    QCOMPARE(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    QVERIFY(limit.rlim_cur >= 2048);
}

void TestServiceHardening::init()
{
    QFile::remove(path("varvexservice.log"));
}

void TestServiceHardening::cleanup()
{
    if (m_service.state() != QProcess::NotRunning) {
        m_service.terminate();
        if (!m_service.waitForFinished(5000)) {
            m_service.kill();
            m_service.waitForFinished(3000);
        }
    }
}

bool TestServiceHardening::startService(int descriptorLimit)
{
    // Nothing may leave this machine: the web API is a closed local port.
    QTcpServer closed;
    closed.listen(QHostAddress::LocalHost, 0);
    const quint16 closedPort = closed.serverPort();
    closed.close();

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("INVOCATION_ID");
    env.remove("NOTIFY_SOCKET");
    env.insert("TMPDIR", path("tmp"));
    env.insert("VARVEX_SOCKET_DIR", path("tmp"));
    env.insert("VARVEX_CONTROL_DIR", path("tmp"));
    env.insert("VARVEX_SERVICE_CONFIG", path("service.conf"));
    env.insert("VARVEX_API_HOST", QStringLiteral("127.0.0.1:%1").arg(closedPort));
    m_service.setProcessEnvironment(env);
    m_service.setProcessChannelMode(QProcess::ForwardedChannels);
    if (descriptorLimit > 0) {
        // Soft and hard limit both, as systemd's default gives a service.
        m_service.start("/bin/sh", {"-c", QStringLiteral("ulimit -n %1 && exec \"$0\" -e").arg(descriptorLimit),
                                    path("varvexservice")});
    } else {
        m_service.start(path("varvexservice"), {"-e"});
    }
    if (!m_service.waitForStarted(3000))
        return false;
    QDeadlineTimer deadline(5000);
    while (!deadline.hasExpired()) {
        QLocalSocket probe;
        probe.connectToServer(socketPath());
        if (probe.waitForConnected(100))
            return true;
        QThread::msleep(50);
    }
    return false;
}

long TestServiceHardening::residentKiB() const
{
    QFile status(QStringLiteral("/proc/%1/status").arg(m_service.processId()));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

int TestServiceHardening::openDescriptors() const
{
    return int(QDir(QStringLiteral("/proc/%1/fd").arg(m_service.processId())).entryList(QDir::NoDotAndDotDot | QDir::System).size());
}

bool TestServiceHardening::servedAgain()
{
    // The service may still be clearing away the connections just closed.
    QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired()) {
        FrameClient client;
        if (client.connectTo(socketPath())) {
            QDeadlineTimer frame(2000);
            while (!frame.hasExpired()) {
                if (client.frames().value(0) == fromHex("01050d0302"))
                    return true;
                QTest::qWait(20);
            }
        }
        QTest::qWait(100);
    }
    return false;
}

QByteArray TestServiceHardening::log() const
{
    QFile file(path("varvexservice.log"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void TestServiceHardening::floodingClientThatNeverReads()
{
    QVERIFY(startService());
    FrameClient observer;
    QVERIFY(observer.connectTo(socketPath()));
    QTRY_VERIFY_WITH_TIMEOUT(!observer.framesWithCode(VARVEX_CMD_BANDWIDTH_UPDATE).isEmpty(), 3000);
    const long startKiB = residentKiB();

    const int flooder = connectRaw(socketPath());
    QVERIFY(flooder >= 0);
    std::atomic<bool> flooding {true};
    std::atomic<qint64> sent {0};
    QThread* writer = QThread::create([&]() {
        QByteArray chunk;
        while (chunk.size() < 64 * 1024)
            chunk += VarvexFrame::build(VARVEX_CMD_CREDENTIALS_REQUEST);
        QElapsedTimer timer;
        timer.start();
        qint64 lastProgress = 0;
        // Until 4 MB are taken, or the service takes nothing for 8 s, or it
        // drops the connection.
        while (sent < 4 * 1000 * 1000 && timer.elapsed() - lastProgress < 8000 && timer.elapsed() < 30000) {
            pollfd p {flooder, POLLOUT, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            if (p.revents & (POLLERR | POLLHUP))
                break;
            const ssize_t n = ::send(flooder, chunk.constData(), size_t(chunk.size()), MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n < 0 && errno != EAGAIN)
                break;
            if (n > 0) {
                sent += n;
                lastProgress = timer.elapsed();
            }
        }
        flooding = false;
    });
    writer->start();

    QElapsedTimer clock;
    clock.start();
    int seen = observer.framesWithCode(VARVEX_CMD_BANDWIDTH_UPDATE).size();
    qint64 lastFrame = 0;
    qint64 largestGap = 0;
    long peakKiB = startKiB;
    // Watch for at least five seconds, the flood's whole length if longer.
    while (flooding || clock.elapsed() < 5000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        const int now = observer.framesWithCode(VARVEX_CMD_BANDWIDTH_UPDATE).size();
        if (now > seen) {
            largestGap = qMax(largestGap, clock.elapsed() - lastFrame);
            lastFrame = clock.elapsed();
            seen = now;
        }
        peakKiB = qMax(peakKiB, residentKiB());
    }
    largestGap = qMax(largestGap, clock.elapsed() - lastFrame);
    writer->wait();
    delete writer;
    ::close(flooder);

    QVERIFY2(largestGap < 2000, qPrintable(QStringLiteral("observer waited %1 ms for a bandwidth frame").arg(largestGap)));
    QVERIFY2(peakKiB - startKiB < 16 * 1024, qPrintable(QStringLiteral("%1 KiB -> %2 KiB").arg(startKiB).arg(peakKiB)));
    QVERIFY2(sent < 4 * 1000 * 1000, "the service took the whole flood without reading back pressure");
    QCOMPARE(log().count("Client does not read what is sent to it"), 1);

    // The memory goes back, and the observer is served as before.
    QTRY_VERIFY_WITH_TIMEOUT(residentKiB() - startKiB < 2 * 1024, 5000);
    observer.clear();
    observer.send(VarvexFrame::build(VARVEX_CMD_CREDENTIALS_REQUEST));
    QTRY_COMPARE(observer.framesWithCode(VARVEX_CMD_CREDENTIALS_REPLY).size(), 1);
    QCOMPARE(m_service.state(), QProcess::Running);
}

void TestServiceHardening::sixHundredConnectionsUnderADescriptorLimit()
{
    QVERIFY(startService(1024));
    QTRY_VERIFY(openDescriptors() > 0);
    const int idleDescriptors = openDescriptors();
    QVERIFY(idleDescriptors < 32);

    std::vector<int> sockets;
    for (int i = 0; i < 600; ++i) {
        const int fd = connectRaw(socketPath());
        QVERIFY2(fd >= 0, qPrintable(QStringLiteral("connection %1 failed").arg(i)));
        sockets.push_back(fd);
    }
    // Every connection is either served (its status frame arrives) or
    // closed at once; the first 256 are served.
    int served = 0;
    int closed = 0;
    countFates(sockets, &served, &closed);
    QCOMPARE(served, 256);
    QCOMPARE(closed, 600 - 256);
    QCOMPARE(m_service.state(), QProcess::Running);
    QVERIFY(log().contains("Warning: incomingConnection - 256 clients are connected already; a new connection was closed at once.\r\n"));
    QVERIFY(!log().contains("Out of file descriptors"));

    for (int fd : sockets)
        ::close(fd);
    // No descriptor stays behind for any of them (a few belong to the
    // certificate check's network threads, which the first client started).
    QTRY_VERIFY_WITH_TIMEOUT(openDescriptors() <= idleDescriptors + 8, 5000);
    QVERIFY(servedAgain());
    QCOMPARE(m_service.state(), QProcess::Running);
}

void TestServiceHardening::aLowDescriptorLimitAdmitsFewerClients()
{
    // 128 descriptors: 64 stay for the service's own use, 64 for clients.
    QVERIFY(startService(128));
    QTRY_VERIFY(log().contains("Warning: Only 128 file descriptors may be open: at most 64 clients at once.\r\n"));
    std::vector<int> sockets;
    for (int i = 0; i < 200; ++i) {
        const int fd = connectRaw(socketPath());
        QVERIFY(fd >= 0);
        sockets.push_back(fd);
    }
    int served = 0;
    int closed = 0;
    countFates(sockets, &served, &closed);
    QCOMPARE(served, 64);
    QCOMPARE(closed, 200 - 64);
    QCOMPARE(m_service.state(), QProcess::Running);
    QVERIFY(QFile::exists(socketPath()));

    for (int fd : sockets)
        ::close(fd);
    QVERIFY(servedAgain());
    QCOMPARE(m_service.state(), QProcess::Running);
}

QTEST_GUILESS_MAIN(TestServiceHardening)
#include "tst_servicehardening.moc"
