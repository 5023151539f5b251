#include "qvarvexserviceconnection.h"

#include "localsocketpath.h"
#include "qvpncredentialscrypt.h"
#include "servicepeer.h"

namespace {

const QString serviceName = QStringLiteral("Varvex");
const int connectTimeoutMs = 100;

// Values of m_pendingRequest, one per request slot.
enum PendingRequest {
    NoRequest = 0,
    StatusRequest = 1,
    ConnectRequest = 2,
    AbortRequest = 3,
    ServerListRequest = 4,
    CredentialsRequest = 5,
    UpdateCAFileRequest = 6
};

} // namespace

QVarvexServiceConnection::QVarvexServiceConnection(QObject* parent)
    : QObject(parent)
{
    connect(&m_socket, &QLocalSocket::readyRead, this, &QVarvexServiceConnection::socket_readyRead);
    connect(&m_socket, &QLocalSocket::disconnected, this, &QVarvexServiceConnection::socket_disconnected);
}

QVarvexServiceConnection::~QVarvexServiceConnection()
{
    m_closing = true;
    // The socket outlives this destructor's body; its shutdown must not
    // reach the slots of a half-destroyed object.
    disconnect(&m_socket, nullptr, this, nullptr);
    m_socket.abort();
    m_buffer.clear();
}

bool QVarvexServiceConnection::connectToService()
{
    m_closing = false;
    m_socket.connectToServer(LocalSocketPath::forName(serviceName), QIODevice::ReadWrite);
    m_socket.waitForConnected(connectTimeoutMs);
    if (!m_socket.isOpen())
        return false;
    // Checked before anything is sent: the first request may carry the
    // user's password.
    m_refusal.clear();
    if (!ServicePeer::isTrusted(m_socket.socketDescriptor(), &m_refusal)) {
        m_closing = true;
        m_socket.abort();
        return false;
    }
    return true;
}

void QVarvexServiceConnection::disconnectFromService()
{
    m_closing = true;
    // Requests still buffered go out first; a short-lived client may end
    // right after this.
    m_socket.flush();
    m_socket.disconnectFromServer();
}

bool QVarvexServiceConnection::beginRequest(const char* method)
{
    if (!m_socket.isOpen()) {
        emit error(QStringLiteral("VarvexServiceConnection is not open for method %1").arg(QLatin1String(method)));
        return false;
    }
    return true;
}

void QVarvexServiceConnection::sendRequest(const char* method, quint8 code, int pending, const QByteArray& payload)
{
    if (m_pendingRequest != NoRequest)
        emit error(QStringLiteral("VarvexServiceConnection was not idle for method %1").arg(QLatin1String(method)));
    const QByteArray frame = VarvexFrame::build(code, payload);
    m_pendingRequest = pending;
    m_socket.write(frame);
}

void QVarvexServiceConnection::sendStatusRequest()
{
    if (!beginRequest("sendStatusRequest"))
        return;
    sendRequest("sendStatusRequest", VARVEX_CMD_STATUS_REQUEST, StatusRequest);
    m_closing = true;
}

bool QVarvexServiceConnection::buildConnectPayload(const QByteArray& host, const QByteArray& credentials,
                                                   QByteArray* payload)
{
    return VarvexFrame::appendField(*payload, host) && VarvexFrame::appendField(*payload, credentials)
           && VarvexFrame::fits(payload->size());
}

bool QVarvexServiceConnection::connectRequestFits(const QString& host, const QString& username,
                                                  const QString& password)
{
    QByteArray payload;
    return buildConnectPayload(host.toUtf8(), QVPNCredentialsCrypt::encodeUserPass(username, password), &payload);
}

void QVarvexServiceConnection::sendConnectToVPNRequest(QString host, QString username, QString password)
{
    static const char method[] = "sendConnectToVPNRequest";
    if (!beginRequest(method))
        return;
    const QByteArray hostBytes = host.toUtf8();
    const QByteArray credentials = QVPNCredentialsCrypt::encodeUserPass(username, password);

    // Cut down, either field would reach the service as a different host or
    // as credentials that fail to decode; better to send nothing and say why.
    QByteArray payload;
    if (!buildConnectPayload(hostBytes, credentials, &payload)) {
        emit error(QStringLiteral("VarvexServiceConnection can't send method %1: the host name and credentials "
                                  "take %2 bytes, more than the %3 a request can carry")
                       .arg(QLatin1String(method))
                       .arg(hostBytes.size() + credentials.size())
                       .arg(VARVEX_PACKET_MAX_PAYLOAD - 2));
        return;
    }
    sendRequest(method, VARVEX_CMD_CONNECT_REQUEST, ConnectRequest, payload);
}

