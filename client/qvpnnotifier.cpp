#include "qvpnnotifier.h"

#include <QCoreApplication>
#include <QTimerEvent>

#include "varvexprotocol.h"

QVPNNotifier::QVPNNotifier(QObject* parent)
    : QObject(parent)
{
}

void QVPNNotifier::abortRequested()
{
    m_endAsked = true;
}

void QVPNNotifier::statusChanged(int state, const QString& serverName)
{
    const int previous = m_state;
    m_state = state;
    switch (state) {
    case QVarvexCommandConnected:
        if (previous == QVarvexCommandConnecting || previous == QVarvexCommandReconnecting)
            emit notify(QCoreApplication::translate("QMainDialog", "Connected to %1").arg(serverName));
        break;
    case QVarvexCommandReconnecting:
        m_endTimer.stop();
        if (previous != QVarvexCommandReconnecting)
            emit notify(QCoreApplication::translate("QMainDialog", "Connection lost. Reconnecting…"));
        break;
    case QVarvexCommandDisconnected:
        if (!m_endAsked && (previous == QVarvexCommandConnecting || previous == QVarvexCommandConnected
                            || previous == QVarvexCommandReconnecting))
            m_endTimer.start(EndConfirmationMs, this);
        m_endAsked = false;
        break;
    default:
        break;
    }
}

void QVPNNotifier::loginFailed()
{
    // The end that follows is the login's, told here.
    m_endAsked = true;
    emit notify(QCoreApplication::translate("QMainDialog", "Login failed: check your user name and password."));
}

void QVPNNotifier::timerEvent(QTimerEvent* event)
{
    if (event->timerId() != m_endTimer.timerId()) {
        QObject::timerEvent(event);
        return;
    }
    m_endTimer.stop();
    emit notify(QCoreApplication::translate("QMainDialog", "Disconnected: the VPN server could not be reached."));
}
