// Stands in for OpenVPN's console on Linux: OpenVPN will not prompt for a
// user name and password on pipes, and it ends its lines with LF alone.
// The launcher asks for both on standard error, answers OpenVPN's bare
// --auth-user-pass with an in-memory file, and relays the output in CR LF
// lines. OpenVPN never outlives the launcher, nor the launcher its parent.

#include "authfile.h"
#include "childprocess.h"
#include "launcherexitstatus.h"
#include "linerelay.h"
#include "lockdown.h"
#include "networkhook.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const char DefaultOpenVPN[] = "/usr/sbin/openvpn";
const size_t MaxInputLine = 4096;
// The first argument that makes the launcher one of OpenVPN's scripts.
const char NetworkHookArgument[] = "--network-hook";

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

void writeLine(int fd, const std::string& text, const char* end)
{
    const std::string line = text + end;
    ssize_t ignored = write(fd, line.data(), line.size());
    (void)ignored;
}

// Run by OpenVPN as its --up, --route-up and --down script. Its output goes
// to OpenVPN's, which the launcher relays. It always succeeds: OpenVPN ends
// the tunnel when an --up script fails, and no DNS failure may do that.
int runNetworkHook()
{
    signal(SIGPIPE, SIG_IGN); // the launcher may already be gone
    const NetworkConfig config = NetworkConfig::fromEnvironment();
    const NetworkReport report = [](bool error, const std::string& line) {
        writeLine(error ? STDERR_FILENO : STDOUT_FILENO, line, "\n");
    };
    const NetworkHook::Lookup environment = [](const std::string& name) -> const char* {
        return getenv(name.c_str());
    };
    const char* type = getenv("script_type");
    const std::string scriptType = type ? type : "";
    if (scriptType == "up")
        NetworkHook::tunnelUp(config, environment, report);
    else if (scriptType == "route-up")
        NetworkHook::routesUp(config, environment, report);
    else if (scriptType == "down")
        NetworkHook::undoLeftovers(config, report);
    return 0;
}

// OpenVPN applies no DNS on Linux and gives its scripts none of its own
// environment: the launcher names itself as the scripts and passes on
// where the changes are recorded. OpenVPN splits the command at spaces
// unless quoted, so the path is quoted; one that cannot be quoted is left
// out, and the tunnel works without DNS changes.
std::vector<std::string> networkHookArguments()
{
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) {
        report(std::string("DNS: cannot find the launcher itself: ") + strerror(errno));
        return {};
    }
    const std::string path(self, size_t(n));
    if (path.find_first_of("\"\\") != std::string::npos) {
        report("DNS: the launcher's path cannot be given to OpenVPN: " + path);
        return {};
    }
    const std::string hook = "\"" + path + "\" " + NetworkHookArgument;
    std::vector<std::string> arguments = { "--script-security", "2", "--up", hook,
                                           "--route-up", hook, "--down", hook };
    for (int i = 0; i < NetworkConfig::VariableCount; ++i) {
        const char* value = getenv(NetworkConfig::Variables[i]);
        if (value && *value)
            arguments.insert(arguments.end(), { "--setenv", NetworkConfig::Variables[i], value });
    }
    return arguments;
}

// Under the kill switch the service has resolved the server's name before
// the block went up, and names the addresses in VARVEX_REMOTE_ADDRESSES
// (separated by spaces): OpenVPN gets one --remote each, on the same port,
// instead of the name, and so never needs DNS while blocked. False, with
// the reason, for a list that is not all addresses.
bool useResolvedRemotes(std::vector<std::string>& arguments, std::string* error)
{
    const char* listed = getenv("VARVEX_REMOTE_ADDRESSES");
    if (!listed || !*listed)
        return true;
    std::vector<std::string> addresses;
    std::istringstream words(listed);
    std::string word;
    while (words >> word) {
        if (!Lockdown::isAddress(word)) {
            *error = "VARVEX_REMOTE_ADDRESSES holds something that is not an address: " + word;
            return false;
        }
        addresses.push_back(word);
    }
    for (size_t i = 0; i + 2 < arguments.size(); ++i) {
        if (arguments[i] != "--remote")
            continue;
        const std::string port = arguments[i + 2];
        std::vector<std::string> remotes;
        for (const std::string& address : addresses)
            remotes.insert(remotes.end(), { "--remote", address, port });
        arguments.erase(arguments.begin() + long(i), arguments.begin() + long(i) + 3);
        arguments.insert(arguments.begin() + long(i), remotes.begin(), remotes.end());
        return true;
    }
    *error = "VARVEX_REMOTE_ADDRESSES is set but no --remote HOST PORT is given";
    return false;
}

// After OpenVPN has gone, however it went: what its --down did not undo.
void undoNetworkLeftovers()
{
    NetworkHook::undoLeftovers(NetworkConfig::fromEnvironment(), [](bool error, const std::string& line) {
        writeLine(error ? STDERR_FILENO : STDOUT_FILENO, line, "\r\n");
    });
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc >= 2 && strcmp(argv[1], NetworkHookArgument) == 0)
        return runNetworkHook();

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
    std::string remoteError;
    if (!useResolvedRemotes(arguments, &remoteError)) {
        wipe(username);
        wipe(password);
        report(remoteError);
        return LauncherCannotRunOpenVpn;
    }
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
    const std::vector<std::string> hooks = networkHookArguments();
    arguments.insert(arguments.end(), hooks.begin(), hooks.end());

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
    const int status = openvpnProcess.relayUntilExit(output, errorOutput);
    undoNetworkLeftovers();
    return status;
}
