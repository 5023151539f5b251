#include "pusheddns.h"

#include <algorithm>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sstream>

namespace {

// Bounds against a server that pushes thousands of options.
const int MaxOptions = 200;
const size_t MaxServers = 8;
const size_t MaxDomains = 8;

void addOnce(std::vector<std::string>& list, const std::string& value, size_t limit)
{
    if (list.size() < limit && std::find(list.begin(), list.end(), value) == list.end())
        list.push_back(value);
}

} // namespace

bool isAddressLiteral(const std::string& text)
{
    unsigned char buffer[sizeof(in6_addr)];
    return text.size() < INET6_ADDRSTRLEN
        && (inet_pton(AF_INET, text.c_str(), buffer) == 1 || inet_pton(AF_INET6, text.c_str(), buffer) == 1);
}

bool isDomainName(const std::string& text)
{
    if (text.empty() || text.size() > 253 || text.front() == '.' || text.front() == '-')
        return false;
    size_t label = 0;
    for (char c : text) {
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (c == '.') {
            if (label == 0)
                return false;
            label = 0;
        } else if (letter || c == '-' || c == '_') {
            if (++label > 63)
                return false;
        } else {
            return false;
        }
    }
    return true;
}

std::string PushedDns::serverList() const
{
    std::string list;
    for (const std::string& server : servers)
        list += (list.empty() ? "" : " ") + server;
    return list;
}

PushedDns readPushedDns(const std::function<const char*(const std::string&)>& lookup)
{
    PushedDns dns;
    for (int n = 1; n <= MaxOptions; ++n) {
        const char* option = lookup("foreign_option_" + std::to_string(n));
        if (!option)
            break;
        std::istringstream words(option);
        std::string keyword, kind, value, extra;
        words >> keyword >> kind >> value;
        if (keyword != "dhcp-option")
            continue;
        const bool server = kind == "DNS" || kind == "DNS6";
        const bool domain = kind == "DOMAIN" || kind == "DOMAIN-SEARCH";
        if (!server && !domain)
            continue;
        if (words >> extra || (server ? !isAddressLiteral(value) : !isDomainName(value))) {
            ++dns.rejected;
            continue;
        }
        addOnce(server ? dns.servers : dns.domains, value, server ? MaxServers : MaxDomains);
    }

    for (int n = 1; n <= MaxOptions; ++n) {
        bool any = false;
        for (int m = 1; m <= MaxOptions; ++m) {
            const std::string prefix = "dns_server_" + std::to_string(n) + "_";
            const char* address = lookup(prefix + "address_" + std::to_string(m));
            if (!address)
                break;
            any = true;
            // A resolver file cannot name another port.
            const char* port = lookup(prefix + "port_" + std::to_string(m));
            if (!isAddressLiteral(address) || (port && std::string(port) != "53")) {
                ++dns.rejected;
                continue;
            }
            addOnce(dns.servers, address, MaxServers);
        }
        if (!any)
            break;
    }
    for (int n = 1; n <= MaxOptions; ++n) {
        const char* domain = lookup("dns_search_domain_" + std::to_string(n));
        if (!domain)
            break;
        if (isDomainName(domain))
            addOnce(dns.domains, domain, MaxDomains);
        else
            ++dns.rejected;
    }
    return dns;
}
