#include "qpingservice.h"

#include "icmpping.h"

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
    const QByteArray payload(kEchoPayload, sizeof(kEchoPayload) - 1);
    const int latency = IcmpPing::echoLatency(hostname.toLatin1(), payload, kEchoTimeoutMs);
    emit pingResult(hostname, latency);
}
