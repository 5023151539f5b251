#include "qvarvexcommand.h"

#include <QDateTime>

#include "openvpnprocess.h"
#include "varvexlog.h"

namespace {
const QByteArray PeerConnectionText("] Peer Connection Initiated with ");
const QByteArray TapDeviceText("TAP-WIN32 device [");
const QByteArray TunDeviceText("TUN/TAP device ");
const QByteArray TunDeviceOpenedText(" opened");
const QByteArray DhcpNoticeText("Notified TAP-Win32 driver to set a DHCP IP/netmask of ");
const QByteArray ArpFlushText("Successful ARP Flush on interface ");
const QByteArray AuthFailedText("AUTH_FAILED");
const QByteArray InitCompletedText("Initialization Sequence Completed");
const QByteArray LineEnd("\r\n");

// Log text for raw process output: ASCII up to the first NUL byte.
QString untilNul(const QByteArray& bytes)
{
    return QString::fromLatin1(bytes.constData());
}
} // namespace

void QVarvexCommand::process_readyReadOutput()
{
    writeLog(QStringLiteral("process_readyReadOutput"), LOG_INFORMATION);
    handleOutput(m_process->readAllStandardOutput());
}

void QVarvexCommand::process_readyReadError()
{
    writeLog(QStringLiteral("process_readyReadError"), LOG_INFORMATION);
    handleError(m_process->readAllStandardError());
}

void QVarvexCommand::handleOutput(const QByteArray& bytes)
{
    writeLog(QStringLiteral("OpenVPN process sent: ") + untilNul(bytes), LOG_INFORMATION);
    // Only the new bytes can complete a line, together with a CR that may
    // wait at the end of what is held: searching from there keeps the work
    // linear however long a line grows.
    int searchFrom = qMax(0, m_outputBuffer.size() - 1);
    m_outputBuffer.append(bytes);
    int from = 0;
    for (;;) {
        const int end = m_outputBuffer.indexOf(LineEnd, searchFrom);
        if (end < 0)
            break;
        const int length = end - from;
        const int next = end + LineEnd.size();
        if (m_droppingLongLine || length > MaxOutputLineLength) {
            dropLongLine();
            m_droppingLongLine = false;
        } else {
            const QByteArray line = m_outputBuffer.mid(from, length);
            handleLine(line);
            writeLog(QStringLiteral("OpenVPN stdout: %1").arg(QString::fromLatin1(line)), LOG_INFORMATION);
        }
        from = searchFrom = next;
    }
    m_outputBuffer.remove(0, from);

    // A CR at the end may be the first half of the line's end.
    const bool endsWithCr = m_outputBuffer.endsWith('\r');
    if (m_outputBuffer.size() - (endsWithCr ? 1 : 0) > MaxOutputLineLength) {
        dropLongLine();
        m_droppingLongLine = true;
        m_outputBuffer.clear();
        if (endsWithCr)
            m_outputBuffer.append('\r');
    }
}

void QVarvexCommand::dropLongLine()
{
    // One warning per line, however many reads it spans.
    if (m_droppingLongLine)
        return;
    writeLog(QStringLiteral("%1 - Dropped an OpenVPN output line longer than %2 bytes.")
                 .arg(QStringLiteral("process_readyReadOutput"))
                 .arg(MaxOutputLineLength), LOG_WARNING);
}

