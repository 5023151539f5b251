// What the tests with a real tunnel share: finding and running the system's
// tools, starting the service in a private folder, and reading its frames.

#ifndef TUNNELTESTSUPPORT_H
#define TUNNELTESTSUPPORT_H

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QLocalSocket>
#include <QObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QtTest>

#include <unistd.h>

#include "qvpncredentialscrypt.h"
#include "varvexprotocol.h"

namespace TunnelTestSupport {

// Answers every UDP datagram on port 7 with the same bytes.
const char EchoServerScript[] = R"PY(
import socket
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("0.0.0.0", 7))
while True:
    data, peer = s.recvfrom(65535)
    s.sendto(data, peer)
)PY";

inline QString findProgram(const QString& name)
{
    const QString path = QStandardPaths::findExecutable(name);
    if (!path.isEmpty())
        return path;
    return QStandardPaths::findExecutable(name, { "/usr/sbin", "/sbin", "/usr/bin", "/bin" });
}

struct TunnelTools
{
    QString ip;
    QString setpriv;
    QString python;
    QString openvpn;
};

// Why a tunnel test cannot run on this machine ("<test> needs ..."), or an
// empty string when it can; fills in the tools it will use.
inline QString missingTunnelPrerequisite(const QString& test, TunnelTools* tools)
{
    if (geteuid() != 0)
        return test + " needs root to build network namespaces.";
    if (!QFile::exists("/dev/net/tun"))
        return test + " needs /dev/net/tun.";
    tools->openvpn = qEnvironmentVariable("VARVEX_OPENVPN", "/usr/sbin/openvpn");
    if (!QFileInfo(tools->openvpn).isExecutable())
        return tools->openvpn + " is not installed; " + test.left(1).toLower() + test.mid(1) + " needs OpenVPN.";
    tools->ip = findProgram("ip");
    tools->setpriv = findProgram("setpriv");
    // The system's own, not one of a virtual environment that may come first on PATH.
    tools->python = QFileInfo::exists("/usr/bin/python3") ? QStringLiteral("/usr/bin/python3")
                                                          : findProgram("python3");
    for (const QString& tool : { tools->ip, tools->setpriv, tools->python, findProgram("openssl") }) {
        if (tool.isEmpty())
            return test + " needs ip, setpriv, openssl and python3.";
    }
    return QString();
}

struct RunResult
{
    int exitCode = -1; // -1 when the command did not end on its own
    QByteArray output;
    QByteArray errors; // empty with merged channels
};

// Runs a short command to its end, for at most 30 s unless told otherwise.
inline RunResult run(const QString& program, const QStringList& arguments,
                     QProcess::ProcessChannelMode channels = QProcess::SeparateChannels,
                     const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment(),
                     int timeoutMs = 30000)
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(channels);
    process.start(program, arguments);
    RunResult result;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(2000);
    } else if (process.exitStatus() == QProcess::NormalExit) {
        result.exitCode = process.exitCode();
    }
    result.output = process.readAllStandardOutput();
    result.errors = process.readAllStandardError();
    return result;
}

// Stops a long-running process: politely first, then for good.
inline void stop(QProcess& process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(3000)) {
        process.kill();
        process.waitForFinished(3000);
    }
}

inline QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The service and its launcher, copied from the build into a folder of their own.
inline bool installService(const QString& buildDir, const QString& serviceDir)
{
    return QFile::copy(buildDir + "/bin/varvexservice", serviceDir + "/varvexservice")
        && QFile::copy(buildDir + "/bin/bin/openvpn", serviceDir + "/bin/openvpn");
}

inline bool writeServiceSettings(const QString& path, const QByteArray& settings)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(settings) == settings.size();
}

// The service keeps its socket and temporary files in <folder>/tmp, its
// settings in <folder>/service.conf, its record of network changes in
// <folder>/run and its control socket in <folder>/control, out of reach of
// any other service on this machine.
inline QProcessEnvironment serviceEnvironment(const QString& folder, const QString& apiHost)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TMPDIR", folder + "/tmp");
    env.insert("VARVEX_SOCKET_DIR", folder + "/tmp");
    env.insert("VARVEX_RUN_DIR", folder + "/run");
    env.insert("VARVEX_SERVICE_CONFIG", folder + "/service.conf");
    env.insert("VARVEX_CONTROL_DIR", folder + "/control");
    env.insert("VARVEX_API_HOST", apiHost);
    return env;
}

inline QByteArray connectRequest(const QString& host, const QString& user, const QString& password)
{
    QByteArray payload;
    VarvexFrame::appendField(payload, host.toUtf8());
    VarvexFrame::appendField(payload, QVPNCredentialsCrypt::encodeUserPass(user, password));
    return VarvexFrame::build(VARVEX_CMD_CONNECT_REQUEST, payload);
}

inline QByteArray statusFrame(quint8 status)
{
    return VarvexFrame::build(VARVEX_CMD_STATUS_UPDATE, QByteArray(1, char(status)));
}

// A status update "connected", which carries the host and the connect time.
inline bool isConnectedStatus(const QByteArray& frame)
{
    return frame.size() >= 10 && VarvexFrame::code(frame) == VARVEX_CMD_STATUS_UPDATE
        && frame.at(3) == QVarvexCommandConnected;
}

