// bench_connect_soak [CYCLES]: CYCLES (default 300) connects and disconnects
// through the real service, its OpenVPN launcher and a real OpenVPN server,
// all in network namespaces made for the run and removed at its end. One
// client drives the service, a second one reads every frame. Before the
// first cycle, after the 10th, every 50 cycles and at the end it prints the
// service's memory, descriptors and threads and whether the client
// namespace's routes, resolver file, nftables tables and record folder are
// as they were; then the connect times.
//
// Exit status: 0 when every cycle worked, descriptors, threads, routes,
// resolver file, tables and record folder are back exactly (descriptors
// the service had at the start may have closed), and memory is
// within 2 MB of the level after the first 10 cycles; 1 otherwise; 77 when
// this machine cannot run it (not root, no /dev/net/tun, no OpenVPN or nft).

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <climits>
#include <csignal>
#include <cstdio>
#include <unistd.h>

#include "benchsupport.h"
#include "tunneltestsupport.h"
#include "varvexprotocol.h"

using namespace TunnelTestSupport;

namespace {

const char ServerLinkAddress[] = "10.213.1.1";
const char UserName[] = "tunnel-user";
const char Password[] = "tunnel-pass";
const int DefaultCycles = 300;
const int BaselineCycle = 10;
const int SnapshotEvery = 50;
const qint64 RssAllowanceKb = 2048;
const int ConnectTimeoutMs = 30000;
const double SlowConnectMs = 5000;
const int StatusTimeoutMs = 10000;
const int RestoreTimeoutMs = 10000;
const int SkipExitCode = 77;

volatile std::sig_atomic_t g_stopRequested = 0;

// What is measured at one point of the run.
struct Snapshot
{
    QString label;
    qint64 rssKb = 0;
    int descriptors = 0;
    QStringList descriptorTargets; // what each descriptor is open on, sorted
    int threads = 0;
    QByteArray routes;
    QByteArray resolver;
    QByteArray tables;
    QByteArray record;
};

qint64 statusField(const QByteArray& status, const QByteArray& name)
{
    for (const QByteArray& line : status.split('\n')) {
        if (line.startsWith(name + ':'))
            return line.mid(name.size() + 1).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// What a /proc/<pid>/fd entry names, as the kernel writes it.
QString linkText(const QString& path)
{
    char target[PATH_MAX];
    const ssize_t length = ::readlink(QFile::encodeName(path).constData(), target, sizeof(target));
    return length < 0 ? QString() : QString::fromUtf8(target, int(length));
}

class Soak
{
public:
    Soak(const TunnelTools& tools, const QString& buildDir, const QString& sourceDir)
        : m_tools(tools), m_buildDir(buildDir), m_sourceDir(sourceDir) { }

    ~Soak()
    {
        m_controller.reset();
        m_reader.reset();
        stop(m_service);
        stop(m_server);
        if (m_network)
            m_network->down();
    }

    bool setUp(QString* why);
    int run(int cycles);

private:
    RunResult inClient(const QString& program, const QStringList& arguments)
    {
        return TunnelTestSupport::run(m_tools.ip, QStringList { "netns", "exec", m_network->clientNamespace(), program }
                                                      + arguments);
    }
    bool tunnelDeviceExists() { return inClient(m_tools.ip, { "link", "show", "dev", "tun0" }).exitCode == 0; }
    QString recordPath() const { return m_dir.filePath("run/network-changes"); }

    QString cycle();
    bool waitForStatus(ServiceClient* client, quint8 status, int timeoutMs, QByteArray* frame = nullptr);
    QString readerSawCycle();
    Snapshot snapshot(const QString& label);
    void print(const Snapshot& now);
    void dumpLog();
    QString logPath() const { return m_dir.filePath("service/varvexservice.log"); }

    TunnelTools m_tools;
    QString m_buildDir;
    QString m_sourceDir;
    QTemporaryDir m_dir;
    QScopedPointer<TunnelNetwork> m_network;
    QProcess m_server;
    QProcess m_service;
    QScopedPointer<ServiceClient> m_controller;
    QScopedPointer<ServiceClient> m_reader;
    Snapshot m_before;
    QList<double> m_connectMs;
};

bool Soak::setUp(QString* why)
{
    QDir root(m_dir.path());
    if (!m_dir.isValid() || !root.mkpath("server") || !root.mkpath("service/bin") || !root.mkpath("tmp")
        || !root.mkpath("run")) {
        *why = "cannot make the run's folders";
        return false;
    }
    m_network.reset(new TunnelNetwork(m_sourceDir + "/tests/integration/tunnel-fixture.sh"));
    const RunResult up = m_network->up(root.filePath("server"));
    if (up.exitCode != 0) {
        *why = "the test network did not come up: " + QString::fromUtf8(up.errors);
        return false;
    }

    const QString serviceDir = root.filePath("service");
    if (!installService(m_buildDir, serviceDir)
        || !QFile::copy(root.filePath("server/ca.crt"), serviceDir + "/bin/ca.crt")
        || !writeServiceSettings(root.filePath("service.conf"), "[General]\nLogLevel=4\n")) {
        *why = "cannot install the service from " + m_buildDir;
        return false;
    }

    // Everything long-running dies with this program, however it ends.
    const QStringList bound = { "--pdeathsig", "TERM" };
    m_server.setProcessChannelMode(QProcess::MergedChannels);
    m_server.start(m_tools.ip, QStringList { "netns", "exec", m_network->serverNamespace(), m_tools.setpriv } + bound
                                   + QStringList { m_tools.openvpn, "--config", root.filePath("server/server.conf") });
    QByteArray serverOutput;
    if (!m_server.waitForStarted() || !QTest::qWaitFor([&] {
            serverOutput += m_server.readAll();
            return serverOutput.contains("Initialization Sequence Completed") || m_server.state() == QProcess::NotRunning;
        }, 10000) || m_server.state() != QProcess::Running) {
        *why = "the OpenVPN server did not start: " + QString::fromUtf8(serverOutput);
        return false;
    }

    // The resolver file is changed itself, and nothing answers the web API.
    QProcessEnvironment env = serviceEnvironment(m_dir.path(), "127.0.0.1:9");
    env.insert("VARVEX_DNS_METHOD", "resolv.conf");
    env.remove("VARVEX_RESOLV_CONF");
    env.remove("VARVEX_RESOLVECTL");
    env.remove("VARVEX_RESOLVCONF");
    m_service.setProcessEnvironment(env);
    m_service.setWorkingDirectory(serviceDir);
    m_service.setProcessChannelMode(QProcess::MergedChannels);
    // `ip netns exec` and setpriv both exec: the process is the service itself.
    m_service.start(m_tools.ip, QStringList { "netns", "exec", m_network->clientNamespace(), m_tools.setpriv } + bound
                                    + QStringList { serviceDir + "/varvexservice", "-e" });
    m_controller.reset(new ServiceClient);
    m_reader.reset(new ServiceClient);
    const QString socket = root.filePath("tmp/Varvex");
    if (!m_service.waitForStarted() || !m_controller->connectTo(m_service, socket)
        || !m_reader->connectTo(m_service, socket)) {
        *why = "the service did not start: " + QString::fromUtf8(m_service.readAll());
        return false;
    }
    if (!waitForStatus(m_controller.data(), QVarvexCommandDisconnected, StatusTimeoutMs)
        || !waitForStatus(m_reader.data(), QVarvexCommandDisconnected, StatusTimeoutMs)) {
        *why = "the service did not tell its status";
        return false;
    }
    return true;
}

// The next status update for this client, skipping bandwidth frames.
bool Soak::waitForStatus(ServiceClient* client, quint8 status, int timeoutMs, QByteArray* frame)
{
    const QByteArray event = client->nextEvent(timeoutMs);
    if (frame)
        *frame = event;
    if (status == QVarvexCommandConnected)
        return isConnectedStatus(event);
    return event == statusFrame(status);
}

// One connect and disconnect; empty when it went as it should, else what did not.
QString Soak::cycle()
{
    const qint64 logStart = QFileInfo(logPath()).size();
    QElapsedTimer timer;
    timer.start();
    m_controller->send(connectRequest(ServerLinkAddress, UserName, Password));
    QByteArray frame;
    if (!waitForStatus(m_controller.data(), QVarvexCommandConnecting, StatusTimeoutMs, &frame))
        return "no status 0 after the connect request but " + QString::fromLatin1(hex(frame));
    if (!waitForStatus(m_controller.data(), QVarvexCommandConnected, ConnectTimeoutMs, &frame))
        return "no status 1 but " + QString::fromLatin1(hex(frame));
    m_connectMs.append(timer.nsecsElapsed() / 1e6);
    if (m_connectMs.last() > SlowConnectMs) {
        // What OpenVPN said meanwhile, and anything that went wrong.
        QByteArray said;
        for (const QByteArray& line : readFile(logPath()).mid(int(logStart)).split('\n')) {
            if (line.contains("OpenVPN stdout: ") || line.contains(" - Warning: ") || line.contains(" - Error: ")
                || line.contains(" - Critical: "))
                said += line + '\n';
        }
        std::printf("connect %d took %.0f ms; the service's log meanwhile:\n%s", int(m_connectMs.size()),
                    m_connectMs.last(), said.right(8000).constData());
    }

    m_controller->send(VarvexFrame::build(VARVEX_CMD_ABORT_REQUEST));
    if (!waitForStatus(m_controller.data(), QVarvexCommandDisconnecting, StatusTimeoutMs, &frame))
        return "no status 2 after the abort request but " + QString::fromLatin1(hex(frame));
    if (!waitForStatus(m_controller.data(), QVarvexCommandDisconnected, StatusTimeoutMs, &frame))
        return "no status 3 but " + QString::fromLatin1(hex(frame));

    // The next cycle starts from a machine as it was: no record, no device.
    if (!QTest::qWaitFor([this] { return !QFile::exists(recordPath()) && !tunnelDeviceExists(); }, RestoreTimeoutMs))
        return "the record or tun0 is still there after the disconnect";
    const QString reader = readerSawCycle();
    m_controller->clearBandwidth();
    m_reader->clearBandwidth();
    return reader;
}

// The reading client must have seen the same cycle, whole and in order.
QString Soak::readerSawCycle()
{
    QList<QByteArray> seen;
    const bool arrived = QTest::qWaitFor([&] {
        seen += m_reader->takeEvents();
        return seen.size() >= 4;
    }, StatusTimeoutMs);
    const bool whole = arrived && seen.size() == 4 && seen.at(0) == statusFrame(QVarvexCommandConnecting)
        && isConnectedStatus(seen.at(1)) && seen.at(2) == statusFrame(QVarvexCommandDisconnecting)
        && seen.at(3) == statusFrame(QVarvexCommandDisconnected);
    if (whole && m_reader->malformed() == 0)
        return QString();
    QStringList frames;
    for (const QByteArray& frame : seen)
        frames << QString::fromLatin1(hex(frame));
    return QStringLiteral("the reading client saw %1 (%2 malformed)").arg(frames.join(" | ")).arg(m_reader->malformed());
}

Snapshot Soak::snapshot(const QString& label)
{
    Snapshot now;
    now.label = label;
    const QString process = "/proc/" + QString::number(m_service.processId());
    const QByteArray status = readFile(process + "/status");
    now.rssKb = statusField(status, "VmRSS");
    now.threads = int(statusField(status, "Threads"));
    const QFileInfoList descriptors = QDir(process + "/fd").entryInfoList(QDir::AllEntries | QDir::System
                                                                          | QDir::NoDotAndDotDot);
    now.descriptors = descriptors.size();
    for (const QFileInfo& descriptor : descriptors)
        now.descriptorTargets << descriptor.fileName() + "=" + linkText(descriptor.filePath());
    now.descriptorTargets.sort();
    now.routes = inClient(m_tools.ip, { "route", "show", "table", "all" }).output
        + inClient(m_tools.ip, { "-6", "route", "show", "table", "all" }).output;
    now.resolver = readFile(m_network->clientResolvConf());
    now.tables = inClient("nft", { "list", "tables" }).output;
    // The lock file stays once made, by design; the record and what it keeps may not.
    QStringList record = QDir(m_dir.filePath("run")).entryList(QDir::AllEntries | QDir::System | QDir::Hidden
                                                               | QDir::NoDotAndDotDot);
    record.removeAll(QStringLiteral("network.lock"));
    now.record = record.join(' ').toUtf8();
    return now;
}

void Soak::print(const Snapshot& now)
{
    auto same = [](const QByteArray& a, const QByteArray& b) { return a == b ? "same" : "CHANGED"; };
    std::printf("%-14s rss %7lld KiB  fds %4d  threads %3d  routes %-7s  resolver %-7s  tables %-7s  record %s\n",
                qPrintable(now.label), now.rssKb, now.descriptors, now.threads, same(now.routes, m_before.routes),
                same(now.resolver, m_before.resolver), same(now.tables, m_before.tables),
                same(now.record, m_before.record));
    std::fflush(stdout);
}

void Soak::dumpLog()
{
    const QByteArray log = readFile(logPath());
    std::fprintf(stderr, "varvexservice.log (end):\n%s\n", log.right(4000).constData());
}

int Soak::run(int cycles)
{
    m_before = snapshot("before");
    std::printf("nftables tables in the client namespace before: %s\n",
                m_before.tables.isEmpty() ? "(none)" : m_before.tables.simplified().constData());
    print(m_before);

    Snapshot baseline = m_before;
    // The service's network worker and its wake-up descriptor start with the
    // first tunnel and stay: descriptors and threads are counted from there.
    Snapshot steady = m_before;
    int failures = 0;
    int done = 0;
    for (int n = 1; n <= cycles && !g_stopRequested; ++n) {
        const QString failure = cycle();
        done = n;
        if (!failure.isEmpty()) {
            ++failures;
            std::printf("cycle %d failed: %s\n", n, qPrintable(failure));
            dumpLog();
            // Leave the next cycle a service at rest.
            m_controller->send(VarvexFrame::build(VARVEX_CMD_ABORT_REQUEST));
            QTest::qWait(3000);
            m_controller->takeEvents();
            m_reader->takeEvents();
            if (failures >= 3)
                break;
        }
        if (n == 1)
            steady = snapshot(QStringLiteral("after 1"));
        if (n == BaselineCycle) {
            baseline = snapshot(QStringLiteral("after %1").arg(n));
            print(baseline);
        } else if (n % SnapshotEvery == 0 && n != cycles) {
            print(snapshot(QStringLiteral("after %1").arg(n)));
        }
    }
    const Snapshot after = snapshot(QStringLiteral("after %1").arg(done));
    print(after);
    if (m_connectMs.size() > 0)
        printPercentiles("connect time (request to status 1)", m_connectMs);

    QStringList missed;
    if (done < cycles)
        missed << QStringLiteral("stopped after %1 of %2 cycles").arg(done).arg(cycles);
    if (failures > 0)
        missed << QStringLiteral("%1 cycles failed").arg(failures);
    // A web API request leaves its socket in Qt's connection cache for two
    // minutes: one made at start may be gone by the end. Only a descriptor
    // that was not there before counts.
    QStringList opened = after.descriptorTargets;
    QStringList closed = steady.descriptorTargets;
    for (const QString& target : steady.descriptorTargets)
        opened.removeOne(target);
    for (const QString& target : after.descriptorTargets)
        closed.removeOne(target);
    if (!closed.isEmpty())
        std::printf("closed since the start: %s\n", qPrintable(closed.join(' ')));
    if (!opened.isEmpty())
        missed << QStringLiteral("descriptors %1 -> %2, new: %3")
                      .arg(steady.descriptors).arg(after.descriptors).arg(opened.join(' '));
    if (after.threads != steady.threads)
        missed << QStringLiteral("threads %1 -> %2").arg(steady.threads).arg(after.threads);
    if (after.rssKb > baseline.rssKb + RssAllowanceKb)
        missed << QStringLiteral("RSS %1 KiB after %2 cycles, %3 KiB after %4")
                      .arg(after.rssKb).arg(done).arg(baseline.rssKb).arg(baseline.label);
    if (after.routes != m_before.routes)
        missed << "routes:\n" + QString::fromUtf8(m_before.routes) + "->\n" + QString::fromUtf8(after.routes);
    if (after.resolver != m_before.resolver)
        missed << "resolver file:\n" + QString::fromUtf8(after.resolver);
    if (after.tables != m_before.tables)
        missed << "nftables tables:\n" + QString::fromUtf8(m_before.tables) + "->\n" + QString::fromUtf8(after.tables);
    if (after.record != m_before.record)
        missed << "record folder: " + QString::fromUtf8(after.record);
    if (m_service.state() != QProcess::Running)
        missed << "the service ended";

    if (missed.isEmpty()) {
        std::printf("soak passed: %d cycles, nothing left behind\n", done);
        return 0;
    }
    std::printf("soak FAILED: %s\n", qPrintable(missed.join("; ")));
    return 1;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const int cycles = argc > 1 ? QByteArray(argv[1]).toInt() : DefaultCycles;
    if (cycles < 1) {
        std::fprintf(stderr, "usage: %s [CYCLES]  (default %d)\n", argv[0], DefaultCycles);
        return 2;
    }

    TunnelTools tools;
    QString missing = missingTunnelPrerequisite("The soak", &tools);
    if (missing.isEmpty() && findProgram("nft").isEmpty())
        missing = "The soak needs nft (scripts/install-deps.sh installs it).";
    if (!missing.isEmpty()) {
        std::printf("SKIP: %s\n", qPrintable(missing));
        return SkipExitCode;
    }

    // Ctrl-C ends the run after the current cycle, with everything removed.
    std::signal(SIGINT, [](int) { g_stopRequested = 1; });
    std::signal(SIGTERM, [](int) { g_stopRequested = 1; });

    const QString build = qEnvironmentVariable("VARVEX_BUILD_DIR", VARVEX_SOAK_BUILD_DIR);
    const QString source = qEnvironmentVariable("VARVEX_SOURCE_DIR", VARVEX_SOAK_SOURCE_DIR);
    Soak soak(tools, build, source);
    QString why;
    if (!soak.setUp(&why)) {
        std::printf("soak could not start: %s\n", qPrintable(why));
        return 1;
    }
    return soak.run(cycles);
}
