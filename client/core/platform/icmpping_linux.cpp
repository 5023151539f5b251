#include "icmpping.h"

#include <QThread>

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>

namespace IcmpPing {

namespace {

using Clock = std::chrono::steady_clock;

// How often a waiting echo looks whether its thread was asked to stop.
const int kPollSliceMs = 50;

class Socket
{
public:
    explicit Socket(int fd) : m_fd(fd) { }
    ~Socket()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return m_fd; }

private:
    int m_fd;
};

bool resolveIPv4(const QByteArray& host, in_addr* address)
{
    if (host.isEmpty() || host.contains('\0'))
        return false;
    addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* result = nullptr;
    if (getaddrinfo(host.constData(), nullptr, &hints, &result) != 0 || !result)
        return false;
    bool ok = false;
    if (result->ai_family == AF_INET && result->ai_addrlen >= sizeof(sockaddr_in)) {
        *address = reinterpret_cast<const sockaddr_in*>(result->ai_addr)->sin_addr;
        ok = address->s_addr != INADDR_ANY;
    }
    freeaddrinfo(result);
    return ok;
}

quint16 checksum(const unsigned char* data, size_t length)
{
    quint32 sum = 0;
    for (size_t i = 0; i + 1 < length; i += 2)
        sum += (quint32(data[i]) << 8) | data[i + 1];
    if (length & 1)
        sum += quint32(data[length - 1]) << 8;
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return htons(static_cast<quint16>(~sum));
}

// An unprivileged ping socket when the system allows one (net.ipv4.ping_group_range),
// else a raw socket, which needs root or CAP_NET_RAW.
int openIcmpSocket(bool* raw)
{
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd >= 0) {
        *raw = false;
        return fd;
    }
    fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    *raw = true;
    return fd;
}

// True when packet (as read from the socket) is the answer to our echo: an
// echo reply from the target with our identifier, sequence and payload. A raw
// socket sees every ICMP packet of the host, our own request on loopback too.
bool isOurReply(const unsigned char* packet, size_t length, bool raw, quint16 identifier,
                quint16 sequence, const QByteArray& payload)
{
    if (raw) {
        if (length < sizeof(iphdr))
            return false;
        const size_t headerLength = size_t(packet[0] & 0x0f) * 4;
        if (headerLength < sizeof(iphdr) || headerLength > length)
            return false;
        packet += headerLength;
        length -= headerLength;
    }
    if (length != sizeof(icmphdr) + size_t(payload.size()))
        return false;
    icmphdr header;
    memcpy(&header, packet, sizeof(header));
    if (header.type != ICMP_ECHOREPLY || header.code != 0)
        return false;
    // A ping socket's identifier is chosen, and filtered, by the kernel.
    if (raw && ntohs(header.un.echo.id) != identifier)
        return false;
    if (ntohs(header.un.echo.sequence) != sequence)
        return false;
    return memcmp(packet + sizeof(header), payload.constData(), size_t(payload.size())) == 0;
}

bool stopRequested()
{
    QThread* thread = QThread::currentThread();
    return thread && thread->isInterruptionRequested();
}

} // namespace

bool socketsPermitted()
{
    bool raw = false;
    const Socket socket(openIcmpSocket(&raw));
    // Any other failure (no descriptor left, say) is no matter of privilege.
    return socket.fd() >= 0 || (errno != EPERM && errno != EACCES);
}

int echoLatency(const QByteArray& host, const QByteArray& payload, int timeoutMs)
{
    in_addr target;
    if (!resolveIPv4(host, &target))
        return -1;

    bool raw = false;
    const Socket socket(openIcmpSocket(&raw));
    if (socket.fd() < 0)
        return -1;

    static std::atomic<quint16> nextSequence(1);
    const quint16 identifier = static_cast<quint16>(getpid());
    const quint16 sequence = nextSequence++;

    QByteArray request(int(sizeof(icmphdr)), '\0');
    icmphdr header;
    memset(&header, 0, sizeof(header));
    header.type = ICMP_ECHO;
    header.code = 0;
    header.un.echo.id = htons(identifier);
    header.un.echo.sequence = htons(sequence);
    memcpy(request.data(), &header, sizeof(header));
    request.append(payload);
    header.checksum = checksum(reinterpret_cast<const unsigned char*>(request.constData()),
                               size_t(request.size()));
    memcpy(request.data(), &header, sizeof(header));

    sockaddr_in destination;
    memset(&destination, 0, sizeof(destination));
    destination.sin_family = AF_INET;
    destination.sin_addr = target;

    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline = start + std::chrono::milliseconds(timeoutMs);
    if (::sendto(socket.fd(), request.constData(), size_t(request.size()), 0,
                 reinterpret_cast<const sockaddr*>(&destination), sizeof(destination))
        != request.size()) {
        return -1;
    }

    unsigned char buffer[2048];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || stopRequested())
            return -1;
        pollfd waitFor;
        waitFor.fd = socket.fd();
        waitFor.events = POLLIN;
        waitFor.revents = 0;
        const int ready = ::poll(&waitFor, 1, int(std::min<qint64>(left.count(), kPollSliceMs)));
        if (ready < 0 && errno != EINTR)
            return -1;
        if (ready <= 0)
            continue;

        // Drain everything queued; strangers' packets are dropped.
        for (;;) {
            sockaddr_in from;
            socklen_t fromLength = sizeof(from);
            const ssize_t received = ::recvfrom(socket.fd(), buffer, sizeof(buffer), MSG_DONTWAIT,
                                                reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (received < 0) {
                if (errno == EINTR)
                    continue;
                break; // EAGAIN, or a queued ICMP error: keep waiting until the deadline
            }
            const Clock::time_point arrived = Clock::now();
            if (from.sin_addr.s_addr != target.s_addr
                || !isOurReply(buffer, size_t(received), raw, identifier, sequence, payload)) {
                continue;
            }
            if (arrived > deadline)
                return -1;
            const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(arrived - start).count();
            return std::max<int>(1, int((micros + 500) / 1000));
        }
    }
}

} // namespace IcmpPing
