#include "dnschange.h"

#include "changerecord.h"
#include "command.h"
#include "pusheddns.h"
#include "resolverfile.h"

#include <climits>
#include <cstdlib>
#include <net/if.h>
#include <sys/stat.h>
#include <vector>

namespace {

const char Resolved[] = "systemd-resolved";
const char Resolvconf[] = "resolvconf";
const char ResolvConfFile[] = "resolv.conf";

bool fileExists(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

std::string realPath(const std::string& path)
{
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

std::string resolvectlProgram(const NetworkConfig& config)
{
    return config.resolvectl.empty() ? findExecutable({ "/usr/bin/resolvectl", "/bin/resolvectl" })
                                     : config.resolvectl;
}

std::string resolvconfProgram(const NetworkConfig& config)
{
    return config.resolvconf.empty() ? findExecutable({ "/usr/sbin/resolvconf", "/sbin/resolvconf" })
                                     : config.resolvconf;
}

// systemd-resolved is in charge when it runs and the resolver file sends
// every query to its stub.
bool resolvedInCharge(const NetworkConfig& config)
{
    if (resolvectlProgram(config).empty() || !fileExists("/run/systemd/resolve/io.systemd.Resolve"))
        return false;
    if (realPath(config.resolvConf).compare(0, 21, "/run/systemd/resolve/") == 0)
        return true;
    std::string text;
    return ResolverFile::read(config.resolvConf, &text) && text.find("nameserver 127.0.0.53") != std::string::npos;
}

// systemd ships a resolvconf that is resolvectl under another name: that
// one only works where systemd-resolved does.
bool resolvconfInCharge(const NetworkConfig& config)
{
    const std::string program = resolvconfProgram(config);
    if (program.empty())
        return false;
    const std::string target = realPath(program);
    return target.size() < 10 || target.compare(target.size() - 10, 10, "resolvectl") != 0;
}

std::string resolvconfRecord(const std::string& interface)
{
    return interface + ".varvex";
}

bool run(const std::string& program, const std::vector<std::string>& arguments, const std::string& input,
         std::string* error)
{
    if (program.empty()) {
        *error = "the program is not installed";
        return false;
    }
    const CommandResult result = runCommand(program, arguments, input);
    if (!result.succeeded())
        *error = program + ": " + result.failure();
    return result.succeeded();
}

// Asked of the kernel in this process's network namespace: /sys/class/net
// may show another one (a container's sysfs can be the host's).
bool interfaceExists(const std::string& interface)
{
    return if_nametoindex(interface.c_str()) != 0;
}

} // namespace

namespace DnsChange {

std::string chooseMethod(const NetworkConfig& config)
{
    if (config.dnsMethod == Resolved || config.dnsMethod == Resolvconf || config.dnsMethod == ResolvConfFile)
        return config.dnsMethod;
    if (!config.resolvectl.empty())
        return Resolved;
    if (!config.resolvconf.empty())
        return Resolvconf;
    if (resolvedInCharge(config))
        return Resolved;
    if (resolvconfInCharge(config))
        return Resolvconf;
    return ResolvConfFile;
}

bool apply(const NetworkConfig& config, const std::string& method, const std::string& interface,
           const PushedDns& dns, ChangeRecord& record, std::string* error)
{
    record.dnsMethod = method;
    record.dnsInterface = interface;
    if (method == ResolvConfFile) {
        if (ResolverFile::apply(config.resolvConf, dns, record, error))
            return true;
        std::string ignored, note;
        ResolverFile::undo(record, &ignored, &note);
        return false;
    }
    if (!record.save(error))
        return false;

    bool applied;
    if (method == Resolved) {
        // The tunnel's servers answer every name: "~." routes all queries
        // to this link, and it becomes the default route for DNS.
        const std::string program = resolvectlProgram(config);
        std::vector<std::string> servers = { "dns", interface };
        servers.insert(servers.end(), dns.servers.begin(), dns.servers.end());
        std::vector<std::string> domains = { "domain", interface, "~." };
        domains.insert(domains.end(), dns.domains.begin(), dns.domains.end());
        applied = run(program, servers, std::string(), error)
            && run(program, domains, std::string(), error)
            && run(program, { "default-route", interface, "yes" }, std::string(), error);
    } else {
        std::string text;
        for (const std::string& server : dns.servers)
            text += "nameserver " + server + "\n";
        if (!dns.domains.empty()) {
            text += "search";
            for (const std::string& domain : dns.domains)
                text += " " + domain;
            text += "\n";
        }
        applied = run(resolvconfProgram(config), { "-a", resolvconfRecord(interface) }, text, error);
    }
    if (!applied) {
        std::string ignored, note;
        undo(config, record, &ignored, &note);
    }
    return applied;
}

bool undo(const NetworkConfig& config, const ChangeRecord& record, std::string* error, std::string* note)
{
    if (record.dnsMethod == ResolvConfFile)
        return ResolverFile::undo(record, error, note);
    if (record.dnsMethod == Resolved) {
        // systemd-resolved forgets a link that has gone with the link.
        return run(resolvectlProgram(config), { "revert", record.dnsInterface }, std::string(), error)
            || !interfaceExists(record.dnsInterface);
    }
    if (record.dnsMethod == Resolvconf)
        return run(resolvconfProgram(config), { "-d", resolvconfRecord(record.dnsInterface) }, std::string(), error);
    return true;
}

} // namespace DnsChange
