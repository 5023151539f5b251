// Frame reading throughput: a 1 MB burst of small request frames written to a
// client connection's socket, until the last frame has been dispatched.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLocalSocket>
#include <QTimer>

#include <sys/socket.h>
#include <unistd.h>

#include "benchsupport.h"
#include "qvpnclientconnection.h"
#include "varvexlog.h"
#include "varvexprotocol.h"

namespace {

// Status requests (4 bytes, counted through getStatus), optionally mixed
// with server list requests carrying a 12-byte payload, which the service
// ignores.
QByteArray burst(int bytes, bool mixed, int* statusRequests)
{
    const QByteArray status = VarvexFrame::build(VARVEX_CMD_STATUS_REQUEST);
    const QByteArray list = VarvexFrame::build(VARVEX_CMD_SERVER_LIST_REQUEST, QByteArray(12, '\x02'));
    QByteArray data;
    data.reserve(bytes + 32);
    *statusRequests = 0;
    while (data.size() < bytes) {
        data.append(status);
        ++*statusRequests;
        if (mixed && data.size() < bytes)
            data.append(list);
    }
    return data;
}

double readerOnlyMs(const QByteArray& data, int chunk, int* frames)
{
    QElapsedTimer timer;
    timer.start();
    VarvexFrameReader reader;
    QByteArray frame;
    *frames = 0;
    for (int at = 0; at < data.size(); at += chunk) {
        reader.append(data.mid(at, chunk));
        while (reader.next(&frame) == VarvexFrameReader::Frame)
            ++*frames;
    }
    return timer.nsecsElapsed() / 1e6;
}

} // namespace

int main(int argc, char* argv[])
{
    setupLog(LOG_WARNING, true);
    QCoreApplication app(argc, argv);

    for (bool mixed : {false, true}) {
        int expected = 0;
        const QByteArray data = burst(1 << 20, mixed, &expected);
        std::printf("burst of %d bytes: %s, %d status requests\n", int(data.size()),
                    mixed ? "4- and 16-byte frames" : "4-byte frames", expected);

        QList<double> readerRuns;
        for (int run = 0; run < 5; ++run) {
            int frames = 0;
            readerRuns.append(readerOnlyMs(data, 64 * 1024, &frames));
            if (frames < expected)
                return 1;
        }
        printPercentiles("  frame reader alone, 64 KB reads", readerRuns);

        QList<double> socketRuns;
        for (int run = 0; run < 5; ++run) {
            int fds[2];
            if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
                return 1;
            QVPNClientConnection connection(nullptr, quintptr(fds[0]));
            QLocalSocket client;
            client.setSocketDescriptor(fds[1]);

            int seen = 0;
            QElapsedTimer timer;
            QObject::connect(&connection, &QVPNClientConnection::getStatus, [&]() {
                if (++seen == expected)
                    app.quit();
            });
            QTimer guard;
            guard.setSingleShot(true);
            QObject::connect(&guard, &QTimer::timeout, &app, &QCoreApplication::quit);
            guard.start(10000);
            timer.start();
            client.write(data);
            app.exec();
            const double ms = timer.nsecsElapsed() / 1e6;
            if (seen != expected) {
                std::printf("run %d: only %d of %d frames arrived\n", run, seen, expected);
                return 1;
            }
            socketRuns.append(ms);
        }
        printPercentiles("  through a client connection (socket, reader, dispatch)", socketRuns);
    }
    return 0;
}
