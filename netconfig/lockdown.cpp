#include "lockdown.h"

#include "command.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace Lockdown {

const char TableName[] = "varvex_lockdown";
const char TunnelInterfaces[] = "tun*";

namespace {

const size_t MaxRecordSize = 16 * 1024;
const size_t MaxServerAddresses = 16;

const char PrivateIpv4[] = "10.0.0.0/8, 172.16.0.0/12, 192.168.0.0/16, 169.254.0.0/16";
const char PrivateIpv6[] = "fc00::/7";
const char LinkLocalIpv6[] = "fe80::/10, ff02::/16";

std::string join(const std::vector<std::string>& items)
{
    std::string text;
    for (const std::string& item : items)
        text += (text.empty() ? "" : ", ") + item;
    return text;
}

bool runNft(const std::string& nft, const std::vector<std::string>& arguments, const std::string& input,
            CommandResult* result, std::string* error)
{
    if (nft.empty()) {
        *error = "nft is not installed";
        return false;
    }
    *result = runCommand(nft, arguments, input);
    if (!result->succeeded())
        *error = nft + ": " + result->failure();
    return result->succeeded();
}

// The lines that let the server's own packets through, one per family.
void serverLines(std::ostringstream& out, const Rules& rules, const char* direction, const char* port)
{
    std::vector<std::string> v4, v6;
    for (const std::string& address : rules.serverAddresses) {
        if (!isAddress(address))
            continue;
        (address.find(':') == std::string::npos ? v4 : v6).push_back(address);
    }
    const std::string protocol = rules.protocol == "tcp" ? "tcp" : "udp";
    if (!v4.empty())
        out << "    ip " << direction << " { " << join(v4) << " } " << protocol << " " << port << " "
            << rules.serverPort << " accept\n";
    if (!v6.empty())
        out << "    ip6 " << direction << " { " << join(v6) << " } " << protocol << " " << port << " "
            << rules.serverPort << " accept\n";
}

} // namespace

bool isAddress(const std::string& text)
{
    unsigned char buffer[sizeof(struct in6_addr)];
    return inet_pton(AF_INET, text.c_str(), buffer) == 1 || inet_pton(AF_INET6, text.c_str(), buffer) == 1;
}

std::string removal()
{
    // Declaring the table first makes the delete safe when it is absent.
    return std::string("table inet ") + TableName + "\ndelete table inet " + TableName + "\n";
}

std::string batch(const Rules& rules)
{
    std::ostringstream out;
    out << removal();
    out << "table inet " << TableName << " {\n";

    out << "  chain output {\n"
           "    type filter hook output priority 0; policy drop;\n"
           "    oifname \"lo\" accept\n"
           "    oifname \"" << TunnelInterfaces << "\" accept\n";
    serverLines(out, rules, "daddr", "dport");
    out << "    udp sport 68 udp dport 67 accept\n"
           "    udp sport 546 udp dport 547 accept\n"
           "    icmpv6 type { nd-router-solicit, nd-neighbor-solicit, nd-neighbor-advert } accept\n"
           // Name look-ups go through the tunnel only, whatever the server.
           "    meta l4proto { tcp, udp } th dport { 53, 853 } drop\n"
           "    ip6 daddr { " << LinkLocalIpv6 << " } accept\n";
    if (rules.allowLocalNetwork)
        out << "    ip daddr { " << PrivateIpv4 << " } accept\n"
               "    ip6 daddr " << PrivateIpv6 << " accept\n";
    out << "  }\n";

    out << "  chain input {\n"
           "    type filter hook input priority 0; policy drop;\n"
           "    iifname \"lo\" accept\n"
           "    iifname \"" << TunnelInterfaces << "\" accept\n";
    serverLines(out, rules, "saddr", "sport");
    out << "    udp sport 67 udp dport 68 accept\n"
           "    udp sport 547 udp dport 546 accept\n"
           "    icmpv6 type { nd-router-advert, nd-neighbor-solicit, nd-neighbor-advert, nd-redirect } accept\n"
           "    ip6 saddr fe80::/10 accept\n"
           "    ip6 daddr ff02::/16 accept\n";
    if (rules.allowLocalNetwork)
        out << "    ip saddr { " << PrivateIpv4 << " } accept\n"
               "    ip6 saddr " << PrivateIpv6 << " accept\n";
    out << "  }\n"
           "}\n";
    return out.str();
}

