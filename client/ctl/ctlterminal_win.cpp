#include "ctlterminal.h"

#include <QMetaObject>

#include <cstdio>
#include <io.h>
#include <mutex>

#include <windows.h>

// Windows: the console instead of a terminal, and console control events
// (Ctrl+C, Ctrl+Break) instead of signals.
namespace CtlTerminal {

bool outputIsTerminal()
{
    return _isatty(_fileno(stdout)) != 0;
}

// A password is short; more than this is not a password typed or piped in.
static const int MaxPasswordChars = 1024;

// One line typed at the console, read as UTF-16 so that any character the
// console takes arrives unchanged.
static bool readConsoleLine(HANDLE console, QString* line)
{
    wchar_t buffer[MaxPasswordChars + 2];
    DWORD read = 0;
    if (!ReadConsoleW(console, buffer, DWORD(MaxPasswordChars + 2), &read, nullptr))
        return false;
    *line = QString::fromWCharArray(buffer, int(read));
    const int end = line->indexOf(QLatin1Char('\n'));
    if (end < 0)
        return false; // longer than a password, or the console closed
    line->truncate(end);
    if (line->endsWith(QLatin1Char('\r')))
        line->chop(1);
    return true;
}

static bool readPipedLine(QByteArray* line)
{
    char c;
    while (_read(_fileno(stdin), &c, 1) == 1) {
        if (c == '\n')
            return true;
        if (line->size() >= MaxPasswordChars)
            return false;
        line->append(c);
    }
    return !line->isEmpty();
}

bool readPassword(const QString& prompt, QString* password)
{
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD saved = 0;
    if (input != INVALID_HANDLE_VALUE && GetConsoleMode(input, &saved)) {
        std::fprintf(stderr, "%s", prompt.toLocal8Bit().constData());
        std::fflush(stderr);
        SetConsoleMode(input, (saved & ~DWORD(ENABLE_ECHO_INPUT)) | ENABLE_LINE_INPUT);
        const bool ok = readConsoleLine(input, password);
        SetConsoleMode(input, saved);
        std::fprintf(stderr, "\n");
        return ok;
    }
    QByteArray line;
    const bool ok = readPipedLine(&line);
    if (line.endsWith('\r'))
        line.chop(1);
    *password = QString::fromLocal8Bit(line);
    return ok;
}

} // namespace CtlTerminal

namespace {
// The watcher that console events go to. The handler runs on a thread of
// the system's own: it only posts, under the lock, to a watcher still there.
std::mutex watcherLock;
InterruptWatcher* currentWatcher = nullptr;

BOOL WINAPI onConsoleEvent(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    std::lock_guard<std::mutex> lock(watcherLock);
    if (!currentWatcher)
        return FALSE;
    InterruptWatcher* watcher = currentWatcher;
    QMetaObject::invokeMethod(watcher, [watcher] { emit watcher->interrupted(); }, Qt::QueuedConnection);
    return TRUE;
}
} // namespace

InterruptWatcher::InterruptWatcher(QObject* parent)
    : QObject(parent)
{
    std::lock_guard<std::mutex> lock(watcherLock);
    currentWatcher = this;
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

InterruptWatcher::~InterruptWatcher()
{
    SetConsoleCtrlHandler(onConsoleEvent, FALSE);
    std::lock_guard<std::mutex> lock(watcherLock);
    currentWatcher = nullptr;
}
