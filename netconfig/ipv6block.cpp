#include "ipv6block.h"

#include "command.h"

namespace Ipv6Block {

const char TableName[] = "varvex_ipv6_block";

namespace {

// Declaring the table first makes the delete safe when it is absent; the
// whole input is one transaction.
std::string clearTable()
{
    return std::string("table ip6 ") + TableName + "\ndelete table ip6 " + TableName + "\n";
}

bool runNft(const std::string& nft, const std::string& input, std::string* error)
{
    if (nft.empty()) {
        *error = "nft is not installed";
        return false;
    }
    const CommandResult result = runCommand(nft, { "-f", "-" }, input);
    if (!result.succeeded())
        *error = nft + ": " + result.failure();
    return result.succeeded();
}

} // namespace

std::string program(const std::string& configured)
{
    return configured.empty() ? findExecutable({ "/usr/sbin/nft", "/sbin/nft" }) : configured;
}

bool add(const std::string& nft, std::string* error)
{
    const std::string table = clearTable() + "table ip6 " + TableName + " {\n"
        "  chain output {\n"
        "    type filter hook output priority 0; policy drop;\n"
        "    oifname \"lo\" accept\n"
        "    ip6 daddr { fe80::/10, ff02::/16 } accept\n"
        "  }\n"
        "  chain input {\n"
        "    type filter hook input priority 0; policy drop;\n"
        "    iifname \"lo\" accept\n"
        "    ip6 saddr fe80::/10 accept\n"
        "    ip6 daddr ff02::/16 accept\n"
        "  }\n"
        "}\n";
    return runNft(nft, table, error);
}

bool remove(const std::string& nft, std::string* error)
{
    return runNft(nft, clearTable(), error);
}

} // namespace Ipv6Block
