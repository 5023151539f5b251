#ifndef ROUTES_H
#define ROUTES_H

#include <string>
#include <vector>

// The IPv4 routes of this network namespace, as the kernel lists them.
struct Ipv4Route
{
    std::string device;
    unsigned destination = 0; // network byte order, as the kernel lists it
    unsigned gateway = 0;
    unsigned mask = 0;
};

namespace Routes {

std::vector<Ipv4Route> read();

// True when the device carries the default route, whole or as the two
// halves that OpenVPN's redirect-gateway def1 adds.
bool redirectsDefaultGateway(const std::vector<Ipv4Route>& routes, const std::string& device);

// The route to exactly this address (a /32), or nullptr.
const Ipv4Route* hostRoute(const std::vector<Ipv4Route>& routes, const std::string& address);

std::string addressText(unsigned address);

// Removes a host route; one that is already gone counts as removed.
// *removed tells whether there was one.
bool removeHostRoute(const std::string& address, const std::string& gateway, const std::string& device,
                     bool* removed, std::string* error);

} // namespace Routes

#endif // ROUTES_H
