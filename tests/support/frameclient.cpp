#include "frameclient.h"

#include <QElapsedTimer>

bool FrameClient::connectTo(const QString& name, int timeoutMs)
{
    m_socket.connectToServer(name);
    return m_socket.waitForConnected(timeoutMs);
}

void FrameClient::send(const QByteArray& bytes)
{
    m_socket.write(bytes);
    m_socket.flush();
}

QList<QByteArray> FrameClient::frames()
{
    m_reader.append(m_socket.readAll());
    QByteArray frame;
    while (m_reader.next(&frame) == VarvexFrameReader::Frame)
        m_frames.append(frame);
    return m_frames;
}

QList<QByteArray> FrameClient::framesWithCode(quint8 code)
{
    QList<QByteArray> result;
    for (const QByteArray& frame : frames()) {
        if (VarvexFrame::code(frame) == code)
            result.append(frame);
    }
    return result;
}

QByteArray FrameClient::waitForFrame(quint8 code, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        const QList<QByteArray> found = framesWithCode(code);
        if (!found.isEmpty())
            return found.first();
        if (timer.elapsed() >= timeoutMs)
            return QByteArray();
        m_socket.waitForReadyRead(100);
    }
}

QByteArray FrameClient::statusBytes()
{
    QByteArray result;
    for (const QByteArray& frame : framesWithCode(VARVEX_CMD_STATUS_UPDATE))
        result.append(frame.at(3));
    return result;
}

void FrameClient::clear()
{
    frames();
    m_frames.clear();
}
