#include "qpingservice.h"

#include "icmpping.h"

#include <cstdio>

namespace {

// The echo's payload; the last four letters really are q, e, s, t.
const char kEchoPayload[] = "abcdefghijklmnopqest";
const int kEchoTimeoutMs = 1000;

} // namespace

QPingService::QPingService(QObject* parent)
    : QObject(parent)
{
}

void QPingService::pingHost(QString hostname)
{
    reportWhenNotPermitted();
    emit pingResult(hostname, measure(hostname));
}

int QPingService::measure(const QString& hostname)
{
    const QByteArray payload(kEchoPayload, sizeof(kEchoPayload) - 1);
    return IcmpPing::echoLatency(hostname.toLatin1(), payload, kEchoTimeoutMs);
}

// Without any ICMP socket every server shows "---"; say why, once.
void QPingService::reportWhenNotPermitted()
{
    if (m_permissionChecked)
        return;
    m_permissionChecked = true;
    if (!IcmpPing::socketsPermitted()) {
        fprintf(stderr, "%s\n", unavailableReason().toLocal8Bit().constData());
        fflush(stderr);
        emit pingUnavailable();
    }
}

QString QPingService::unavailableReason()
{
    return QStringLiteral("Server pings are not possible: this system allows this user neither unprivileged ICMP "
                          "sockets (net.ipv4.ping_group_range) nor raw sockets; every server shows \"---\".");
}
