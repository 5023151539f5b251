#include "varvexprotocol.h"

namespace VarvexFrame {

QByteArray build(quint8 code, const QByteArray& payload)
{
    QByteArray frame;
    frame.reserve(payload.size() + VARVEX_PACKET_MIN_SIZE);
    frame.append(char(VARVEX_PACKET_START));
    frame.append(char(code));
    frame.append(payload);
    frame.append(char(VARVEX_PACKET_END));
    frame.insert(1, char(quint8(frame.size() + 1)));
    return frame;
}

bool appendField(QByteArray& payload, const QByteArray& data)
{
    if (data.size() > 255)
        return false;
    payload.append(char(quint8(data.size())));
    payload.append(data);
    return true;
}

QByteArray takeField(QByteArray& payload)
{
    if (payload.isEmpty())
        return QByteArray();
    const int length = quint8(payload.at(0));
    const QByteArray field = payload.mid(1, length);
    payload.remove(0, 1 + field.size());
    return field;
}

void appendUInt32(QByteArray& payload, quint32 value)
{
    for (int i = 0; i < 4; ++i)
        payload.append(char(quint8(value >> (8 * i))));
}

quint32 readUInt32(const QByteArray& data, int offset)
{
    quint32 value = 0;
    for (int i = 0; i < 4; ++i) {
        const int at = offset + i;
        if (at >= 0 && at < data.size())
            value |= quint32(quint8(data.at(at))) << (8 * i);
    }
    return value;
}

} // namespace VarvexFrame

void VarvexFrameReader::append(const QByteArray& bytes)
{
    compact();
    m_buffer.append(bytes);
}

void VarvexFrameReader::clear()
{
    m_buffer.clear();
    m_offset = 0;
}

void VarvexFrameReader::compact()
{
    // Dropping the consumed front costs a copy of what is left; doing it only
    // when the consumed part is at least half the buffer keeps the total work
    // linear in the bytes received.
    if (m_offset == 0)
        return;
    if (m_offset >= m_buffer.size()) {
        clear();
    } else if (m_offset * 2 >= m_buffer.size()) {
        m_buffer.remove(0, m_offset);
        m_offset = 0;
    }
}

VarvexFrameReader::Result VarvexFrameReader::next(QByteArray* frame)
{
    if (bufferedSize() < VARVEX_PACKET_MIN_SIZE)
        return NeedMore;
    const int length = quint8(m_buffer.at(m_offset + 1));
    if (length > bufferedSize())
        return NeedMore;
    if (length < VARVEX_PACKET_MIN_SIZE) {
        // No way to find the next frame boundary: drop everything buffered.
        clear();
        return TooShort;
    }
    const int start = m_offset;
    m_offset += length;
    if (quint8(m_buffer.at(start)) != VARVEX_PACKET_START)
        return BadStart;
    if (quint8(m_buffer.at(start + length - 1)) != VARVEX_PACKET_END)
        return BadEnd;
    if (frame)
        *frame = m_buffer.mid(start, length);
    return Frame;
}
