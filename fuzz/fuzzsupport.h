#ifndef FUZZSUPPORT_H
#define FUZZSUPPORT_H

#include <QByteArray>
#include <QCoreApplication>
#include <QList>
#include <QtGlobal>

#include <cstdint>

#include "fuzzcheck.h"
#include "varvexlog.h"

namespace FuzzSupport {

// An application object for the classes that need one, no log file and no
// Qt warnings: a fuzzer runs millions of inputs.
inline void quietApplication(int* argc, char*** argv)
{
    static QCoreApplication* application = nullptr;
    if (!application)
        application = new QCoreApplication(*argc, *argv);
    setupLog(LOG_CRITICAL + 1, true);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) { });
}

// The input cut into pieces whose sizes follow from the input itself, so
// that a stream is also read as it arrives from a socket or pipe: split
// anywhere, the same every time the same input runs.
inline QList<QByteArray> pieces(const QByteArray& data)
{
    QList<QByteArray> result;
    quint32 state = 2166136261u;
    for (char c : data)
        state = (state ^ quint8(c)) * 16777619u;
    int at = 0;
    while (at < data.size()) {
        state = state * 1103515245u + 12345u;
        const int size = 1 + int((state >> 16) % 17);
        result.append(data.mid(at, size));
        at += size;
    }
    return result;
}

} // namespace FuzzSupport

#endif // FUZZSUPPORT_H
