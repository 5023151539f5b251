#include "networkconfig.h"

#include <cstdlib>

const char* const NetworkConfig::Variables[] = {
    "VARVEX_RUN_DIR", "VARVEX_RESOLV_CONF", "VARVEX_DNS_METHOD",
    "VARVEX_RESOLVECTL", "VARVEX_RESOLVCONF", "VARVEX_NFT", "VARVEX_LOCKDOWN",
};
const int NetworkConfig::VariableCount = int(sizeof Variables / sizeof Variables[0]);

static std::string fromEnvironment(const char* name, const char* fallback)
{
    const char* value = getenv(name);
    return value && *value ? std::string(value) : std::string(fallback);
}

NetworkConfig NetworkConfig::fromEnvironment()
{
    NetworkConfig config;
    config.runDir = ::fromEnvironment("VARVEX_RUN_DIR", "/run/varvex");
    config.resolvConf = ::fromEnvironment("VARVEX_RESOLV_CONF", "/etc/resolv.conf");
    config.dnsMethod = ::fromEnvironment("VARVEX_DNS_METHOD", "");
    config.resolvectl = ::fromEnvironment("VARVEX_RESOLVECTL", "");
    config.resolvconf = ::fromEnvironment("VARVEX_RESOLVCONF", "");
    config.nft = ::fromEnvironment("VARVEX_NFT", "");
    config.lockdown = ::fromEnvironment("VARVEX_LOCKDOWN", "") == "1";
    return config;
}
