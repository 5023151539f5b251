#include "openvpnprocess.h"

#include <QTimer>

#include <windows.h>

// Windows: openvpn.exe is started directly, with no launcher between. A
// console program takes no close message, so a stop ends it at once, as
// the controller's kill does; the TAP adapter takes its routes down with it.
OpenVpnProcess::OpenVpnProcess(QObject* parent)
    : QProcess(parent)
    , m_forceStopTimer(new QTimer(this))
{
    m_forceStopTimer->setSingleShot(true);
    // No console window comes up for OpenVPN, and a Ctrl+C meant for the
    // service's console does not reach the tunnel behind its back.
    setCreateProcessArgumentsModifier([](QProcess::CreateProcessArguments* arguments) {
        arguments->flags |= CREATE_NO_WINDOW | CREATE_NEW_PROCESS_GROUP;
    });
}

void OpenVpnProcess::setupChildProcess()
{
}

void OpenVpnProcess::stop()
{
    if (state() != QProcess::NotRunning)
        forceStop();
}

void OpenVpnProcess::stopAndWait()
{
    if (state() == QProcess::NotRunning)
        return;
    forceStop();
    waitForFinished(StopGracePeriod);
}

void OpenVpnProcess::forceStop()
{
    kill();
}

QString OpenVpnProcess::programFileName()
{
    return QStringLiteral("openvpn.exe");
}

bool OpenVpnProcess::reportsFailedStart(int exitCode, QProcess::ExitStatus exitStatus)
{
    // Without a launcher, a failed start is the toolkit's FailedToStart.
    Q_UNUSED(exitCode);
    Q_UNUSED(exitStatus);
    return false;
}
