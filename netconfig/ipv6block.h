#ifndef IPV6BLOCK_H
#define IPV6BLOCK_H

#include <string>

// While a tunnel that carries no IPv6 takes the default route, IPv6 would
// pass beside it: a table of our own in nftables drops every IPv6 packet
// except on loopback and link-local, until it is removed again.
namespace Ipv6Block {

extern const char TableName[];

bool add(const std::string& nft, std::string* error);
// Removing a table that is not there succeeds.
bool remove(const std::string& nft, std::string* error);
// nftables' tool: the configured one, else the system's.
std::string program(const std::string& configured);

} // namespace Ipv6Block

#endif // IPV6BLOCK_H
