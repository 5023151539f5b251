// One client floods the real service (varvexservice -e, beside this program)
// with credentials requests and never reads its replies, while an observer
// client reads its bandwidth frames. Reports the service's resident memory
// before, at its peak and after the flooder has gone, how long the service
// took to take the flood in, and the largest gap between the observer's
// bandwidth frames.
//
//   bench_client_flood [megabytes=4] [reads]
// With "reads" the flooder reads (and throws away) its replies: the service
// then serves it all, and the figures show how the others fare meanwhile.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalSocket>
#include <QProcess>
#include <QSettings>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "qvpncredentialscrypt.h"
#include "varvexprotocol.h"

namespace {

long residentKiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

int connectRaw(const QString& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    const QByteArray bytes = QFile::encodeName(path);
    qstrncpy(address.sun_path, bytes.constData(), sizeof(address.sun_path));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Writes the flood; stops when the service has taken no byte for stallMs (it
// stopped reading this connection), at the deadline, or when it drops the
// connection.
struct Flood
{
    std::atomic<qint64> written {0};
    std::atomic<bool> done {false};
    qint64 elapsedMs = 0;
    QByteArray outcome;

    void run(int fd, qint64 total, int deadlineMs, int stallMs, bool reads)
    {
        char scratch[64 * 1024];
        const QByteArray request = VarvexFrame::build(VARVEX_CMD_CREDENTIALS_REQUEST);
        QByteArray chunk;
        while (chunk.size() < 64 * 1024)
            chunk += request;
        QElapsedTimer timer;
        timer.start();
        qint64 lastProgress = 0;
        while (written < total) {
            if (reads) {
                while (::recv(fd, scratch, sizeof(scratch), MSG_DONTWAIT) > 0) {
                }
            }
            // A reading client wakes for replies too, or it and a service
            // that waits for it to read would wait for each other.
            pollfd p {fd, short(reads ? POLLOUT | POLLIN : POLLOUT), 0};
            if (timer.elapsed() > deadlineMs) {
                outcome = "deadline reached";
                break;
            }
            if (timer.elapsed() - lastProgress > stallMs) {
                outcome = "service stopped reading this connection";
                break;
            }
            if (::poll(&p, 1, 100) <= 0)
                continue;
            if (!(p.revents & POLLOUT) && !(p.revents & (POLLERR | POLLHUP)))
                continue;
            if (p.revents & (POLLERR | POLLHUP)) {
                outcome = "service closed the connection";
                break;
            }
            const qint64 n = ::send(fd, chunk.constData(), size_t(qMin<qint64>(chunk.size(), total - written)),
                                    MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n < 0 && errno != EAGAIN) {
                outcome = "service closed the connection";
                break;
            }
            if (n > 0) {
                written += n;
                lastProgress = timer.elapsed();
            }
        }
        if (outcome.isEmpty())
            outcome = "whole flood taken in";
        elapsedMs = timer.elapsed();
        done = true;
    }
};

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const qint64 megabytes = argc > 1 ? QByteArray(argv[1]).toLongLong() : 4;
    const bool reads = argc > 2 && QByteArray(argv[2]) == "reads";
    const QString service = qEnvironmentVariable("VARVEX_BUILD_DIR", QCoreApplication::applicationDirPath() + "/..")
        + "/bin/varvexservice";
    if (!QFile::exists(service)) {
        std::printf("%s is missing\n", qPrintable(service));
        return 1;
    }

    QTemporaryDir dir;
    QDir(dir.path()).mkdir("tmp");
    QFile::copy(service, dir.filePath("varvexservice"));
    QSettings(dir.filePath("service.conf"), QSettings::IniFormat)
        .setValue("Credentials", QString::fromLatin1(QVPNCredentialsCrypt::encodeUserPass("flood-user", "flood-password")));
    // Runs in this machine's network namespace: no firewall of ours here.
    QSettings(dir.filePath("service.conf"), QSettings::IniFormat).setValue("KillSwitch", false);
    QTcpServer closed;
    closed.listen(QHostAddress::LocalHost, 0);
    const quint16 closedPort = closed.serverPort();
    closed.close();

    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TMPDIR", dir.filePath("tmp"));
    env.insert("VARVEX_SOCKET_DIR", dir.filePath("tmp"));
    env.insert("VARVEX_SERVICE_CONFIG", dir.filePath("service.conf"));
    env.insert("VARVEX_CONTROL_DIR", dir.filePath("tmp"));
    env.insert("VARVEX_API_HOST", QStringLiteral("127.0.0.1:%1").arg(closedPort));
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(dir.filePath("varvexservice"), {"-e"});
    if (!process.waitForStarted(5000))
        return 1;
    const QString socketPath = dir.filePath("tmp/Varvex");

    QLocalSocket observer;
    QElapsedTimer deadline;
    deadline.start();
    while (deadline.elapsed() < 5000) {
        observer.connectToServer(socketPath);
        if (observer.waitForConnected(200))
            break;
        QThread::msleep(50);
    }
    if (observer.state() != QLocalSocket::ConnectedState) {
        std::printf("the service did not listen\n");
        return 1;
    }

    QElapsedTimer clock;
    clock.start();
    qint64 lastFrame = -1;
    qint64 largestGap = 0;
    VarvexFrameReader reader;
    bool flooding = false;
    QObject::connect(&observer, &QLocalSocket::readyRead, [&]() {
        reader.append(observer.readAll());
        QByteArray frame;
        while (reader.next(&frame) == VarvexFrameReader::Frame) {
            if (quint8(frame.at(2)) != VARVEX_CMD_BANDWIDTH_UPDATE)
                continue;
            const qint64 now = clock.elapsed();
            if (flooding && lastFrame >= 0)
                largestGap = qMax(largestGap, now - lastFrame);
            lastFrame = now;
        }
    });

    auto settle = [&](int ms) {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < ms)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    };
    settle(2500);
    const long startKiB = residentKiB(process.processId());

    const int fd = connectRaw(socketPath);
    if (fd < 0) {
        std::printf("flooder could not connect\n");
        return 1;
    }
    Flood flood;
    flooding = true;
    long peakKiB = startKiB;
    QThread* writer = QThread::create([&]() { flood.run(fd, megabytes * 1000 * 1000, 180000, 8000, reads); });
    writer->start();
    while (!flood.done) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        peakKiB = qMax(peakKiB, residentKiB(process.processId()));
    }
    // Keep the flooder connected (and unread) a little longer: the service
    // may still be working through what it took in.
    for (int i = 0; i < 50; ++i) {
        settle(100);
        peakKiB = qMax(peakKiB, residentKiB(process.processId()));
    }
    flooding = false;
    writer->wait();
    delete writer;
    ::close(fd);
    settle(3000);
    const long afterKiB = residentKiB(process.processId());
    const bool alive = process.state() == QProcess::Running;

    std::printf("flood of %lld MB of code-9 requests, %s:\n", megabytes, reads ? "replies read" : "never read");
    std::printf("  taken in: %.2f MB in %lld ms (%s)\n", flood.written / 1e6, flood.elapsedMs, flood.outcome.constData());
    std::printf("  service RSS: start %.1f MB, peak %.1f MB, 3 s after the flooder left %.1f MB\n", startKiB / 1024.0,
                peakKiB / 1024.0, afterKiB / 1024.0);
    std::printf("  observer: largest gap between bandwidth frames %lld ms\n", largestGap);
    std::printf("  service %s\n", alive ? "still running" : "ended");

    process.terminate();
    process.waitForFinished(5000);
    return alive ? 0 : 1;
}
