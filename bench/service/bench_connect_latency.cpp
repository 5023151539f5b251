// Time from a client's connect request to the status-0 frame arriving at that
// client, with 1, 10 and 100 clients connected to the real server and a
// scripted OpenVPN (bench-bin/bin/openvpn).
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalSocket>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>
#include <memory>
#include <vector>

#include "benchsupport.h"
#include "qvpncredentialscrypt.h"
#include "qvpnserver.h"
#include "varvexlog.h"
#include "varvexprotocol.h"

namespace {

struct Client
{
    QLocalSocket socket;
    VarvexFrameReader reader;
    QByteArray statuses;
    int bandwidthFrames = 0;

    void read()
    {
        reader.append(socket.readAll());
        QByteArray frame;
        while (reader.next(&frame) == VarvexFrameReader::Frame) {
            if (quint8(frame.at(2)) == VARVEX_CMD_STATUS_UPDATE)
                statuses.append(frame.at(3));
            else if (quint8(frame.at(2)) == VARVEX_CMD_BANDWIDTH_UPDATE)
                ++bandwidthFrames;
        }
    }
};

bool waitUntil(const std::function<bool()>& done, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    }
    return true;
}

bool measure(int clientCount, int rounds)
{
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < clientCount; ++i) {
        auto client = std::make_unique<Client>();
        Client* raw = client.get();
        QObject::connect(&raw->socket, &QLocalSocket::readyRead, [raw]() { raw->read(); });
        raw->socket.connectToServer(QStringLiteral("Varvex"));
        if (!raw->socket.waitForConnected(1000))
            return false;
        clients.push_back(std::move(client));
    }
    if (!waitUntil([&]() {
            for (auto& c : clients) {
                if (c->statuses.isEmpty())
                    return false;
            }
            return true;
        }, 5000))
        return false;

    QByteArray payload;
    VarvexFrame::appendField(payload, "vpn.example.net");
    VarvexFrame::appendField(payload, QVPNCredentialsCrypt::encodeUserPass("user", "secret"));
    const QByteArray connect = VarvexFrame::build(VARVEX_CMD_CONNECT_REQUEST, payload);
    const QByteArray abort = VarvexFrame::build(VARVEX_CMD_ABORT_REQUEST);

    QList<double> samples;
    for (int round = 0; round < rounds; ++round) {
        Client* client = clients.at(size_t(round % clientCount)).get();
        client->statuses.clear();
        QElapsedTimer timer;
        timer.start();
        client->socket.write(connect);
        client->socket.flush();
        if (!waitUntil([&]() { return client->statuses.contains('\x00'); }, 2000)) {
            std::printf("round %d: no status 0 (got %s)\n", round, client->statuses.toHex().constData());
            return false;
        }
        samples.append(timer.nsecsElapsed() / 1e6);
        if (qEnvironmentVariableIsSet("BENCH_OUTLIERS") && samples.last() > 5)
            std::printf("  outlier %.1f ms, bandwidth frames so far %d\n", samples.last(), client->bandwidthFrames);
        // Let the attempt come up, then end it, before the next round.
        const int connecting = client->statuses.indexOf('\x00');
        if (!waitUntil([&]() { return client->statuses.indexOf('\x01', connecting) > connecting; }, 5000)) {
            std::printf("round %d: no status 1 (got %s)\n", round, client->statuses.toHex().constData());
            return false;
        }
        client->socket.write(abort);
        // Every client sees every change: look for the end of this round only.
        const int connected = client->statuses.indexOf('\x01', connecting);
        if (!waitUntil([&]() { return client->statuses.indexOf('\x03', connected) > connected; }, 5000)) {
            std::printf("round %d: no status 3 (got %s)\n", round, client->statuses.toHex().constData());
            return false;
        }
        // Independent clients would each have read their notifications by
        // the next request; let this thread catch up so the next sample does
        // not include reading the other clients' backlog.
        if (!waitUntil([&]() {
                for (auto& c : clients) {
                    if (!c->statuses.endsWith('\x03'))
                        return false;
                }
                return true;
            }, 5000)) {
            std::printf("round %d: not every client saw status 3\n", round);
            return false;
        }
    }
    const QByteArray label = QByteArray::number(clientCount) + " client(s): connect request -> status 0";
    printPercentiles(label.constData(), samples);
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    setupLog(LOG_WARNING, true);
    QCoreApplication app(argc, argv);
    if (!QFile::exists(QCoreApplication::applicationDirPath() + "/bin/openvpn")) {
        std::printf("bench-bin/bin/openvpn (the scripted fake) is missing\n");
        return 1;
    }

    QTemporaryDir dir;
    QDir(dir.path()).mkdir("tmp");
    qputenv("TMPDIR", dir.filePath("tmp").toLocal8Bit());
    qputenv("VARVEX_SOCKET_DIR", dir.filePath("tmp").toLocal8Bit());
    qputenv("VARVEX_SERVICE_CONFIG", dir.filePath("service.conf").toLocal8Bit());
    qputenv("VARVEX_API_HOST", "127.0.0.1:9");
    QFile scenario(dir.filePath("scenario"));
    scenario.open(QIODevice::WriteOnly);
    scenario.write("prompt\nout Initialization Sequence Completed\\r\\n\nhang\n");
    scenario.close();
    qputenv("FAKE_OPENVPN_SCENARIO", scenario.fileName().toLocal8Bit());
    QSettings(dir.filePath("service.conf"), QSettings::IniFormat).setValue("Credentials", "stored");
    // Runs in this machine's network namespace: no firewall of ours here.
    QSettings(dir.filePath("service.conf"), QSettings::IniFormat).setValue("KillSwitch", false);
    if (qEnvironmentVariableIsSet("BENCH_LOG_LEVEL"))
        QSettings(dir.filePath("service.conf"), QSettings::IniFormat).setValue("LogLevel", qgetenv("BENCH_LOG_LEVEL").toInt());

    QVPNServer server(nullptr);
    server.start();
    if (!server.isListening()) {
        std::printf("server did not listen\n");
        return 1;
    }

    // The clients run on a thread of their own, as separate programs would:
    // the service's event loop must not be what delivers their frames.
    int result = 0;
    QThread* clients = QThread::create([&result]() {
        const int clientCounts[] = {1, 10, 100};
        for (int count : clientCounts) {
            if (!measure(count, 200)) {
                std::printf("%d clients: a frame did not arrive in time\n", count);
                result = 1;
                break;
            }
            QThread::msleep(200);
        }
        QMetaObject::invokeMethod(qApp, "quit", Qt::QueuedConnection);
    });
    clients->start();
    app.exec();
    clients->wait();
    delete clients;
    server.stop();
    return result;
}
