// A one-shot client of the service's local socket for the system test: it
// runs inside the test's container as an ordinary user, sends one request
// and prints what the service answered.
//
//   socketprobe <socket> status                      STATUS <n>
//   socketprobe <socket> connect <host> <user> <pw>  CONNECTED <host> (or the last status)
//   socketprobe <socket> abort                       STATUS 3 once disconnected
//
// Exit status: 0 as asked, 1 when the service answered otherwise or not in
// time, 2 when the socket could not be reached.

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>

#include "frameclient.h"
#include "qvpncredentialscrypt.h"
#include "varvexprotocol.h"

namespace {

const int ConnectTimeoutMs = 60000;
const int StatusTimeoutMs = 10000;

// Waits for a status update matching the test and prints the last one seen.
int awaitStatus(FrameClient& client, int timeoutMs, bool (*wanted)(const QByteArray&))
{
    QElapsedTimer timer;
    timer.start();
    int seen = 0;
    int lastStatus = -1;
    while (timer.elapsed() < timeoutMs) {
        const QList<QByteArray> frames = client.frames();
        for (; seen < frames.size(); ++seen) {
            const QByteArray& frame = frames.at(seen);
            if (VarvexFrame::code(frame) == VARVEX_CMD_LOGIN_FAILED) {
                std::printf("LOGIN FAILED\n");
                return 1;
            }
            if (VarvexFrame::code(frame) != VARVEX_CMD_STATUS_UPDATE)
                continue;
            lastStatus = frame.at(3);
            if (!wanted(frame))
                continue;
            QByteArray details = VarvexFrame::payload(frame).mid(1);
            if (lastStatus == QVarvexCommandConnected)
                std::printf("CONNECTED %s\n", VarvexFrame::takeField(details).constData());
            else
                std::printf("STATUS %d\n", lastStatus);
            return 0;
        }
        if (client.socket().state() != QLocalSocket::ConnectedState) {
            std::printf("CLOSED after status %d\n", lastStatus);
            return 1;
        }
        client.socket().waitForReadyRead(200);
    }
    std::printf("TIMEOUT after status %d\n", lastStatus);
    return 1;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: %s <socket> status|connect <host> <user> <password>|abort\n", argv[0]);
        return 2;
    }
    FrameClient client;
    if (!client.connectTo(args.at(1), 5000)) {
        std::printf("UNREACHABLE %s\n", qPrintable(client.socket().errorString()));
        return 2;
    }
    const QString command = args.at(2);
    if (command == "status")
        return awaitStatus(client, StatusTimeoutMs, [](const QByteArray&) { return true; });
    if (command == "connect" && args.size() == 6) {
        QByteArray payload;
        VarvexFrame::appendField(payload, args.at(3).toUtf8());
        VarvexFrame::appendField(payload, QVPNCredentialsCrypt::encodeUserPass(args.at(4), args.at(5)));
        client.send(VarvexFrame::build(VARVEX_CMD_CONNECT_REQUEST, payload));
        return awaitStatus(client, ConnectTimeoutMs,
                           [](const QByteArray& frame) { return frame.at(3) == QVarvexCommandConnected; });
    }
    if (command == "abort") {
        // The first update is the current status; the abort is sent once it came.
        if (client.waitForFrame(VARVEX_CMD_STATUS_UPDATE, StatusTimeoutMs).isEmpty())
            return 1;
        client.clear();
        client.send(VarvexFrame::build(VARVEX_CMD_ABORT_REQUEST));
        return awaitStatus(client, StatusTimeoutMs,
                           [](const QByteArray& frame) { return frame.at(3) == QVarvexCommandDisconnected; });
    }
    std::fprintf(stderr, "unknown command %s\n", qPrintable(command));
    return 2;
}
