#ifndef CTLFORMAT_H
#define CTLFORMAT_H

#include <QByteArray>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>

#include "vpnserverinfo.h"

// One status notification as varvexctl shows it.
struct CtlStatus
{
    int code = 3;
    QByteArray address;   // only while connected
    quint32 since = 0;    // connect time, seconds since 1970 UTC; 0: none
};

// A server and its ping: milliseconds, or -1 for no answer or not pinged.
struct CtlServer
{
    VPNServerInfo info;
    int ping = -1;
};

// The texts and JSON objects varvexctl prints. No colour, nothing that
// depends on where the output goes.
namespace CtlFormat {

// CONNECTING, CONNECTED, DISCONNECTING, DISCONNECTED, RECONNECTING, UNKNOWN.
QString stateWord(int code);

QJsonObject statusJson(const CtlStatus& status);
// "State:", "Address:" and "Connected:" lines; the last two while connected.
QString statusText(const CtlStatus& status, const QDateTime& now);
// Hours (not wrapping at a day), minutes and seconds: 27:03:09.
QString elapsed(qint64 seconds);

// "850 bit/s", "12.3 kbit/s", "1.20 Mbit/s".
QString bitrate(quint64 bitsPerSecond);

// One line of `watch`, stamped with the local time of day.
QString statusLine(const CtlStatus& status, const QTime& time);
QString bandwidthLine(quint64 downBits, quint64 upBits, const QTime& time);

QJsonArray serversJson(const QList<CtlServer>& servers);
// Aligned columns NAME, CODE, HOST, PING with "---" for no ping.
QString serversText(const QList<CtlServer>& servers);

QByteArray jsonLine(const QJsonObject& object);

} // namespace CtlFormat

#endif // CTLFORMAT_H
