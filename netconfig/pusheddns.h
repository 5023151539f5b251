#ifndef PUSHEDDNS_H
#define PUSHEDDNS_H

#include <functional>
#include <string>
#include <vector>

// The DNS servers and search domains a server pushed, as OpenVPN 2.6 hands
// them to its scripts: "dhcp-option DNS/DNS6/DOMAIN/DOMAIN-SEARCH" in
// foreign_option_<n>, and the --dns options in dns_server_<n>_address_<m>
// and dns_search_domain_<n>. The values come from the server, so only
// address literals and plain domain names are taken: nothing else can reach
// a resolver file or a command line.
struct PushedDns
{
    std::vector<std::string> servers;
    std::vector<std::string> domains;
    int rejected = 0; // pushed values that were neither

    bool empty() const { return servers.empty(); }
    std::string serverList() const; // "10.8.0.1 10.8.0.2"
};

// lookup returns the variable's value, or nullptr when it is not set.
PushedDns readPushedDns(const std::function<const char*(const std::string&)>& lookup);

bool isAddressLiteral(const std::string& text);
bool isDomainName(const std::string& text);

#endif // PUSHEDDNS_H
