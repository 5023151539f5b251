#include "openvpnprocess.h"

#include "launcherexitstatus.h"

#include <QTimer>

#include <csignal>
#include <sys/types.h>
#include <unistd.h>

namespace {
// How long the end of a forced process may take to be reported.
const int ForcedStopWait = 1000;
}

OpenVpnProcess::OpenVpnProcess(QObject* parent)
    : QProcess(parent)
    , m_forceStopTimer(new QTimer(this))
{
    m_forceStopTimer->setSingleShot(true);
    m_forceStopTimer->setTimerType(Qt::PreciseTimer);
    m_forceStopTimer->setInterval(StopGracePeriod);
    connect(m_forceStopTimer, &QTimer::timeout, this, [this]() {
        if (state() != QProcess::NotRunning)
            forceStop();
    });
    connect(this, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished),
            m_forceStopTimer, &QTimer::stop);
}

void OpenVpnProcess::setupChildProcess()
{
    // A process group of its own, which OpenVPN inherits: a forced stop
    // reaches OpenVPN too, and a terminal's Ctrl+C meant for the service
    // does not reach the tunnel behind the service's back.
    ::setpgid(0, 0);
}

void OpenVpnProcess::stop()
{
    if (state() == QProcess::NotRunning)
        return;
    // SIGTERM: the launcher passes it on and ends once OpenVPN has gone.
    terminate();
    m_forceStopTimer->start();
}

void OpenVpnProcess::stopAndWait()
{
    if (state() == QProcess::NotRunning)
        return;
    terminate();
    if (!waitForFinished(StopGracePeriod)) {
        forceStop();
        waitForFinished(ForcedStopWait);
    }
    m_forceStopTimer->stop();
}

void OpenVpnProcess::forceStop()
{
    const qint64 pid = processId();
    // While the process lives, a group with its id can only be its own.
    if (pid > 0)
        ::kill(-pid_t(pid), SIGKILL);
    kill();
}

QString OpenVpnProcess::programFileName()
{
    return QStringLiteral("openvpn");
}

bool OpenVpnProcess::reportsFailedStart(int exitCode, QProcess::ExitStatus exitStatus)
{
    return exitStatus == QProcess::NormalExit && exitCode == LauncherCannotRunOpenVpn;
}