void QVarvexServiceConnection::sendAbortRequest()
{
    if (beginRequest("sendAbortRequest"))
        sendRequest("sendAbortRequest", VARVEX_CMD_ABORT_REQUEST, AbortRequest);
}

void QVarvexServiceConnection::sendServerListRequest()
{
    if (beginRequest("sendServerListRequest"))
        sendRequest("sendServerListRequest", VARVEX_CMD_SERVER_LIST_REQUEST, ServerListRequest);
}

void QVarvexServiceConnection::sendCredentialsRequest()
{
    if (beginRequest("sendCredentialsRequest"))
        sendRequest("sendCredentialsRequest", VARVEX_CMD_CREDENTIALS_REQUEST, CredentialsRequest);
}

void QVarvexServiceConnection::sendUpdateCAFileRequest()
{
    if (beginRequest("sendUpdateCAFileRequest"))
        sendRequest("sendUpdateCAFileRequest", VARVEX_CMD_UPDATE_CA_FILE_REQUEST, UpdateCAFileRequest);
}

void QVarvexServiceConnection::socket_readyRead()
{
    // Bytes that arrive while a handler runs a nested event loop (the window
    // shows a message box) raise no second readyRead: read until none are left.
    do {
        receive(m_socket.readAll());
    } while (m_socket.bytesAvailable() > 0);
}

void QVarvexServiceConnection::receive(const QByteArray& bytes)
{
    m_buffer.append(bytes);
    QByteArray frame;
    VarvexFrameReader::Result result;
    // Bad frames are dropped without a word; the reader has already
    // stepped past them.
    while ((result = m_buffer.next(&frame)) != VarvexFrameReader::NeedMore) {
        if (result == VarvexFrameReader::Frame)
            dispatchFrame(frame);
    }
}

void QVarvexServiceConnection::dispatchFrame(const QByteArray& frame)
{
    const quint8 code = VarvexFrame::code(frame);
    // Fields are read from the payload only, so a length byte that claims
    // more than the frame holds never pulls in the end marker.
    QByteArray payload = VarvexFrame::payload(frame);

    switch (code) {
    case VARVEX_CMD_CREDENTIALS_REPLY: {
        // A reply without its field carries an empty text; it still answers
        // the request.
        const QByteArray text = VarvexFrame::takeField(payload);
        emit credentials(text);
        m_pendingRequest = NoRequest;
        break;
    }
    case VARVEX_CMD_STATUS_UPDATE: {
        if (payload.isEmpty())
            return;
        const char status = payload.at(0);
        if (status == QVarvexCommandConnected) {
            payload.remove(0, 1);
            const QByteArray address = VarvexFrame::takeField(payload);
            const quint32 connectTime = VarvexFrame::readUInt32(payload, 0);
            emit assignedIP(address);
            emit startTime(connectTime);
        }
        emit notifyStatusChange(status);
        break;
    }
    case VARVEX_CMD_BANDWIDTH_UPDATE:
        if (payload.size() < 9)
            return;
        handleBandwidth(quint8(payload.at(0)), VarvexFrame::readUInt32(payload, 1), VarvexFrame::readUInt32(payload, 5));
        break;
    case VARVEX_CMD_LOGIN_FAILED:
        emit loginFailed();
        break;
    default:
        break;
    }
}

void QVarvexServiceConnection::handleBandwidth(quint8 status, quint32 download, quint32 upload)
{
    if (status != m_lastBandwidthStatus) {
        m_lastBandwidthStatus = status;
        m_lastDownload = download;
        m_lastUpload = upload;
    } else {
        if (m_lastDownload == 0)
            m_lastDownload = download;
        if (m_lastUpload == 0)
            m_lastUpload = upload;
    }
    // Anything but the all-interfaces kind carries running totals; that one
    // is the traffic since the previous sample already.
    if (status != VarvexBandwidthAllInterfaces)
        emit updateBandwidth(status, download - m_lastDownload, upload - m_lastUpload);
    else
        emit updateBandwidth(VarvexBandwidthAllInterfaces, download, upload);
    m_lastDownload = download;
    m_lastUpload = upload;
}

void QVarvexServiceConnection::socket_disconnected()
{
    if (m_closing)
        return;
    emit serviceLost();
}
