// Connect time through the service against a real OpenVPN server in network
// namespaces, with the kill switch on (name resolved, block applied and read
// back before OpenVPN starts) and off, alternating, 10 connects each by
// default: prints both medians and their ratio. Needs root, OpenVPN and nft;
// every table and route it makes lives in the namespaces it builds.
//
// Usage: bench_killswitch_connect [CONNECTS]   (run from the build folder's bench-bin)
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <unistd.h>

#include "benchsupport.h"
#include "tunneltestsupport.h"

using namespace TunnelTestSupport;

namespace {

const char ServerHostName[] = "vpn.tunnel.test";

double median(QList<double> samples)
{
    std::sort(samples.begin(), samples.end());
    return samples.isEmpty() ? 0 : samples.at(samples.size() / 2);
}

int fail(const char* what, const QByteArray& detail = QByteArray())
{
    std::fprintf(stderr, "bench_killswitch_connect: %s\n%s\n", what, detail.constData());
    return 1;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const int connects = argc > 1 ? qMax(1, atoi(argv[1])) : 10;
    TunnelTools tools;
    const QString missing = missingTunnelPrerequisite("The benchmark", &tools);
    if (!missing.isEmpty())
        return fail(qPrintable(missing));
    const QString build = QCoreApplication::applicationDirPath() + "/..";
    const QString fixture = QStringLiteral(VARVEX_SOURCE_DIR) + "/tests/integration/tunnel-fixture.sh";

    QTemporaryDir dir;
    QDir root(dir.path());
    root.mkpath("server");
    root.mkpath("service/bin");
    root.mkpath("tmp");
    root.mkpath("run");
    const QString tag = QStringLiteral("vvx%1").arg(getpid());
    const RunResult up = run(fixture, { "up", tag, root.filePath("server") });
    struct Down { QString fixture, tag; ~Down() { run(fixture, { "down", tag }); } } down { fixture, tag };
    if (up.exitCode != 0)
        return fail("the test network did not come up", up.errors);
    if (!installService(build, root.filePath("service"))
        || !QFile::copy(root.filePath("server/ca.crt"), root.filePath("service/bin/ca.crt")))
        return fail("cannot install the service");

    QProcess server;
    server.setProcessChannelMode(QProcess::MergedChannels);
    server.start(tools.ip, { "netns", "exec", tag + "-srv", tools.setpriv, "--pdeathsig", "TERM", tools.openvpn,
                             "--config", root.filePath("server/server.conf") });
    QByteArray serverOutput;
    QElapsedTimer waited;
    waited.start();
    while (!serverOutput.contains("Initialization Sequence Completed") && waited.elapsed() < 10000) {
        server.waitForReadyRead(200);
        serverOutput += server.readAll();
    }

    QProcessEnvironment env = serviceEnvironment(dir.path(), "127.0.0.1:9");
    env.insert("VARVEX_DNS_METHOD", "resolv.conf");
    env.remove("VARVEX_NFT");
    const QString settings = dir.filePath("service.conf");
    // BENCH_LOG_LEVEL=4 prints the service's log of the last two connects.
    const QByteArray level = "[General]\nLogLevel=" + qgetenv("BENCH_LOG_LEVEL").append("2").left(1) + "\n";
    writeServiceSettings(settings, level);
    QProcess service;
    service.setProcessEnvironment(env);
    service.setWorkingDirectory(root.filePath("service"));
    service.start(tools.ip, { "netns", "exec", tag + "-cli", tools.setpriv, "--pdeathsig", "TERM",
                              root.filePath("service/varvexservice"), "-e" });
    ServiceClient client;
    if (!client.connectTo(service, dir.filePath("tmp/Varvex")))
        return fail("the service did not start");
    client.nextEvent(5000);

    QList<double> with, without;
    for (int i = 0; i < 2 * connects; ++i) {
        const bool killSwitch = i % 2 == 0;
        // Read at each connect: no restart needed.
        writeServiceSettings(settings, killSwitch ? level + "KillSwitch=true\n"
                                                  : level + "KillSwitch=false\n");
        client.takeEvents();
        QElapsedTimer clock;
        clock.start();
        client.send(connectRequest(ServerHostName, "tunnel-user", "tunnel-pass"));
        QByteArray frame;
        do {
            frame = client.nextEvent(20000);
        } while (!frame.isEmpty() && !isConnectedStatus(frame));
        if (frame.isEmpty())
            return fail("a connect did not complete", readFile(root.filePath("service/varvexservice.log")).right(3000));
        (killSwitch ? with : without).append(clock.nsecsElapsed() / 1e6);
        client.send(VarvexFrame::build(VARVEX_CMD_ABORT_REQUEST));
        do {
            frame = client.nextEvent(10000);
        } while (!frame.isEmpty() && frame != statusFrame(QVarvexCommandDisconnected));
        // The undo and the lifting finish before the next connect begins anyway.
        QThread::msleep(300);
    }
    stop(service);
    stop(server);
    if (qEnvironmentVariableIsSet("BENCH_LOG_LEVEL"))
        std::printf("%s\n", readFile(root.filePath("service/varvexservice.log")).right(20000).constData());

    printPercentiles("connect with the kill switch", with);
    printPercentiles("connect without the kill switch", without);
    std::printf("ratio of medians (with / without): %.3f\n", median(with) / median(without));
    return 0;
}
