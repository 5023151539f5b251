#ifndef PROCESSES_H
#define PROCESSES_H

#include <QProcess>

// A process that is killed when the test leaves its scope, so that a failed
// check leaves nothing running.
struct RunningProcess
{
    QProcess process;
    ~RunningProcess();
};

// True when the process has ended. An orphan may stay a zombie when nothing
// reaps it; it has still ended.
bool processGone(qint64 pid);

#endif // PROCESSES_H
