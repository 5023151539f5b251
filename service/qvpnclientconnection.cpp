#include "qvpnclientconnection.h"

#include <QLocalSocket>

#include "controlcharacters.h"
#include "clientaccess.h"
#include "qvarvexcommand.h"
#include "qvpncredentials.h"
#include "qvpncredentialscrypt.h"
#include "qvpnserver.h"
#include "varvexlog.h"

namespace {
const QString ReadyReadName = QStringLiteral("socket_readyRead");
const QString NotOpened = QStringLiteral("%1 - Connection is NOT opened.");

// On Linux a local socket whose client has gone stays an open device until
// it is closed; only its state tells that nothing can reach the client.
bool isOpenToClient(const QLocalSocket* socket)
{
    return socket->isOpen() && socket->state() == QLocalSocket::ConnectedState;
}

} // namespace

QVPNClientConnection::QVPNClientConnection(QObject* parent, quintptr socketDescriptor)
    : QThread(parent)
    , m_socketDescriptor(socketDescriptor)
    , m_socket(nullptr)
{
    writeLog(QStringLiteral("QVPNClientConnection"), LOG_INFORMATION);
    m_socket = new QLocalSocket(this);
    const bool adopted = m_socket->setSocketDescriptor(m_socketDescriptor, QLocalSocket::ConnectedState, QIODevice::ReadWrite);
    m_socket->setReadBufferSize(ReceiveBufferLimit);
    m_lastDrain.start();
    connect(m_socket, SIGNAL(readyRead()), this, SLOT(socket_readyRead()));
    connect(m_socket, SIGNAL(bytesWritten(qint64)), this, SLOT(socket_bytesWritten()));
    if (!adopted || !m_socket->isOpen())
        writeLog(QStringLiteral("Can't open connection to client app."), LOG_CRITICAL);
}

QVPNClientConnection::~QVPNClientConnection()
{
    writeLog(QStringLiteral("~QVPNClientConnection"), LOG_INFORMATION);
    // Destroying a running thread object aborts the process.
    if (isRunning()) {
        quit();
        wait();
    }
}

QLocalSocket* QVPNClientConnection::socket()
{
    writeLog(QStringLiteral("socket"), LOG_INFORMATION);
    return m_socket;
}

void QVPNClientConnection::run()
{
    writeLog(QStringLiteral("run"), LOG_INFORMATION);
    exec();
}

void QVPNClientConnection::socket_readyRead()
{
    writeLog(ReadyReadName, LOG_INFORMATION);
    serveFrames();
}

void QVPNClientConnection::socket_bytesWritten()
{
    m_lastDrain.start();
    // Requests wait while the client is not reading; go on once it has
    // taken a good part of what waits for it.
    if (m_waitingForOutput && m_socket->bytesToWrite() <= OutputLimit / 2) {
        m_waitingForOutput = false;
        serveFrames();
    }
}

void QVPNClientConnection::fillBuffer()
{
    const qint64 room = ReceiveBufferLimit - m_buffer.bufferedSize();
    if (room > 0 && m_socket->bytesAvailable() > 0)
        m_buffer.append(m_socket->read(room));
}

void QVPNClientConnection::scheduleTurn()
{
    if (m_turnScheduled)
        return;
    m_turnScheduled = true;
    QMetaObject::invokeMethod(this, [this]() {
        m_turnScheduled = false;
        serveFrames();
    }, Qt::QueuedConnection);
}

void QVPNClientConnection::serveFrames()
{
    if (m_waitingForOutput)
        return;
    fillBuffer();
    QByteArray frame;
    for (int served = 0;; ++served) {
        if (m_socket->bytesToWrite() >= OutputLimit) {
            m_waitingForOutput = true;
            return;
        }
        if (served == FramesPerTurn) {
            scheduleTurn();
            return;
        }
        const VarvexFrameReader::Result result = m_buffer.next(&frame);
        switch (result) {
        case VarvexFrameReader::NeedMore:
            if (m_socket->bytesAvailable() == 0)
                return;
            fillBuffer();
            break;
        case VarvexFrameReader::TooShort:
            m_log.write(QStringLiteral("%1 - Something arrived, but it's less than 4 bytes. Strange!").arg(ReadyReadName), LOG_WARNING);
            break;
        case VarvexFrameReader::BadStart:
            m_log.write(QStringLiteral("%1 - command[0] != VARVEX_PACKET_START").arg(ReadyReadName), LOG_CRITICAL);
            break;
        case VarvexFrameReader::BadEnd:
            m_log.write(QStringLiteral("%1 - command[command.length() - 1] != VARVEX_PACKET_END").arg(ReadyReadName), LOG_CRITICAL);
            break;
        case VarvexFrameReader::Frame:
            dispatch(frame);
            break;
        }
    }
}

void QVPNClientConnection::dispatch(const QByteArray& frame)
{
    switch (VarvexFrame::code(frame)) {
    case VARVEX_CMD_STATUS_REQUEST:
        emit getStatus();
        break;
    case VARVEX_CMD_CONNECT_REQUEST:
        connectRequest(frame);
        break;
    case VARVEX_CMD_ABORT_REQUEST:
        emit stopVPN();
        break;
    case VARVEX_CMD_SERVER_LIST_REQUEST:
        break;
    case VARVEX_CMD_CREDENTIALS_REQUEST:
        credentialsRequest();
        break;
    case VARVEX_CMD_UPDATE_CA_FILE_REQUEST:
        writeLog(QStringLiteral("%1 - Update CA file not implemented yet!").arg(ReadyReadName), LOG_DEBUG);
        break;
    default:
        m_log.write(QStringLiteral("%1 - Unknown command recieved.").arg(ReadyReadName), LOG_CRITICAL);
        break;
    }
}

