#ifndef ICMPPING_H
#define ICMPPING_H

#include <QByteArray>

namespace IcmpPing {

// Sends one ICMP echo request carrying payload to host (IPv4) and waits for
// its answer. Returns the round trip in milliseconds (at least 1), or -1 when
// the name does not resolve, no ICMP socket can be opened, or nothing answers
// within timeoutMs. Blocks the calling thread; gives up early with -1 when the
// calling QThread is asked to stop.
int echoLatency(const QByteArray& host, const QByteArray& payload, int timeoutMs);

// False when the system refuses this process every kind of ICMP socket
// (unprivileged ping sockets excluded by net.ipv4.ping_group_range, raw
// sockets without CAP_NET_RAW), so that no echo can ever be sent.
bool socketsPermitted();

} // namespace IcmpPing

#endif // ICMPPING_H
