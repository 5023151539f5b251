#include "ctlterminal.h"

#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace CtlTerminal {

void out(const QByteArray& text)
{
    std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
    std::fflush(stdout);
}

void out(const QString& text)
{
    out(text.toLocal8Bit());
}

void error(const QString& line)
{
    const QByteArray text = "varvexctl: " + line.toLocal8Bit() + '\n';
    std::fwrite(text.constData(), 1, size_t(text.size()), stderr);
    std::fflush(stderr);
}

bool outputIsTerminal()
{
    return ::isatty(STDOUT_FILENO) == 1;
}

// A password is short; more than this is not a password typed or piped in.
static const int MaxPasswordBytes = 1024;

static bool readLine(QByteArray* line)
{
    char c;
    while (::read(STDIN_FILENO, &c, 1) == 1) {
        if (c == '\n')
            return true;
        if (line->size() >= MaxPasswordBytes)
            return false;
        line->append(c);
    }
    return !line->isEmpty();
}

bool readPassword(const QString& prompt, QString* password)
{
    QByteArray line;
    bool ok;
    if (::isatty(STDIN_FILENO) == 1) {
        termios saved;
        if (::tcgetattr(STDIN_FILENO, &saved) != 0)
            return false;
        termios quiet = saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        std::fprintf(stderr, "%s", prompt.toLocal8Bit().constData());
        std::fflush(stderr);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
        ok = readLine(&line);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::fprintf(stderr, "\n");
    } else {
        ok = readLine(&line);
    }
    if (line.endsWith('\r'))
        line.chop(1);
    *password = QString::fromLocal8Bit(line);
    return ok;
}

} // namespace CtlTerminal

namespace {
int interruptPipe[2] = {-1, -1};

void onInterrupt(int)
{
    const char byte = 1;
    // Nothing to do when the pipe is full: one byte is enough.
    [[maybe_unused]] const ssize_t written = ::write(interruptPipe[1], &byte, 1);
}
} // namespace

InterruptWatcher::InterruptWatcher(QObject* parent)
    : QObject(parent)
{
    if (::pipe2(interruptPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    m_notifier = new QSocketNotifier(interruptPipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this]() {
        char byte;
        while (::read(interruptPipe[0], &byte, 1) == 1) {
        }
        emit interrupted();
    });
    struct sigaction action = {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

InterruptWatcher::~InterruptWatcher()
{
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
}
