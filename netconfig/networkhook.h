#ifndef NETWORKHOOK_H
#define NETWORKHOOK_H

#include <functional>
#include <string>

#include "networkconfig.h"

// What the tunnel changes in the machine's network set-up and how every
// change is undone. OpenVPN calls the three hooks as its --up, --route-up
// and --down scripts; undoLeftovers() is for everyone who comes after an
// OpenVPN that could not run its --down (the launcher, the service).
// Nothing here ever fails the tunnel: failures are reported and left.
namespace NetworkHook {

using Lookup = std::function<const char*(const std::string&)>;

// The device is up, the routes are not yet: applies the pushed DNS.
void tunnelUp(const NetworkConfig& config, const Lookup& environment, const NetworkReport& report);
// The routes are in place: keeps note of the host route to the server and,
// when the default route goes through a tunnel without IPv6, blocks IPv6.
void routesUp(const NetworkConfig& config, const Lookup& environment, const NetworkReport& report);
// Undoes whatever the record holds for this network namespace.
void undoLeftovers(const NetworkConfig& config, const NetworkReport& report);

} // namespace NetworkHook

#endif // NETWORKHOOK_H
