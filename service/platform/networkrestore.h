#ifndef NETWORKRESTORE_H
#define NETWORKRESTORE_H

// Undoes what a tunnel left changed in the machine's network set-up (DNS,
// the host route to the server, the IPv6 block) when its OpenVPN could not:
// at the service's start, after a service that was killed, and after each
// end of the OpenVPN process. Logs what it undid; does nothing when
// nothing is left.
namespace NetworkRestore {
void undoLeftovers();
}

#endif // NETWORKRESTORE_H
