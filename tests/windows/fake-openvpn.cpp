// Scripted stand-in for openvpn.exe in the Windows tests, with the steps of
// the Linux stand-in (tests/service/fake-openvpn/openvpn). FAKE_OPENVPN_SCENARIO
// names a file of steps, one per line:
//   prompt        ask for user name and password on stderr, one write each
//   out TEXT      write TEXT to stdout (escapes \r \n \\)
//   err TEXT      write TEXT to stderr
//   sleep SECS    pause
//   exit CODE     end with CODE
//   hang          wait until killed (bounded, so nothing outlives a test)
// FAKE_OPENVPN_RECORD, when set, receives the arguments, the working folder
// and the answers to the prompts.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>

namespace {

const DWORD kHangMs = 30000;

std::string environment(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

void record(const std::string& line)
{
    const std::string path = environment("FAKE_OPENVPN_RECORD");
    if (path.empty())
        return;
    std::ofstream file(path, std::ios::app | std::ios::binary);
    file << line << '\n';
}

std::string unescaped(const std::string& text)
{
    std::string result;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            const char next = text[++i];
            result += next == 'r' ? '\r' : next == 'n' ? '\n' : next;
        } else {
            result += text[i];
        }
    }
    return result;
}

void write(FILE* stream, const std::string& text)
{
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

std::string answer()
{
    std::string line;
    std::getline(std::cin, line);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

} // namespace

int main(int argc, char** argv)
{
    // The lines end in CR LF as written, with no translation on the way.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    _setmode(_fileno(stdin), _O_BINARY);
    record("start");
    record("pid=" + std::to_string(GetCurrentProcessId()));
    char folder[MAX_PATH] = {};
    GetCurrentDirectoryA(MAX_PATH, folder);
    record(std::string("cwd=") + folder);
    for (int i = 1; i < argc; ++i)
        record(std::string("arg=") + argv[i]);

    std::ifstream scenario(environment("FAKE_OPENVPN_SCENARIO"), std::ios::binary);
    if (!scenario) {
        Sleep(kHangMs);
        return 0;
    }
    std::string step;
    while (std::getline(scenario, step)) {
        const size_t space = step.find(' ');
        const std::string command = step.substr(0, space);
        const std::string text = space == std::string::npos ? "" : step.substr(space + 1);
        if (command == "prompt") {
            write(stderr, "Enter Auth Username:");
            const std::string user = answer();
            write(stderr, "Enter Auth Password:");
            const std::string pass = answer();
            record("user=" + user);
            record("pass=" + pass);
        } else if (command == "out") {
            write(stdout, unescaped(text));
        } else if (command == "err") {
            write(stderr, unescaped(text));
        } else if (command == "sleep") {
            Sleep(DWORD(std::atoi(text.c_str()) * 1000));
        } else if (command == "exit") {
            return std::atoi(text.c_str());
        } else if (command == "hang") {
            Sleep(kHangMs);
            return 0;
        }
    }
    return 0;
}
