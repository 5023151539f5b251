#include "adaptercounters.h"

#include <QFile>

namespace {

// Reads /proc/net/dev: one line per interface, "name: rx-bytes ... tx-bytes ...".
// On Linux an adapter's name and description are both its interface name.
bool readProcNetDev(QList<InterfaceCounters>* rows)
{
    QFile file(QStringLiteral("/proc/net/dev"));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray& line : lines) {
        const int colon = line.indexOf(':');
        if (colon < 0)
            continue;
        const QByteArray name = line.left(colon).trimmed();
        const QList<QByteArray> fields = line.mid(colon + 1).simplified().split(' ');
        if (name.isEmpty() || fields.size() < 9)
            continue;
        InterfaceCounters row;
        row.description = name;
        row.inOctets = quint32(fields.at(0).toULongLong());
        row.outOctets = quint32(fields.at(8).toULongLong());
        rows->append(row);
    }
    return true;
}

class ProcNetDevSource : public AdapterCounterSource
{
public:
    bool adapters(QList<AdapterInfo>* list) override
    {
        QList<InterfaceCounters> rows;
        if (!readProcNetDev(&rows))
            return false;
        for (const InterfaceCounters& row : rows)
            list->append(AdapterInfo{row.description, row.description});
        return true;
    }

    bool interfaceTable(QList<InterfaceCounters>* rows) override
    {
        return readProcNetDev(rows);
    }
};

} // namespace

AdapterCounterSource* systemAdapterCounterSource()
{
    static ProcNetDevSource source;
    return &source;
}
