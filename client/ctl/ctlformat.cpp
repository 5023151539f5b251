#include "ctlformat.h"

#include <QJsonDocument>

#include "varvexprotocol.h"

namespace CtlFormat {

QString stateWord(int code)
{
    switch (code) {
    case QVarvexCommandConnecting:
        return QStringLiteral("CONNECTING");
    case QVarvexCommandConnected:
        return QStringLiteral("CONNECTED");
    case QVarvexCommandDisconnecting:
        return QStringLiteral("DISCONNECTING");
    case QVarvexCommandDisconnected:
        return QStringLiteral("DISCONNECTED");
    case QVarvexCommandReconnecting:
        return QStringLiteral("RECONNECTING");
    default:
        return QStringLiteral("UNKNOWN");
    }
}

static bool connected(const CtlStatus& status)
{
    return status.code == QVarvexCommandConnected;
}

static QString isoTime(quint32 seconds)
{
    return QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC).toString(Qt::ISODate);
}

QJsonObject statusJson(const CtlStatus& status)
{
    QJsonObject object;
    object.insert(QStringLiteral("state"), stateWord(status.code).toLower());
    object.insert(QStringLiteral("code"), status.code);
    object.insert(QStringLiteral("address"), connected(status) && !status.address.isEmpty()
                                                 ? QJsonValue(QString::fromLatin1(status.address))
                                                 : QJsonValue(QJsonValue::Null));
    object.insert(QStringLiteral("connected_since"), connected(status) && status.since != 0
                                                         ? QJsonValue(isoTime(status.since))
                                                         : QJsonValue(QJsonValue::Null));
    return object;
}

QString elapsed(qint64 seconds)
{
    if (seconds < 0)
        seconds = 0;
    return QStringLiteral("%1:%2:%3")
        .arg(seconds / 3600, 2, 10, QLatin1Char('0'))
        .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

QString statusText(const CtlStatus& status, const QDateTime& now)
{
    QString text = QStringLiteral("State:     %1\n").arg(stateWord(status.code));
    if (!connected(status))
        return text;
    text += QStringLiteral("Address:   %1\n").arg(QString::fromLatin1(status.address));
    if (status.since != 0)
        text += QStringLiteral("Connected: %1 (since %2)\n")
                    .arg(elapsed(now.toSecsSinceEpoch() - qint64(status.since)), isoTime(status.since));
    return text;
}

QString bitrate(quint64 bitsPerSecond)
{
    if (bitsPerSecond < 1000)
        return QStringLiteral("%1 bit/s").arg(bitsPerSecond);
    static const char* const units[] = {"kbit/s", "Mbit/s", "Gbit/s"};
    double value = double(bitsPerSecond) / 1000.0;
    int unit = 0;
    while (value >= 1000.0 && unit < 2) {
        value /= 1000.0;
        ++unit;
    }
    return QStringLiteral("%1 %2").arg(value, 0, 'f', value < 100.0 ? 2 : 1).arg(QLatin1String(units[unit]));
}

QString statusLine(const CtlStatus& status, const QTime& time)
{
    QString line = time.toString(QStringLiteral("HH:mm:ss")) + QLatin1Char(' ') + stateWord(status.code);
    if (connected(status) && !status.address.isEmpty())
        line += QLatin1Char(' ') + QString::fromLatin1(status.address);
    return line;
}

QString bandwidthLine(quint64 downBits, quint64 upBits, const QTime& time)
{
    return QStringLiteral("%1 down %2, up %3")
        .arg(time.toString(QStringLiteral("HH:mm:ss")), bitrate(downBits), bitrate(upBits));
}

QJsonArray serversJson(const QList<CtlServer>& servers)
{
    QJsonArray array;
    for (const CtlServer& server : servers) {
        QJsonObject object;
        object.insert(QStringLiteral("name"), server.info.name);
        object.insert(QStringLiteral("code"), server.info.code);
        object.insert(QStringLiteral("host"), server.info.hostname);
        object.insert(QStringLiteral("ping"), server.ping >= 1 ? QJsonValue(server.ping) : QJsonValue(QJsonValue::Null));
        array.append(object);
    }
    return array;
}

QString serversText(const QList<CtlServer>& servers)
{
    QList<QStringList> rows;
    rows << QStringList({QStringLiteral("NAME"), QStringLiteral("CODE"), QStringLiteral("HOST"), QStringLiteral("PING")});
    for (const CtlServer& server : servers)
        rows << QStringList({server.info.name, server.info.code, server.info.hostname,
                             server.ping >= 1 ? QStringLiteral("%1 ms").arg(server.ping) : QStringLiteral("---")});
    int widths[3] = {0, 0, 0};
    for (const QStringList& row : qAsConst(rows))
        for (int column = 0; column < 3; ++column)
            widths[column] = qMax(widths[column], row.at(column).size());
    QString text;
    for (const QStringList& row : qAsConst(rows)) {
        for (int column = 0; column < 3; ++column)
            text += row.at(column).leftJustified(widths[column] + 2);
        text += row.at(3) + QLatin1Char('\n');
    }
    return text;
}

QByteArray jsonLine(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

} // namespace CtlFormat
