#include "icmpping.h"

#include <QThread>

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <iphlpapi.h>
#include <icmpapi.h>

#include <vector>

// Windows: the system's ICMP service (IcmpSendEcho) needs no privilege.
namespace IcmpPing {

void startSystemSockets()
{
    // Version 2.2; never cleaned up, the sockets live as long as the client.
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
}

int echoLatency(const QByteArray& host, const QByteArray& payload, int timeoutMs)
{
    if (QThread::currentThread()->isInterruptionRequested())
        return -1;
    addrinfo hints = {};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.constData(), nullptr, &hints, &found) != 0 || !found)
        return -1;
    const IPAddr address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(found);
    if (address == 0)
        return -1;

    const HANDLE icmp = IcmpCreateFile();
    if (icmp == INVALID_HANDLE_VALUE)
        return -1;
    // Room for one reply with the whole payload echoed, and the 8 bytes of
    // an ICMP error the system may put there instead.
    std::vector<unsigned char> reply(sizeof(ICMP_ECHO_REPLY) + size_t(payload.size()) + 8 + 16);
    QByteArray request = payload;
    const ULONGLONG start = GetTickCount64();
    const DWORD replies = IcmpSendEcho(icmp, address, request.data(), WORD(request.size()), nullptr, reply.data(),
                                       DWORD(reply.size()), DWORD(timeoutMs));
    const ULONGLONG elapsed = GetTickCount64() - start;
    CloseHandle(icmp);
    if (replies == 0)
        return -1;
    const auto* echo = reinterpret_cast<const ICMP_ECHO_REPLY*>(reply.data());
    if (echo->Status != IP_SUCCESS || elapsed > ULONGLONG(timeoutMs))
        return -1;
    return qMax<int>(1, int(echo->RoundTripTime));
}

bool socketsPermitted()
{
    return true;
}

} // namespace IcmpPing