void QVarvexCommand::handleLine(const QByteArray& line)
{
    if (line.contains(PeerConnectionText)) {
        const int begin = line.indexOf('[') + 1;
        const int end = line.indexOf(']', begin);
        if (end <= begin) {
            writeLog(QStringLiteral("Failed to set m_deviceIP"), LOG_ERROR);
        } else {
            m_deviceIP = line.mid(begin, end - begin);
            writeLog(QStringLiteral("Set m_deviceIP: ") + QString::fromLatin1(m_deviceIP), LOG_INFORMATION);
        }
        return;
    }

    if (line.contains(TapDeviceText)) {
        const int begin = line.indexOf(TapDeviceText) + TapDeviceText.size();
        const int end = line.indexOf(']', begin);
        if (end <= begin) {
            writeLog(QStringLiteral("Failed to set m_deviceName"), LOG_ERROR);
        } else {
            m_deviceName = line.mid(begin, end - begin);
            writeLog(QStringLiteral("Set m_deviceName: ") + QString::fromLatin1(m_deviceName), LOG_INFORMATION);
        }
        return;
    }

    // Linux names its adapter in "TUN/TAP device tun0 opened": the adapter's
    // name serves as its identity for the traffic counters too.
    const int tunAt = line.indexOf(TunDeviceText);
    if (tunAt >= 0 && line.indexOf(TunDeviceOpenedText, tunAt + TunDeviceText.size() - 1) >= 0) {
        const int begin = tunAt + TunDeviceText.size();
        const int end = line.indexOf(TunDeviceOpenedText, begin - 1);
        if (end <= begin) {
            writeLog(QStringLiteral("Failed to set m_deviceName"), LOG_ERROR);
            return;
        }
        m_deviceName = line.mid(begin, end - begin);
        writeLog(QStringLiteral("Set m_deviceName: ") + QString::fromLatin1(m_deviceName), LOG_INFORMATION);
        if (m_deviceGuid.isEmpty()) {
            m_deviceGuid = m_deviceName;
            writeLog(QStringLiteral("Set m_deviceGuid: ") + QString::fromLatin1(m_deviceGuid), LOG_INFORMATION);
        }
        return;
    }

    if (m_deviceGuid.isEmpty() && (line.contains(DhcpNoticeText) || line.contains(ArpFlushText))) {
        const int begin = line.indexOf('{');
        const int end = begin < 0 ? -1 : line.indexOf('}', begin);
        if (end < 0) {
            writeLog(QStringLiteral("Failed to set m_deviceGuid"), LOG_ERROR);
        } else {
            m_deviceGuid = line.mid(begin, end - begin + 1);
            writeLog(QStringLiteral("Set m_deviceGuid: ") + QString::fromLatin1(m_deviceGuid), LOG_INFORMATION);
        }
        return;
    }

    if (line.contains(AuthFailedText)) {
        writeLog(QStringLiteral("Login failed"), LOG_WARNING);
        m_loginFailed = true;
        emit loginFailed();
        return;
    }

    if (line.endsWith(InitCompletedText)) {
        // Never connected without the block it was asked under: the rest
        // follows once the block stands.
        if (m_killSwitch && !m_blockStands) {
            m_connectedWhenBlocked = true;
            return;
        }
        tunnelCompleted();
    }
}

void QVarvexCommand::tunnelCompleted()
{
    m_connectedWhenBlocked = false;
    writeLog(QStringLiteral("Set Connection time"), LOG_INFORMATION);
    stopConnectingTimer();
    m_connectTime = uint(QDateTime::currentSecsSinceEpoch());
    m_reconnectCount = 0;
    setStatus(QVarvexCommandConnected);
}

void QVarvexCommand::handleError(const QByteArray& chunk)
{
    writeLog(QStringLiteral("OpenVPN process sent to stderr: ") + untilNul(chunk), LOG_INFORMATION);
    if (chunk == "Enter Auth Username:") {
        m_process->write(m_username.toUtf8() + LineEnd);
        writeLog(QStringLiteral("OpenVPN username sent"), LOG_INFORMATION);
    } else if (chunk == "Enter Auth Password:") {
        m_process->write(m_password.toUtf8() + LineEnd);
        writeLog(QStringLiteral("OpenVPN password sent"), LOG_INFORMATION);
    } else if (chunk == LineEnd) {
        // An empty line after a prompt carries nothing.
    } else {
        writeLog(QStringLiteral("OpenVPN sent unknown text to stderr: %1").arg(QString::fromLatin1(chunk)), LOG_ERROR);
    }
}
