#ifndef ADAPTERCOUNTERS_H
#define ADAPTERCOUNTERS_H

#include <QByteArray>
#include <QList>
#include <QtGlobal>

// The system's network adapters and their traffic counters, as the
// bandwidth monitor needs them. Octet counters are the low 32 bits of the
// system's counters, so they wrap.
struct AdapterInfo
{
    QByteArray name;        // what the controller knows the tunnel adapter by
    QByteArray description;
};

struct InterfaceCounters
{
    QByteArray description;
    quint32 inOctets = 0;
    quint32 outOctets = 0;
};

class AdapterCounterSource
{
public:
    virtual ~AdapterCounterSource() = default;

    virtual bool adapters(QList<AdapterInfo>* list) = 0;
    virtual bool interfaceTable(QList<InterfaceCounters>* rows) = 0;

    // The source in use: the system's unless a test installed another.
    static AdapterCounterSource* current();
    // Installs a source (not owned); null restores the system's.
    static void setCurrent(AdapterCounterSource* source) { installed() = source; }

private:
    static AdapterCounterSource*& installed()
    {
        static AdapterCounterSource* source = nullptr;
        return source;
    }
};

// This platform's source.
AdapterCounterSource* systemAdapterCounterSource();

inline AdapterCounterSource* AdapterCounterSource::current()
{
    return installed() ? installed() : systemAdapterCounterSource();
}

#endif // ADAPTERCOUNTERS_H
