#include "childprocess.h"
#include "launcherexitstatus.h"
#include "linerelay.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const int ForwardedSignals[] = { SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2 };
// How long OpenVPN may take to shut down (and take its routes down) after a
// termination request, or after the launcher's parent has gone, before it is
// killed. The service waits longer than this before it forces the launcher.
const auto TerminationGracePeriod = std::chrono::seconds(3);

volatile sig_atomic_t g_childPid = 0;
volatile sig_atomic_t g_pendingSignal = 0;
pid_t g_originalParent = 0;

void forwardSignal(int signal)
{
    const int saved = errno;
    const pid_t child = pid_t(g_childPid);
    if (child > 0)
        kill(child, signal);
    // Before OpenVPN runs, any of these ends the launcher; afterwards
    // OpenVPN decides, and only termination requests are remembered.
    if (child == 0 || signal == SIGTERM || signal == SIGINT)
        g_pendingSignal = signal;
    errno = saved;
}

sigset_t forwardedSet()
{
    sigset_t set;
    sigemptyset(&set);
    for (int signal : ForwardedSignals)
        sigaddset(&set, signal);
    return set;
}

int exitStatusOf(int waitStatus)
{
    if (WIFEXITED(waitStatus)) {
        // Reserved for "nothing was started".
        const int status = WEXITSTATUS(waitStatus);
        return status == LauncherCannotRunOpenVpn ? LauncherOpenVpnFailed : status;
    }
    if (WIFSIGNALED(waitStatus))
        return 128 + WTERMSIG(waitStatus);
    return 1;
}

bool parentIsGone()
{
    return getppid() != g_originalParent;
}

// Runs in the forked child: only async-signal-safe calls until exec.
[[noreturn]] void execChild(const char* program, char* const argv[], int outFd, int errFd,
                            int reportFd, pid_t launcher)
{
    struct sigaction dfl;
    memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    for (int signal : ForwardedSignals)
        sigaction(signal, &dfl, nullptr);
    sigaction(SIGPIPE, &dfl, nullptr);

    // SIGTERM lets OpenVPN take its routes and device down on its way out.
    // The launcher may have died between fork and prctl: check afterwards.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != launcher)
        _exit(128 + SIGTERM);

    const sigset_t set = forwardedSet();
    sigprocmask(SIG_UNBLOCK, &set, nullptr);

    const int nullFd = open("/dev/null", O_RDONLY);
    if (nullFd >= 0 && nullFd != STDIN_FILENO) {
        dup2(nullFd, STDIN_FILENO);
        close(nullFd);
    }
    dup2(outFd, STDOUT_FILENO);
    dup2(errFd, STDERR_FILENO);

    execv(program, argv);
    const int error = errno;
    ssize_t ignored = write(reportFd, &error, sizeof error);
    (void)ignored;
    _exit(127);
}

} // namespace

bool ChildProcess::installSignalHandling()
{
    g_originalParent = getppid();

    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = forwardSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: a blocking read must notice the signal
    for (int signal : ForwardedSignals)
        sigaction(signal, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    prctl(PR_SET_PDEATHSIG, SIGTERM);
    return !parentIsGone();
}

int ChildProcess::pendingSignal()
{
    return g_pendingSignal;
}

bool ChildProcess::start(const std::string& program, const std::vector<std::string>& arguments,
                         std::string* error)
{
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    enum { Out, Err, Report };
    int pipes[3][2] = { { -1, -1 }, { -1, -1 }, { -1, -1 } };
    auto closePipes = [&pipes](int end) {
        for (auto& pipe : pipes) {
            if (pipe[end] >= 0)
                close(pipe[end]);
            pipe[end] = -1;
        }
    };
    for (auto& pipe : pipes) {
        if (pipe2(pipe, O_CLOEXEC) != 0) {
            *error = std::string("cannot create a pipe: ") + strerror(errno);
            closePipes(0);
            closePipes(1);
            return false;
        }
    }

    // Held back until the child's pid is known, so none is lost or misdirected.
    const sigset_t set = forwardedSet();
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &set, &previous);

    const pid_t launcher = getpid();
    const pid_t pid = fork();
    if (pid == 0)
        execChild(program.c_str(), argv.data(), pipes[Out][1], pipes[Err][1], pipes[Report][1], launcher);

    const int forkError = errno;
    closePipes(1);
    if (pid < 0) {
        sigprocmask(SIG_SETMASK, &previous, nullptr);
        closePipes(0);
        *error = std::string("cannot start a process: ") + strerror(forkError);
        return false;
    }

    // The report pipe closes unread on a successful exec.
    int execError = 0;
    ssize_t n;
    do {
        n = read(pipes[Report][0], &execError, sizeof execError);
    } while (n < 0 && errno == EINTR);
    if (n == ssize_t(sizeof execError)) {
        int status;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) { }
        sigprocmask(SIG_SETMASK, &previous, nullptr);
        closePipes(0);
        *error = "cannot run " + program + ": " + strerror(execError);
        return false;
    }
    close(pipes[Report][0]);

    m_pid = pid;
    m_stdout = pipes[Out][0];
    m_stderr = pipes[Err][0];
    g_childPid = pid;
    // A termination request that came while the child was being set up.
    if (g_pendingSignal)
        kill(pid, g_pendingSignal);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    return true;
}

