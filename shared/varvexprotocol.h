#ifndef VARVEXPROTOCOL_H
#define VARVEXPROTOCOL_H

#include <QByteArray>
#include <QtGlobal>

// Frame layout on the local socket between client and service:
// START, N (whole frame length), code, payload, END.
const quint8 VARVEX_PACKET_START = 0x01;
const quint8 VARVEX_PACKET_END = 0x02;
const int VARVEX_PACKET_MIN_SIZE = 4;
const int VARVEX_PACKET_MAX_SIZE = 255;
const int VARVEX_PACKET_MAX_PAYLOAD = VARVEX_PACKET_MAX_SIZE - VARVEX_PACKET_MIN_SIZE;

// Requests, client to service.
const quint8 VARVEX_CMD_STATUS_REQUEST = 1;
const quint8 VARVEX_CMD_CONNECT_REQUEST = 3;
const quint8 VARVEX_CMD_ABORT_REQUEST = 5;
const quint8 VARVEX_CMD_SERVER_LIST_REQUEST = 7;
const quint8 VARVEX_CMD_CREDENTIALS_REQUEST = 9;
const quint8 VARVEX_CMD_UPDATE_CA_FILE_REQUEST = 11;

// Replies and notifications, service to client.
const quint8 VARVEX_CMD_CREDENTIALS_REPLY = 10;
const quint8 VARVEX_CMD_STATUS_UPDATE = 13;
const quint8 VARVEX_CMD_BANDWIDTH_UPDATE = 14;
const quint8 VARVEX_CMD_LOGIN_FAILED = 15;

// Connection status codes: an int in the service, one byte in a status
// update, a char in the client.
enum QVarvexCommandStatus {
    QVarvexCommandConnecting = 0,    // OpenVPN started, tunnel not up yet
    QVarvexCommandConnected = 1,     // tunnel up
    QVarvexCommandDisconnecting = 2, // stop requested while connected
    QVarvexCommandDisconnected = 3,  // no OpenVPN process; the initial value
    QVarvexCommandReconnecting = 4   // OpenVPN ended unasked; a reconnect timer waits
};

// First byte of a bandwidth update: what its two counts measure.
enum VarvexBandwidthKind {
    VarvexBandwidthAllInterfaces = 0, // octets over all interfaces since the previous sample
    VarvexBandwidthTunnel = 1         // the tunnel adapter's running totals
};

namespace VarvexFrame {

// Builds a whole frame. The caller must keep the payload within
// VARVEX_PACKET_MAX_PAYLOAD; see fits().
QByteArray build(quint8 code, const QByteArray& payload = QByteArray());

// True when a payload of this size still makes a frame of at most 255 bytes.
inline bool fits(int payloadSize) { return payloadSize >= 0 && payloadSize <= VARVEX_PACKET_MAX_PAYLOAD; }

// A field is one length byte followed by that many bytes. Returns false
// (and appends nothing) when the data is longer than 255 bytes.
bool appendField(QByteArray& payload, const QByteArray& data);

// Takes one field from the front of the payload: the first byte is the
// length (0 when nothing is left), then up to that many bytes.
QByteArray takeField(QByteArray& payload);

// The code byte and the payload of a frame the reader has accepted.
inline quint8 code(const QByteArray& frame) { return quint8(frame.at(2)); }
inline QByteArray payload(const QByteArray& frame) { return frame.mid(3, frame.size() - VARVEX_PACKET_MIN_SIZE); }

void appendUInt32(QByteArray& payload, quint32 value);
// Reads a little-endian 32-bit value at offset; missing bytes count as 0.
quint32 readUInt32(const QByteArray& data, int offset);

} // namespace VarvexFrame

// Cuts complete frames from the front of a per-connection receive buffer.
// Work is linear in the bytes received: frames are read at an advancing
// offset and consumed bytes are dropped only once they make up most of
// the buffer, so a burst of many small frames is never copied repeatedly.
class VarvexFrameReader
{
public:
    enum Result {
        NeedMore,  // no complete frame buffered; the bytes stay for later
        Frame,     // *frame holds one well-formed frame
        TooShort,  // length byte below 4; everything buffered was discarded
        BadStart,  // frame dropped: first byte is not VARVEX_PACKET_START
        BadEnd     // frame dropped: last byte is not VARVEX_PACKET_END
    };

    void append(const QByteArray& bytes);
    Result next(QByteArray* frame);
    int bufferedSize() const { return m_buffer.size() - m_offset; }
    void clear();

private:
    void compact();

    QByteArray m_buffer;
    int m_offset = 0;
};

#endif // VARVEXPROTOCOL_H
