#ifndef LOCKDOWN_H
#define LOCKDOWN_H

#include <string>
#include <vector>

// The kill switch: one nftables table of our own (family inet) that drops
// everything outside the tunnel while a tunnel is wanted, so that nothing
// leaves in the clear while it connects, reconnects, or while no service
// runs at all. It lives in the kernel and is recognised by its name alone;
// no other table is ever touched.
namespace Lockdown {

extern const char TableName[];
// Interfaces the tunnel may take ("--dev tun" gives tun0, tun1, ...).
extern const char TunnelInterfaces[];

struct Rules
{
    // The VPN server's addresses, resolved before the block went up.
    std::vector<std::string> serverAddresses;
    int serverPort = 443;
    std::string protocol = "udp";
    bool allowLocalNetwork = true;
};

// The whole nft input that replaces the table in one transaction.
std::string batch(const Rules& rules);
// The nft input that removes the table; nothing when it is absent.
std::string removal();

// Applies the batch and reads back what the kernel committed: false, with
// the reason, when nft refused it or the table was not reported back.
bool apply(const std::string& nft, const Rules& rules, std::string* error);
bool remove(const std::string& nft, std::string* error);
// Whether our table exists; false with an error when nft cannot tell.
bool present(const std::string& nft, bool* exists, std::string* error);

// True for an IPv4 or IPv6 address literal (nothing nft could read as more).
bool isAddress(const std::string& text);

// That a tunnel was wanted while the block went up: its server host and the
// addresses it resolved to, so that a service started again keeps the
// block and a reconnect to the same host needs no name look-up. Kept as
// "<run folder>/lockdown", which only the service's user may write.
struct WantedRecord
{
    std::string host;
    Rules rules;

    static std::string path(const std::string& runDir);
    // False when there is none, or it is unreadable or malformed.
    bool load(const std::string& runDir);
    bool save(const std::string& runDir, std::string* error) const;
    static void remove(const std::string& runDir);
};

} // namespace Lockdown

#endif // LOCKDOWN_H
