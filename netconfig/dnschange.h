#ifndef DNSCHANGE_H
#define DNSCHANGE_H

#include <string>

#include "networkconfig.h"

class ChangeRecord;
struct PushedDns;

// Gives the tunnel's DNS servers to the machine's resolver, through the
// first way it has: systemd-resolved, resolvconf, or the resolver file
// itself; and takes them back.
namespace DnsChange {

// "systemd-resolved", "resolvconf" or "resolv.conf".
std::string chooseMethod(const NetworkConfig& config);

// Writes the change into the record before making it. On failure *error
// says why, and whatever was done is already undone.
bool apply(const NetworkConfig& config, const std::string& method, const std::string& interface,
           const PushedDns& dns, ChangeRecord& record, std::string* error);

// Undoes what the record holds. *note gets a remark worth reporting even on
// success (the file had been changed by someone else and was left alone).
bool undo(const NetworkConfig& config, const ChangeRecord& record, std::string* error, std::string* note);

} // namespace DnsChange

#endif // DNSCHANGE_H
