#ifndef OPENVPNPROCESS_H
#define OPENVPNPROCESS_H

#include <QProcess>

class QTimer;

// The process the controller runs as OpenVPN, with the platform's way of
// ending it and of telling that OpenVPN could not be started. On Linux it is
// the launcher, which runs the system's OpenVPN as its own child.
class OpenVpnProcess : public QProcess
{
public:
    explicit OpenVpnProcess(QObject* parent = nullptr);

    // How long a stop may take before it is forced. Longer than the
    // launcher's own grace period for OpenVPN, so that normally the launcher
    // decides and OpenVPN can take its routes down.
    static const int StopGracePeriod = 5000;

    // Ends the running process: it ends only once OpenVPN has ended, which
    // is reported through finished() (and errorOccurred() when forced).
    void stop();
    // The same, waiting until the process has ended.
    void stopAndWait();

    // The program's file name in the service's "bin" folder.
    static QString programFileName();

    // True when the process ran but OpenVPN itself could not be started:
    // the same failure as the program being missing.
    static bool reportsFailedStart(int exitCode, QProcess::ExitStatus exitStatus);

protected:
    void setupChildProcess() override;

private:
    void forceStop();

    QTimer* m_forceStopTimer;
};

#endif // OPENVPNPROCESS_H