int ChildProcess::relayUntilExit(LineRelay& output, LineRelay& errorOutput)
{
    struct Stream { int fd; LineRelay* relay; };
    Stream streams[2] = { { m_stdout, &output }, { m_stderr, &errorOutput } };
    char buffer[8192];

    // Returns true when bytes were read; closes the stream at its end.
    auto readFrom = [&](Stream& stream) {
        ssize_t n;
        do {
            n = read(stream.fd, buffer, sizeof buffer);
        } while (n < 0 && errno == EINTR);
        if (n > 0) {
            stream.relay->feed(buffer, size_t(n));
        } else if (n == 0 || errno != EAGAIN) {
            stream.relay->finish();
            close(stream.fd);
            stream.fd = -1;
        }
        return n > 0;
    };

    // Set once the launcher has been asked to end (or its parent has gone):
    // OpenVPN then gets the grace period to end by itself, and is killed
    // after it, so the launcher never ends while OpenVPN still runs.
    bool stopping = false;
    bool killed = false;
    std::chrono::steady_clock::time_point stopRequestedAt;
    int waitStatus = 0;
    bool exited = false;
    bool statusLost = false;

    while (!exited) {
        pollfd fds[2];
        nfds_t count = 0;
        for (Stream& stream : streams) {
            if (stream.fd >= 0)
                fds[count++] = { stream.fd, POLLIN, 0 };
        }
        // With the pipes open the timeout only matters when a grandchild
        // keeps them open after OpenVPN has gone, or while a stop runs;
        // once they are closed the end of OpenVPN is only moments away.
        if (poll(fds, count, count > 0 ? 200 : 20) > 0) {
            for (Stream& stream : streams) {
                for (nfds_t i = 0; i < count; ++i) {
                    if (stream.fd >= 0 && fds[i].fd == stream.fd && fds[i].revents)
                        readFrom(stream);
                }
            }
        }

        const pid_t done = waitpid(m_pid, &waitStatus, WNOHANG);
        if (done == m_pid) {
            exited = true;
            continue;
        }
        if (done < 0 && errno == ECHILD) {
            exited = true;
            statusLost = true;
            continue;
        }
        if (!stopping && (g_pendingSignal == SIGTERM || g_pendingSignal == SIGINT)) {
            // The signal handler has already passed the request on.
            stopping = true;
            stopRequestedAt = std::chrono::steady_clock::now();
        } else if (!stopping && parentIsGone()) {
            // Normally the parent-death signal has already been passed on;
            // this covers a parent that died before the signal was armed.
            stopping = true;
            stopRequestedAt = std::chrono::steady_clock::now();
            kill(m_pid, SIGTERM);
        } else if (stopping && !killed
                   && std::chrono::steady_clock::now() - stopRequestedAt > TerminationGracePeriod) {
            killed = true;
            kill(m_pid, SIGKILL);
        }
    }
    g_childPid = 0;

    // Whatever the child wrote before it ended is still in the pipes.
    for (Stream& stream : streams) {
        if (stream.fd < 0)
            continue;
        fcntl(stream.fd, F_SETFL, fcntl(stream.fd, F_GETFL) | O_NONBLOCK);
        while (stream.fd >= 0 && readFrom(stream)) { }
        if (stream.fd >= 0) {
            stream.relay->finish();
            close(stream.fd);
            stream.fd = -1;
        }
    }
    return statusLost ? 1 : exitStatusOf(waitStatus);
}