bool apply(const std::string& nft, const Rules& rules, std::string* error)
{
    CommandResult result;
    // With --echo nft prints what the kernel reports back once it has
    // committed the batch: the block is read back in the same call (a
    // second nft would cost as much again on every connect).
    if (!runNft(nft, { "--echo", "-f", "-" }, batch(rules), &result, error))
        return false;
    const std::string& echoed = result.output;
    const std::string chain = std::string("add chain inet ") + TableName + " ";
    if (echoed.find(chain + "output {") == std::string::npos || echoed.find(chain + "input {") == std::string::npos
        || echoed.find("policy drop") == std::string::npos) {
        *error = "the kernel did not report the table back as applied";
        return false;
    }
    return true;
}

bool remove(const std::string& nft, std::string* error)
{
    CommandResult result;
    return runNft(nft, { "-f", "-" }, removal(), &result, error);
}

bool present(const std::string& nft, bool* exists, std::string* error)
{
    CommandResult result;
    if (!runNft(nft, { "list", "tables", "inet" }, std::string(), &result, error))
        return false;
    const std::string line = std::string("table inet ") + TableName;
    std::istringstream lines(result.output);
    std::string each;
    *exists = false;
    while (std::getline(lines, each)) {
        if (each == line)
            *exists = true;
    }
    return true;
}

std::string WantedRecord::path(const std::string& runDir)
{
    return runDir + "/lockdown";
}

bool WantedRecord::load(const std::string& runDir)
{
    // Read as root: only a file of the service's own user, never a link.
    const int fd = open(path(runDir).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat info;
    std::string text;
    bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid()
        && !(info.st_mode & (S_IWGRP | S_IWOTH));
    char buffer[4096];
    while (ok) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        text.append(buffer, size_t(n));
        ok = text.size() <= MaxRecordSize;
    }
    close(fd);
    if (!ok)
        return false;

    *this = WantedRecord();
    rules.serverAddresses.clear();
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t space = line.find(' ');
        const std::string key = line.substr(0, space);
        const std::string value = space == std::string::npos ? std::string() : line.substr(space + 1);
        if (key == "host")
            host = value;
        else if (key == "address" && isAddress(value) && rules.serverAddresses.size() < MaxServerAddresses)
            rules.serverAddresses.push_back(value);
        else if (key == "port")
            rules.serverPort = atoi(value.c_str());
        else if (key == "protocol")
            rules.protocol = value == "tcp" ? "tcp" : "udp";
        else if (key == "allow-local-network")
            rules.allowLocalNetwork = value == "1";
    }
    return !host.empty() && !rules.serverAddresses.empty() && rules.serverPort > 0 && rules.serverPort < 65536;
}

bool WantedRecord::save(const std::string& runDir, std::string* error) const
{
    if (host.find_first_of("\r\n") != std::string::npos) {
        *error = "the host name holds a line end";
        return false;
    }
    struct stat folder;
    if (lstat(runDir.c_str(), &folder) != 0) {
        if (mkdir(runDir.c_str(), 0755) != 0 || lstat(runDir.c_str(), &folder) != 0) {
            *error = "cannot create " + runDir + ": " + strerror(errno);
            return false;
        }
    }
    // What is read back from here decides, as root, what stays blocked.
    if (!S_ISDIR(folder.st_mode) || folder.st_uid != geteuid() || (folder.st_mode & (S_IWGRP | S_IWOTH))) {
        *error = runDir + " is not a folder of this user alone";
        return false;
    }
    std::ostringstream text;
    text << "host " << host << "\n";
    for (const std::string& address : rules.serverAddresses)
        text << "address " << address << "\n";
    text << "port " << rules.serverPort << "\n"
         << "protocol " << rules.protocol << "\n"
         << "allow-local-network " << (rules.allowLocalNetwork ? 1 : 0) << "\n";
    const std::string content = text.str();
    const std::string temporary = path(runDir) + ".new";
    unlink(temporary.c_str());
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = "cannot write " + temporary + ": " + strerror(errno);
        return false;
    }
    const bool written = write(fd, content.data(), content.size()) == ssize_t(content.size()) && fsync(fd) == 0;
    close(fd);
    if (!written || rename(temporary.c_str(), path(runDir).c_str()) != 0) {
        *error = "cannot write " + path(runDir) + ": " + strerror(errno);
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

void WantedRecord::remove(const std::string& runDir)
{
    unlink(path(runDir).c_str());
}

} // namespace Lockdown
