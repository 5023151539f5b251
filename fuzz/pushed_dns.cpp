// The options a server pushed, as OpenVPN hands them to the network hook:
// the input is an environment, one NAME=value a line. Whatever is taken
// goes into a resolver file or onto a command line.
#include <map>
#include <string>

#include "fuzzcheck.h"
#include "pusheddns.h"

namespace {

bool plainText(const std::string& text)
{
    for (unsigned char c : text) {
        if (c <= ' ' || c == 0x7f || c == '#' || c == ';')
            return false;
    }
    return !text.empty();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::map<std::string, std::string> environment;
    const std::string text(reinterpret_cast<const char*>(data), size);
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(at, end - at);
        const size_t equals = line.find('=');
        // An environment cannot carry a NUL.
        if (equals != std::string::npos && line.find('\0') == std::string::npos)
            environment[line.substr(0, equals)] = line.substr(equals + 1);
        at = end + 1;
    }
    const PushedDns dns = readPushedDns([&](const std::string& name) -> const char* {
        const auto found = environment.find(name);
        return found == environment.end() ? nullptr : found->second.c_str();
    });
    FUZZ_CHECK(dns.servers.size() <= 8 && dns.domains.size() <= 8);
    for (const std::string& server : dns.servers)
        FUZZ_CHECK(isAddressLiteral(server) && plainText(server));
    for (const std::string& domain : dns.domains)
        FUZZ_CHECK(isDomainName(domain) && plainText(domain));
    FUZZ_CHECK(dns.serverList().find('\n') == std::string::npos);
    return 0;
}
