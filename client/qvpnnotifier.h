#ifndef QVPNNOTIFIER_H
#define QVPNNOTIFIER_H

#include <QBasicTimer>
#include <QObject>
#include <QString>

// Decides which changes of the tunnel the user hears about on the desktop:
// a tunnel that came up, one that dropped and is being tried again, one
// that ended for good unasked, and a rejected login. Ends the user asked
// for (this window's aborts, or any stop that went through DISCONNECTING)
// stay silent.
class QVPNNotifier : public QObject
{
    Q_OBJECT
public:
    // A killed OpenVPN reports DISCONNECTED on its way to RECONNECTING;
    // only a DISCONNECTED that stays this long is an end for good.
    static constexpr int EndConfirmationMs = 1000;

    explicit QVPNNotifier(QObject* parent = nullptr);

    // This window is about to send an abort: the next end is asked for.
    void abortRequested();
    // Every status notification, with the name of the window's server.
    void statusChanged(int state, const QString& serverName);
    void loginFailed();

signals:
    void notify(const QString& text);

protected:
    void timerEvent(QTimerEvent* event) override;

private:
    int m_state = -1; // none seen yet: the first status is no change
    bool m_endAsked = false;
    QBasicTimer m_endTimer;
};

#endif // QVPNNOTIFIER_H
