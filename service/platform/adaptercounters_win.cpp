#include "adaptercounters.h"

#include <windows.h>

#include <iphlpapi.h>

#include <vector>

// Windows: IP Helper. Adapters are known by their name (the GUID of the
// TAP adapter, braces included) and matched to the interface table by the
// description, which is what the two tables have in common.
namespace {

// The tables grow between the size query and the read when an adapter
// comes up in between: ask again a few times.
const int kAttempts = 4;
// No real machine has tables near this size; a bound for a bad answer.
const ULONG kMaxTableBytes = 16 * 1024 * 1024;

QByteArray fixedText(const char* text, size_t capacity)
{
    return QByteArray(text, int(qstrnlen(text, uint(capacity))));
}

QByteArray fixedText(const unsigned char* text, DWORD length, size_t capacity)
{
    const size_t bounded = qMin<size_t>(length, capacity);
    // The description counts its closing NUL on some systems.
    return QByteArray(reinterpret_cast<const char*>(text), int(qstrnlen(reinterpret_cast<const char*>(text), uint(bounded))));
}

class IpHelperSource : public AdapterCounterSource
{
public:
    bool adapters(QList<AdapterInfo>* list) override
    {
        std::vector<unsigned char> buffer(16 * 1024);
        for (int attempt = 0; attempt < kAttempts; ++attempt) {
            ULONG size = ULONG(buffer.size());
            const DWORD result = GetAdaptersInfo(reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data()), &size);
            if (result == ERROR_NO_DATA)
                return true;
            if (result == ERROR_BUFFER_OVERFLOW && size <= kMaxTableBytes) {
                buffer.resize(size);
                continue;
            }
            if (result != NO_ERROR)
                return false;
            for (auto* adapter = reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data()); adapter; adapter = adapter->Next)
                list->append(AdapterInfo{fixedText(adapter->AdapterName, sizeof(adapter->AdapterName)),
                                         fixedText(adapter->Description, sizeof(adapter->Description))});
            return true;
        }
        return false;
    }

    bool interfaceTable(QList<InterfaceCounters>* rows) override
    {
        std::vector<unsigned char> buffer(16 * 1024);
        for (int attempt = 0; attempt < kAttempts; ++attempt) {
            ULONG size = ULONG(buffer.size());
            const DWORD result = GetIfTable(reinterpret_cast<MIB_IFTABLE*>(buffer.data()), &size, FALSE);
            if (result == ERROR_INSUFFICIENT_BUFFER && size <= kMaxTableBytes) {
                buffer.resize(size);
                continue;
            }
            if (result != NO_ERROR)
                return false;
            const auto* table = reinterpret_cast<const MIB_IFTABLE*>(buffer.data());
            for (DWORD i = 0; i < table->dwNumEntries; ++i) {
                const MIB_IFROW& row = table->table[i];
                InterfaceCounters counters;
                counters.description = fixedText(row.bDescr, row.dwDescrLen, sizeof(row.bDescr));
                counters.inOctets = quint32(row.dwInOctets);
                counters.outOctets = quint32(row.dwOutOctets);
                rows->append(counters);
            }
            return true;
        }
        return false;
    }
};

} // namespace

AdapterCounterSource* systemAdapterCounterSource()
{
    static IpHelperSource source;
    return &source;
}
