#ifndef FRAMECLIENT_H
#define FRAMECLIENT_H

#include <QByteArray>
#include <QList>
#include <QLocalSocket>
#include <QString>

#include "varvexprotocol.h"

// A client end of the local socket that collects whole frames.
class FrameClient
{
public:
    bool connectTo(const QString& name, int timeoutMs = 1000);
    void send(const QByteArray& bytes);
    // Frames received so far (the event loop must run to receive more).
    QList<QByteArray> frames();
    QList<QByteArray> framesWithCode(quint8 code);
    // The first frame with the code, read for up to timeoutMs without the
    // event loop; empty when none came.
    QByteArray waitForFrame(quint8 code, int timeoutMs);
    // The status byte of every status update received, in order.
    QByteArray statusBytes();
    void clear();
    QLocalSocket& socket() { return m_socket; }

private:
    QLocalSocket m_socket;
    VarvexFrameReader m_reader;
    QList<QByteArray> m_frames;
};

// Frames in tests are written as hexadecimal text.
inline QByteArray fromHex(const char* hex)
{
    return QByteArray::fromHex(QByteArray(hex));
}

#endif // FRAMECLIENT_H
