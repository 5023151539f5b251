#ifndef NETWORKCONFIG_H
#define NETWORKCONFIG_H

#include <functional>
#include <string>

// Where the tunnel's changes to the machine's network set-up are kept and
// which programs make them. Every field has a system default; tests and
// packagers override it through the environment.
struct NetworkConfig
{
    std::string runDir;      // VARVEX_RUN_DIR: the record of changes (/run/varvex)
    std::string resolvConf;  // VARVEX_RESOLV_CONF: the resolver file (/etc/resolv.conf)
    std::string dnsMethod;   // VARVEX_DNS_METHOD: forces "systemd-resolved", "resolvconf" or "resolv.conf"
    std::string resolvectl;  // VARVEX_RESOLVECTL: systemd-resolved's tool; set, it is used
    std::string resolvconf;  // VARVEX_RESOLVCONF: resolvconf; set, it is used
    std::string nft;         // VARVEX_NFT: nftables' tool (/usr/sbin/nft)
    // VARVEX_LOCKDOWN=1, set by the service for its launcher: the kill
    // switch's table stands and already keeps IPv6 beside the tunnel.
    bool lockdown = false;

    static NetworkConfig fromEnvironment();

    // The variables above, in the order of the fields: OpenVPN gives its
    // scripts none of its own environment, so the launcher passes them on.
    static const char* const Variables[];
    static const int VariableCount;
};

// Receives each line the network changes report: error is true for a failure.
using NetworkReport = std::function<void(bool error, const std::string& line)>;

#endif // NETWORKCONFIG_H
