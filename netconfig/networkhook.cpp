#include "networkhook.h"

#include "changerecord.h"
#include "dnschange.h"
#include "ipv6block.h"
#include "pusheddns.h"
#include "resolverfile.h"
#include "routes.h"

namespace NetworkHook {

namespace {

std::string valueOf(const Lookup& environment, const char* name)
{
    const char* value = environment(name);
    return value ? std::string(value) : std::string();
}

// Undoes every change the record holds; what cannot be undone stays in the
// record, so that a later attempt can.
void undo(const NetworkConfig& config, ChangeRecord& record, const NetworkReport& report)
{
    if (!record.dnsMethod.empty()) {
        std::string error, note;
        if (DnsChange::undo(config, record, &error, &note)) {
            if (!note.empty())
                report(false, "DNS: " + note);
            report(false, "DNS restored: " + record.dnsMethod + ", " + record.dnsInterface);
            record.dnsMethod.clear();
            record.resolvConfKind.clear();
        } else {
            report(true, "DNS: cannot restore " + record.dnsMethod + " for " + record.dnsInterface + ": " + error);
        }
    }
    if (!record.hostRoute.empty()) {
        bool removed = false;
        std::string error;
        if (Routes::removeHostRoute(record.hostRoute, record.hostRouteGateway, record.hostRouteDevice,
                                    &removed, &error)) {
            if (removed)
                report(false, "Routes: removed the host route to " + record.hostRoute);
            record.hostRoute.clear();
        } else {
            report(true, "Routes: " + error);
        }
    }
    if (record.ipv6Blocked) {
        std::string error;
        if (Ipv6Block::remove(Ipv6Block::program(config.nft), &error)) {
            report(false, "IPv6: unblocked");
            record.ipv6Blocked = false;
        } else {
            report(true, "IPv6: cannot remove the block: " + error);
        }
    }
    std::string error;
    if (record.empty())
        record.remove();
    else if (!record.save(&error))
        report(true, "Network changes: " + error);
}

void undoUnrecordedResolverFile(const NetworkConfig& config, const NetworkReport& report)
{
    bool restored = false;
    std::string error;
    if (!ResolverFile::undoUnrecorded(config.resolvConf, &restored, &error))
        report(true, "DNS: cannot restore " + config.resolvConf + ": " + error);
    else if (restored)
        report(false, "DNS restored: resolv.conf, from the copy inside " + config.resolvConf);
}

// Loads the record of this namespace; false when there is nothing to undo
// or the record is not this namespace's.
bool loadOwnRecord(ChangeRecord& record, const NetworkReport& report)
{
    if (!record.exists() || !record.load())
        return false;
    if (!record.madeHere()) {
        report(false, "Network changes: the record belongs to another network namespace and is left alone");
        return false;
    }
    return true;
}

} // namespace

void tunnelUp(const NetworkConfig& config, const Lookup& environment, const NetworkReport& report)
{
    ChangeRecord record(config.runDir);
    std::string error;
    if (!record.lock(true, &error)) {
        report(true, "DNS: not applied, nothing can be recorded: " + error);
        return;
    }
    // A tunnel before this one whose changes were never undone.
    if (loadOwnRecord(record, report))
        undo(config, record, report);

    ChangeRecord fresh(config.runDir);
    fresh.netns = ChangeRecord::currentNamespace();
    fresh.hostRouteExisted = Routes::hostRoute(Routes::read(), valueOf(environment, "trusted_ip")) != nullptr;
    if (!fresh.save(&error)) {
        report(true, "DNS: not applied, nothing can be recorded: " + error);
        return;
    }

    const std::string interface = valueOf(environment, "dev");
    const PushedDns dns = readPushedDns(environment);
    if (dns.rejected > 0)
        report(true, "DNS: ignored " + std::to_string(dns.rejected)
                         + " pushed value(s) that are neither an address nor a domain name");
    if (dns.empty()) {
        report(false, "DNS: the server pushed none; nothing changed");
        return;
    }
    const std::string method = DnsChange::chooseMethod(config);
    if (DnsChange::apply(config, method, interface, dns, fresh, &error)) {
        report(false, "DNS: " + method + ", " + interface + ", " + dns.serverList());
    } else {
        report(true, "DNS: " + method + " failed for " + interface + ": " + error);
        fresh.dnsMethod.clear();
        fresh.resolvConfKind.clear();
        fresh.save(&error);
    }
}

void routesUp(const NetworkConfig& config, const Lookup& environment, const NetworkReport& report)
{
    const std::string interface = valueOf(environment, "dev");
    const std::vector<Ipv4Route> routes = Routes::read();
    if (!Routes::redirectsDefaultGateway(routes, interface))
        return;

    ChangeRecord record(config.runDir);
    std::string error;
    if (!record.lock(true, &error)) {
        report(true, "Routes: nothing can be recorded: " + error);
        return;
    }
    if (!loadOwnRecord(record, report))
        record.netns = ChangeRecord::currentNamespace();

    // OpenVPN's route to its server beside the tunnel: OpenVPN removes it
    // when it ends in order, the kernel does not when OpenVPN is killed.
    const std::string server = valueOf(environment, "trusted_ip");
    const Ipv4Route* host = Routes::hostRoute(routes, server);
    if (host && !record.hostRouteExisted && host->device != interface) {
        record.hostRoute = server;
        record.hostRouteGateway = Routes::addressText(host->gateway);
        record.hostRouteDevice = host->device;
    }

    // Under the kill switch one table of ours already drops IPv6 beside
    // the tunnel; a second would only disagree with it.
    const bool carriesIpv6 = !valueOf(environment, "ifconfig_ipv6_local").empty() || config.lockdown;
    if (!carriesIpv6)
        record.ipv6Blocked = true;
    if (!record.save(&error)) {
        report(true, "Routes: nothing can be recorded, IPv6 is not blocked: " + error);
        return;
    }
    if (carriesIpv6)
        return;
    if (Ipv6Block::add(Ipv6Block::program(config.nft), &error)) {
        report(false, "IPv6: blocked outside " + interface + " while the tunnel is up");
    } else {
        report(true, "IPv6: cannot block it outside " + interface + ": " + error);
        record.ipv6Blocked = false;
        record.save(&error);
    }
}

void undoLeftovers(const NetworkConfig& config, const NetworkReport& report)
{
    ChangeRecord record(config.runDir);
    // Nothing was ever recorded: not even the folder is made. A resolver
    // file written for a tunnel before the machine went down is still put back.
    if (!record.exists()) {
        undoUnrecordedResolverFile(config, report);
        return;
    }
    std::string error;
    if (!record.lock(false, &error)) {
        report(true, "Network changes: cannot undo: " + error);
        return;
    }
    if (loadOwnRecord(record, report))
        undo(config, record, report);
}

} // namespace NetworkHook