void QVPNClientConnection::connectRequest(const QByteArray& frame)
{
    QString host;
    QString username;
    QString password;
    if (readConnectRequest(frame, &host, &username, &password))
        emit startVPN(host, username, password);
}

bool QVPNClientConnection::readConnectRequest(const QByteArray& frame, QString* host, QString* username,
                                              QString* password)
{
    QByteArray payload = VarvexFrame::payload(frame);
    const QByteArray hostField = VarvexFrame::takeField(payload);
    const QByteArray credentials = VarvexFrame::takeField(payload);
    const QString blob = QString::fromUtf8(credentials.constData(), qstrnlen(credentials.constData(), uint(credentials.size())));

    if (!QVPNCredentialsCrypt::decodeUserPass(blob, *username, *password)) {
        writeLog(QStringLiteral("%1 - QVPNCredentialsCrypt::decodeUserPass check failed.").arg(ReadyReadName), LOG_DEBUG);
        return false;
    }
    *host = QString::fromUtf8(hostField.constData(), hostField.size());
    if (containsControlCharacter(*host) || containsControlCharacter(*username) || containsControlCharacter(*password)) {
        writeLog(QStringLiteral("%1 - Connect request with a control character in the host, user name or password refused.")
                     .arg(ReadyReadName), LOG_DEBUG);
        return false;
    }
    return true;
}

void QVPNClientConnection::credentialsRequest()
{
    QByteArray text;
    // The socket may be open to every local user; the credentials are not.
    QString peer;
    if (!ClientAccess::peerMayReadCredentials(m_socket->socketDescriptor(), &peer)) {
        writeLog(QStringLiteral("%1 - Credentials request refused: %2 is neither root nor a member of the group %3.")
                     .arg(ReadyReadName, peer, ClientAccess::groupName()), LOG_WARNING);
    } else {
        QVPNCredentials store;
        text = store.credentials().toUtf8();
    }
    // A frame holds at most 250 bytes of text in this reply; a longer stored
    // text cannot be sent whole, and a cut one would be useless.
    if (!VarvexFrame::fits(text.size() + 1)) {
        m_log.write(QStringLiteral("%1 - Stored credentials are too long for one frame (%2 bytes); replying with an empty field.")
                        .arg(ReadyReadName).arg(text.size()), LOG_ERROR);
        text.clear();
    }
    QByteArray payload;
    VarvexFrame::appendField(payload, text);
    send(VarvexFrame::build(VARVEX_CMD_CREDENTIALS_REPLY, payload));
}

void QVPNClientConnection::send(const QByteArray& frame)
{
    // Hand the frame to the system now rather than at the next turn of the
    // event loop, which may first start a process or serve other clients.
    m_socket->write(frame);
    m_socket->flush();
}

bool QVPNClientConnection::canNotify(const QString& slotName)
{
    if (!isOpenToClient(m_socket)) {
        m_log.write(NotOpened.arg(slotName), LOG_CRITICAL);
        return false;
    }
    // Output this full means the system's socket buffer is full as well. A
    // client that still reads (it floods requests, say) gets its
    // notifications; one that has stopped reading would grow the service
    // without bound.
    const qint64 unsent = m_socket->bytesToWrite();
    const bool stalled = !m_lastDrain.isValid() || m_lastDrain.hasExpired(OutputStallMs);
    if ((unsent >= OutputLimit && stalled) || unsent >= 2 * OutputLimit) {
        writeLog(QStringLiteral("%1 - Client does not read what is sent to it (%2 bytes unsent); closing the connection.")
                     .arg(slotName).arg(unsent), LOG_WARNING);
        m_socket->abort();
        return false;
    }
    return true;
}

void QVPNClientConnection::statusUpdate(int status)
{
    writeLog(QStringLiteral("statusUpdate"), LOG_INFORMATION);
    if (!canNotify(QStringLiteral("statusUpdate")))
        return;
    QByteArray payload;
    payload.append(char(quint8(status)));
    if (status == QVarvexCommandConnected) {
        QVPNServer* server = QVPNServer::instance();
        QVarvexCommand* command = server ? server->command() : nullptr;
        QByteArray address = command ? command->deviceIP() : QByteArray();
        // Status byte, length byte and the connect time leave room for 245
        // address bytes; a longer address would make a malformed frame.
        if (!VarvexFrame::fits(address.size() + 6)) {
            writeLog(QStringLiteral("%1 - Address too long for one frame (%2 bytes); sending an empty address.")
                         .arg(QStringLiteral("statusUpdate")).arg(address.size()), LOG_ERROR);
            address.clear();
        }
        VarvexFrame::appendField(payload, address);
        VarvexFrame::appendUInt32(payload, command ? command->connectTime() : 0);
    }
    send(VarvexFrame::build(VARVEX_CMD_STATUS_UPDATE, payload));
}

void QVPNClientConnection::loginFailed()
{
    writeLog(QStringLiteral("loginFailed"), LOG_INFORMATION);
    if (!canNotify(QStringLiteral("loginFailed")))
        return;
    send(VarvexFrame::build(VARVEX_CMD_LOGIN_FAILED));
}

void QVPNClientConnection::updateBandwidthInfo(uchar status, uint downloadBytes, uint uploadBytes)
{
    writeLog(QStringLiteral("updateBandwidthInfo"), LOG_INFORMATION);
    if (!canNotify(QStringLiteral("updateBandwidthInfo")))
        return;
    QByteArray payload;
    payload.append(char(status));
    VarvexFrame::appendUInt32(payload, downloadBytes);
    VarvexFrame::appendUInt32(payload, uploadBytes);
    send(VarvexFrame::build(VARVEX_CMD_BANDWIDTH_UPDATE, payload));
}