// What follows the status byte of a status update: the host field, then the connect time.
inline QByteArray connectedDetails(const QByteArray& frame)
{
    return VarvexFrame::payload(frame).mid(1);
}

// Frames compared in this form print readably when they differ.
inline QByteArray hex(const QByteArray& frame)
{
    return frame.isEmpty() ? QByteArray("(nothing)") : frame.toHex(' ');
}

// The service's local socket, seen as a client sees it: frames are sent,
// and the ones that arrive are collected, notifications in their order and
// bandwidth samples apart.
class ServiceClient : public QObject
{
public:
    ServiceClient()
    {
        connect(&m_socket, &QLocalSocket::readyRead, this, [this] {
            m_reader.append(m_socket.readAll());
            QByteArray frame;
            VarvexFrameReader::Result result;
            while ((result = m_reader.next(&frame)) != VarvexFrameReader::NeedMore) {
                if (result != VarvexFrameReader::Frame)
                    m_malformed++;
                else if (VarvexFrame::code(frame) == VARVEX_CMD_BANDWIDTH_UPDATE)
                    m_bandwidth.append(frame);
                else
                    m_events.append(frame);
            }
        });
    }

    // Connects to the socket of a service just started; false when the
    // service ends first or nothing answers within 10 s.
    bool connectTo(const QProcess& service, const QString& socketPath)
    {
        return QTest::qWaitFor([&] {
            if (service.state() == QProcess::NotRunning)
                return true;
            if (!QFile::exists(socketPath))
                return false;
            m_socket.connectToServer(socketPath);
            return m_socket.waitForConnected(1000);
        }, 10000) && m_socket.state() == QLocalSocket::ConnectedState;
    }

    void send(const QByteArray& frame)
    {
        m_socket.write(frame);
        m_socket.flush();
    }

    // The next notification, or an empty array after the timeout.
    QByteArray nextEvent(int timeout)
    {
        if (!QTest::qWaitFor([this] { return !m_events.isEmpty(); }, timeout))
            return QByteArray();
        return m_events.takeFirst();
    }
    QList<QByteArray> takeEvents()
    {
        QList<QByteArray> events;
        events.swap(m_events);
        return events;
    }
    void clearEvents() { m_events.clear(); }
    int malformed() const { return m_malformed; }

    // The newest sample of the tunnel adapter's totals.
    bool latestTunnelSample(quint32* download, quint32* upload) const
    {
        for (int i = m_bandwidth.size() - 1; i >= 0; --i) {
            const QByteArray& frame = m_bandwidth.at(i);
            if (frame.size() == 13 && frame.at(3) == VarvexBandwidthTunnel) {
                *download = VarvexFrame::readUInt32(frame, 4);
                *upload = VarvexFrame::readUInt32(frame, 8);
                return true;
            }
        }
        return false;
    }
    void clearBandwidth() { m_bandwidth.clear(); }

    // Forgets the samples so far and waits up to 3 s for a fresh one.
    bool waitForTunnelSample(quint32* download, quint32* upload)
    {
        clearBandwidth();
        return QTest::qWaitFor([&] { return latestTunnelSample(download, upload); }, 3000);
    }

    // Waits up to 4 s for a new sample whose totals exceed the earlier ones
    // by at least the given bytes; the report gives the totals either way.
    bool waitForTunnelTraffic(quint32 download0, quint32 upload0, quint32 minimumDownload,
                              quint32 minimumUpload, QString* report)
    {
        clearBandwidth();
        quint32 download = 0, upload = 0;
        const bool grown = QTest::qWaitFor([&] {
            return latestTunnelSample(&download, &upload) && upload - upload0 >= minimumUpload
                && download - download0 >= minimumDownload;
        }, 4000);
        *report = QStringLiteral("before %1/%2 after %3/%4 (down/up)")
                      .arg(download0).arg(upload0).arg(download).arg(upload);
        return grown;
    }

private:
    QLocalSocket m_socket;
    VarvexFrameReader m_reader;
    QList<QByteArray> m_events;
    QList<QByteArray> m_bandwidth;
    int m_malformed = 0;
};

// The two namespaces with their veth pair and the server's files. Removing
// them also ends whatever still runs inside, so a failed run leaves nothing.
class TunnelNetwork
{
public:
    explicit TunnelNetwork(const QString& fixture)
        : m_fixture(fixture), m_tag(QStringLiteral("vvx%1").arg(getpid())) { }
    ~TunnelNetwork() { down(); }

    RunResult up(const QString& directory)
    {
        // Namespaces of earlier runs that were killed outright.
        run(m_fixture, { "sweep" });
        m_up = true;
        return run(m_fixture, { "up", m_tag, directory });
    }

    void down()
    {
        if (m_up)
            run(m_fixture, { "down", m_tag });
        m_up = false;
    }

    QString serverNamespace() const { return m_tag + "-srv"; }
    QString clientNamespace() const { return m_tag + "-cli"; }
    QString clientLink() const { return m_tag + "c"; }
    QString serverLink() const { return m_tag + "s"; }
    // The client's own /etc/resolv.conf, as `ip netns exec` mounts it.
    QString clientResolvConf() const { return "/etc/netns/" + clientNamespace() + "/resolv.conf"; }

private:
    QString m_fixture;
    QString m_tag;
    bool m_up = false;
};

} // namespace TunnelTestSupport

#endif // TUNNELTESTSUPPORT_H
