// Stands in for OpenVPN's console on Linux: OpenVPN will not prompt for a
// user name and password on pipes, and it ends its lines with LF alone.
// The launcher asks for both on standard error, answers OpenVPN's bare
// --auth-user-pass with an in-memory file, and relays the output in CR LF
// lines. OpenVPN never outlives the launcher, nor the launcher its parent.

#include "authfile.h"
#include "childprocess.h"
#include "launcherexitstatus.h"
#include "linerelay.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const char DefaultOpenVPN[] = "/usr/sbin/openvpn";
const size_t MaxInputLine = 4096;

void report(const std::string& message)
{
    const std::string line = "openvpn launcher: " + message + "\r\n";
    ssize_t ignored = write(STDERR_FILENO, line.data(), line.size());
    (void)ignored;
}

// The prompt goes out in one write: the service matches whole reads.
void prompt(const char* text)
{
    ssize_t ignored = write(STDERR_FILENO, text, strlen(text));
    (void)ignored;
}

enum class ReadResult { Line, Closed, Interrupted, TooLong, ControlCharacter };

// OpenVPN's credentials file holds one line each: a line end inside either
// text would move the rest into the other field. Nothing but printable text
// is passed on: no C0 control, no DEL, and no C1 control in its UTF-8 form.
bool hasControlCharacter(const std::string& text)
{
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7f)
            return true;
        if (c == 0xc2 && i + 1 < text.size()) {
            const unsigned char next = static_cast<unsigned char>(text[i + 1]);
            if (next >= 0x80 && next <= 0x9f)
                return true;
        }
    }
    return false;
}

// Reads byte by byte so nothing past the line is taken from the caller.
ReadResult readLine(std::string* line)
{
    line->clear();
    for (;;) {
        char c;
        const ssize_t n = read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR) {
            if (ChildProcess::pendingSignal())
                return ReadResult::Interrupted;
            continue;
        }
        if (n <= 0) {
            if (line->empty())
                return ReadResult::Closed;
            break;
        }
        if (c == '\n')
            break;
        if (line->size() >= MaxInputLine)
            return ReadResult::TooLong;
        line->push_back(c);
    }
    if (!line->empty() && line->back() == '\r')
        line->pop_back();
    return hasControlCharacter(*line) ? ReadResult::ControlCharacter : ReadResult::Line;
}

void wipe(std::string& secret)
{
    if (!secret.empty())
        explicit_bzero(&secret[0], secret.size());
    secret.clear();
}

// Returns 0 when the answer arrived, otherwise the launcher's exit status.
int ask(const char* promptText, const char* what, std::string* answer)
{
    prompt(promptText);
    switch (readLine(answer)) {
    case ReadResult::Line:
        return 0;
    case ReadResult::Interrupted:
        return 128 + ChildProcess::pendingSignal();
    case ReadResult::TooLong:
        wipe(*answer);
        report(std::string("the ") + what + " is too long");
        return 1;
    case ReadResult::ControlCharacter:
        wipe(*answer);
        report(std::string("the ") + what + " contains a control character; OpenVPN is not started");
        return 1;
    case ReadResult::Closed:
        break;
    }
    report(std::string("standard input closed before the ") + what + " was read");
    return 1;
}

// A bare --auth-user-pass is one with no file name after it.
int bareAuthUserPassIndex(const std::vector<std::string>& arguments)
{
    for (size_t i = 0; i < arguments.size(); ++i) {
        if (arguments[i] != "--auth-user-pass")
            continue;
        if (i + 1 == arguments.size() || arguments[i + 1].rfind("--", 0) == 0)
            return int(i);
    }
    return -1;
}

} // namespace

int main(int argc, char* argv[])
{
    if (!ChildProcess::installSignalHandling()) {
        report("the program that started the launcher has already ended");
        return 1;
    }

    const char* configured = getenv("VARVEX_OPENVPN");
    const std::string openvpn = configured && *configured ? configured : DefaultOpenVPN;
    if (access(openvpn.c_str(), X_OK) != 0) {
        report("cannot run " + openvpn + ": " + strerror(errno));
        return LauncherCannotRunOpenVpn;
    }

    std::string username, password;
    if (int status = ask("Enter Auth Username:", "user name", &username))
        return status;
    if (int status = ask("Enter Auth Password:", "password", &password)) {
        wipe(username);
        return status;
    }
    if (int signal = ChildProcess::pendingSignal()) {
        wipe(username);
        wipe(password);
        return 128 + signal;
    }

    std::vector<std::string> arguments(argv + 1, argv + argc);
    AuthFile authFile;
    const int authIndex = bareAuthUserPassIndex(arguments);
    if (authIndex >= 0) {
        if (!authFile.create(username, password)) {
            report(std::string("cannot hold the credentials in memory: ") + strerror(errno));
            wipe(username);
            wipe(password);
            return 1;
        }
        arguments.insert(arguments.begin() + authIndex + 1, authFile.path());
    }
    wipe(username);
    wipe(password);

    ChildProcess openvpnProcess;
    std::string error;
    const bool started = openvpnProcess.start(openvpn, arguments, &error);
    authFile.close(); // the child has its own copy of the descriptor
    if (!started) {
        report(error);
        return LauncherCannotRunOpenVpn;
    }

    LineRelay output(STDOUT_FILENO);
    LineRelay errorOutput(STDERR_FILENO);
    return openvpnProcess.relayUntilExit(output, errorOutput);
}
