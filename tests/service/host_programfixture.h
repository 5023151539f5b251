#ifndef HOST_PROGRAMFIXTURE_H
#define HOST_PROGRAMFIXTURE_H

// Runs a private copy of the built varvexservice: its own folder, settings
// file, unit folder, control folder, socket folder and TMPDIR, and a stand-in for systemctl
// that records its arguments.

#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>

class HostProgramFixture
{
public:
    struct Result
    {
        int exitCode = -100;
        QByteArray out;
        QByteArray err;
    };

    bool setUp()
    {
        if (!m_dir.isValid())
            return false;
        QDir root(m_dir.path());
        if (!root.mkpath(QStringLiteral("units")) || !root.mkpath(QStringLiteral("control"))
            || !root.mkpath(QStringLiteral("tmp")) || !root.mkpath(QStringLiteral("bin")))
            return false;
        const QString built = qEnvironmentVariable("VARVEX_BUILD_DIR") + QStringLiteral("/bin/varvexservice");
        if (!QFile::copy(built, program()))
            return false;

        QFile systemctl(path(QStringLiteral("systemctl")));
        if (!systemctl.open(QIODevice::WriteOnly))
            return false;
        systemctl.write("#!/bin/sh\necho \"$@\" >> \"$(dirname \"$0\")/systemctl.log\"\nexit ${FAKE_SYSTEMCTL_EXIT:-0}\n");
        systemctl.close();
        systemctl.setPermissions(systemctl.permissions() | QFileDevice::ExeOwner);
        // nft likewise: its calls and batches, never this machine's firewall.
        QFile nft(path(QStringLiteral("nft")));
        if (!nft.open(QIODevice::WriteOnly))
            return false;
        nft.write("#!/bin/sh\n{ echo \"$@\"; [ \"$1\" = -f ] && cat; } >> \"$(dirname \"$0\")/nft.log\"\nexit 0\n");
        nft.close();
        nft.setPermissions(nft.permissions() | QFileDevice::ExeOwner);

        // Nothing may leave this machine: the web API is a closed local port.
        QTcpServer closed;
        closed.listen(QHostAddress::LocalHost, 0);
        const quint16 closedPort = closed.serverPort();
        closed.close();

        m_env = QProcessEnvironment::systemEnvironment();
        m_env.remove(QStringLiteral("INVOCATION_ID"));
        m_env.remove(QStringLiteral("NOTIFY_SOCKET"));
        m_env.insert(QStringLiteral("TMPDIR"), path(QStringLiteral("tmp")));
        m_env.insert(QStringLiteral("VARVEX_SOCKET_DIR"), path(QStringLiteral("tmp")));
        m_env.insert(QStringLiteral("VARVEX_RUN_DIR"), path(QStringLiteral("run")));
        m_env.insert(QStringLiteral("VARVEX_SERVICE_CONFIG"), configPath());
        m_env.insert(QStringLiteral("VARVEX_UNIT_DIR"), path(QStringLiteral("units")));
        m_env.insert(QStringLiteral("VARVEX_CONTROL_DIR"), path(QStringLiteral("control")));
        m_env.insert(QStringLiteral("VARVEX_SYSTEMCTL"), path(QStringLiteral("systemctl")));
        m_env.insert(QStringLiteral("VARVEX_NFT"), path(QStringLiteral("nft")));
        m_env.insert(QStringLiteral("VARVEX_API_HOST"), QStringLiteral("127.0.0.1:%1").arg(closedPort));
        return true;
    }

    QString path(const QString& name) const { return m_dir.path() + QLatin1Char('/') + name; }
    QString program() const { return path(QStringLiteral("varvexservice")); }
    QString configPath() const { return path(QStringLiteral("service.conf")); }
    QString unitFile() const { return path(QStringLiteral("units/varvex.service")); }
    QString controlSocket() const { return path(QStringLiteral("control/varvex.control")); }
    QString logPath() const { return path(QStringLiteral("varvexservice.log")); }
    QProcessEnvironment& environment() { return m_env; }

    Result run(const QStringList& arguments, int timeoutMs = 10000)
    {
        QProcess process;
        process.setProcessEnvironment(m_env);
        process.setWorkingDirectory(m_dir.path());
        process.start(program(), arguments);
        Result result;
        if (!process.waitForFinished(timeoutMs)) {
            process.kill();
            process.waitForFinished();
            return result;
        }
        result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -101;
        result.out = process.readAllStandardOutput();
        result.err = process.readAllStandardError();
        return result;
    }

    // Starts the program and waits until it answers on its control socket.
    bool startService(QProcess& process, const QStringList& arguments)
    {
        process.setProcessEnvironment(m_env);
        process.setWorkingDirectory(m_dir.path());
        process.start(program(), arguments);
        if (!process.waitForStarted(5000))
            return false;
        for (int i = 0; i < 100; ++i) {
            QLocalSocket probe;
            probe.connectToServer(controlSocket());
            if (probe.waitForConnected(100))
                return true;
            if (process.state() == QProcess::NotRunning)
                return false;
            QThread::msleep(50);
        }
        return false;
    }

    QByteArray read(const QString& name) const
    {
        QFile file(path(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    QByteArray log() const { return read(QStringLiteral("varvexservice.log")); }

private:
    QTemporaryDir m_dir;
    QProcessEnvironment m_env;
};

#endif // HOST_PROGRAMFIXTURE_H
