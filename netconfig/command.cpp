#include "command.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const auto CommandTimeout = std::chrono::seconds(10);
const size_t MaxKeptOutput = 16 * 1024;

bool waitFor(pid_t pid, int* status, bool block)
{
    for (;;) {
        const pid_t done = waitpid(pid, status, block ? 0 : WNOHANG);
        if (done == pid)
            return true;
        if (done < 0 && errno == EINTR)
            continue;
        return false;
    }
}

} // namespace

std::string CommandResult::failure() const
{
    std::string line = output.substr(0, output.find('\n'));
    if (!line.empty())
        return line;
    if (!ran)
        return "did not run to its end";
    return "exit status " + std::to_string(exitStatus);
}

std::string findExecutable(const std::vector<std::string>& candidates)
{
    for (const std::string& candidate : candidates) {
        if (!candidate.empty() && access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return std::string();
}

CommandResult runCommand(const std::string& program, const std::vector<std::string>& arguments,
                         const std::string& input)
{
    CommandResult result;
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    char path[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
    char locale[] = "LC_ALL=C";
    char* envp[] = { path, locale, nullptr };

    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) {
        result.output = std::string("cannot create a pipe: ") + strerror(errno);
        return result;
    }
    if (pipe2(out, O_CLOEXEC) != 0) {
        result.output = std::string("cannot create a pipe: ") + strerror(errno);
        close(in[0]);
        close(in[1]);
        return result;
    }

    const pid_t pid = fork();
    if (pid == 0) {
        // Only async-signal-safe calls until exec.
        struct sigaction dfl;
        memset(&dfl, 0, sizeof dfl);
        dfl.sa_handler = SIG_DFL;
        for (int signal : { SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2, SIGPIPE })
            sigaction(signal, &dfl, nullptr);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        // The service's own mask keeps its files private; what these
        // programs write (resolvconf's resolver file) is for every user.
        umask(022);
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(out[1], STDERR_FILENO);
        execve(program.c_str(), argv.data(), envp);
        const char message[] = "cannot run the program\n";
        ssize_t ignored = write(STDERR_FILENO, message, sizeof message - 1);
        (void)ignored;
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    if (pid < 0) {
        result.output = std::string("cannot start a process: ") + strerror(errno);
        close(in[1]);
        close(out[0]);
        return result;
    }

    // The inputs are a few lines: far below what a pipe holds.
    size_t written = 0;
    while (written < input.size()) {
        const ssize_t n = write(in[1], input.data() + written, input.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        written += size_t(n);
    }
    close(in[1]);

    const auto deadline = std::chrono::steady_clock::now() + CommandTimeout;
    int status = 0;
    bool exited = false;
    bool open = true;
    char buffer[4096];
    while (!exited) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) {
            kill(pid, SIGKILL);
            waitFor(pid, &status, true);
            close(out[0]);
            if (result.output.empty())
                result.output = program + " took too long and was stopped";
            return result;
        }
        if (open) {
            pollfd fd = { out[0], POLLIN, 0 };
            if (poll(&fd, 1, int(left < 100 ? left : 100)) > 0) {
                const ssize_t n = read(out[0], buffer, sizeof buffer);
                if (n > 0 && result.output.size() < MaxKeptOutput)
                    result.output.append(buffer, size_t(n));
                else if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN))
                    open = false;
            }
        } else {
            usleep(10000);
        }
        exited = waitFor(pid, &status, false);
    }
    // What it wrote just before it ended.
    fcntl(out[0], F_SETFL, O_NONBLOCK);
    ssize_t n;
    while ((n = read(out[0], buffer, sizeof buffer)) > 0 && result.output.size() < MaxKeptOutput)
        result.output.append(buffer, size_t(n));
    close(out[0]);

    result.ran = WIFEXITED(status);
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (result.ran && result.exitStatus == 127 && result.output == "cannot run the program\n")
        result.output = "cannot run " + program;
    return result;
}
