#include "routes.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <net/route.h>
#include <netinet/in.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace Routes {

std::vector<Ipv4Route> read()
{
    std::vector<Ipv4Route> routes;
    std::ifstream table("/proc/net/route");
    std::string line;
    std::getline(table, line); // the header
    while (std::getline(table, line) && routes.size() < 100000) {
        std::istringstream fields(line);
        Ipv4Route route;
        std::string destination, gateway, flags, refs, use, metric, mask;
        if (!(fields >> route.device >> destination >> gateway >> flags >> refs >> use >> metric >> mask))
            continue;
        route.destination = unsigned(strtoul(destination.c_str(), nullptr, 16));
        route.gateway = unsigned(strtoul(gateway.c_str(), nullptr, 16));
        route.mask = unsigned(strtoul(mask.c_str(), nullptr, 16));
        routes.push_back(route);
    }
    return routes;
}

bool redirectsDefaultGateway(const std::vector<Ipv4Route>& routes, const std::string& device)
{
    bool lowerHalf = false, upperHalf = false;
    const unsigned halfMask = htonl(0x80000000u);
    for (const Ipv4Route& route : routes) {
        if (route.device != device)
            continue;
        if (route.mask == 0)
            return true;
        if (route.mask == halfMask) {
            lowerHalf = lowerHalf || route.destination == 0;
            upperHalf = upperHalf || route.destination == halfMask;
        }
    }
    return lowerHalf && upperHalf;
}

const Ipv4Route* hostRoute(const std::vector<Ipv4Route>& routes, const std::string& address)
{
    in_addr parsed;
    if (inet_pton(AF_INET, address.c_str(), &parsed) != 1)
        return nullptr;
    for (const Ipv4Route& route : routes) {
        if (route.mask == 0xffffffffu && route.destination == parsed.s_addr)
            return &route;
    }
    return nullptr;
}

std::string addressText(unsigned address)
{
    in_addr value;
    value.s_addr = address;
    char text[INET_ADDRSTRLEN];
    return inet_ntop(AF_INET, &value, text, sizeof text) ? std::string(text) : std::string();
}

bool removeHostRoute(const std::string& address, const std::string& gateway, const std::string& device,
                     bool* removed, std::string* error)
{
    *removed = false;
    rtentry entry;
    memset(&entry, 0, sizeof entry);
    auto setAddress = [](sockaddr* target, const std::string& text) {
        sockaddr_in* in = reinterpret_cast<sockaddr_in*>(target);
        in->sin_family = AF_INET;
        return inet_pton(AF_INET, text.c_str(), &in->sin_addr) == 1;
    };
    if (!setAddress(&entry.rt_dst, address) || !setAddress(&entry.rt_genmask, "255.255.255.255")
        || (!gateway.empty() && gateway != "0.0.0.0" && !setAddress(&entry.rt_gateway, gateway))) {
        *error = "not an IPv4 route: " + address + " via " + gateway;
        return false;
    }
    entry.rt_flags = RTF_UP | RTF_HOST | (gateway.empty() || gateway == "0.0.0.0" ? 0 : RTF_GATEWAY);
    std::string deviceName = device;
    if (!deviceName.empty())
        entry.rt_dev = &deviceName[0];

    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = std::string("cannot open a socket: ") + strerror(errno);
        return false;
    }
    const int result = ioctl(fd, SIOCDELRT, &entry);
    const int saved = errno;
    close(fd);
    if (result == 0) {
        *removed = true;
        return true;
    }
    if (saved == ESRCH || saved == ENODEV)
        return true;
    *error = "cannot remove the route to " + address + ": " + strerror(saved);
    return false;
}

} // namespace Routes
