#ifndef QMAINDIALOG_H
#define QMAINDIALOG_H

#include <QDateTime>
#include <QDialog>
#include <QPixmap>
#include <QPoint>
#include <QRegion>
#include <QString>
#include <QSystemTrayIcon>

#include "qvpnpublicaddresslookup.h"

#include "varvexprotocol.h"
#include "vpnserverinfo.h"

namespace Ui {
class QMainDialog;
}

class QAction;
class QMenu;
struct WebApiAnswer;
class QVarvexServiceConnection;
class QVPNNotifier;
struct StateLook;

// The client's only window: login page, connection page and the tray icon.
// Its code is split by job: qmaindialog.cpp builds it, qmaindialog_state.cpp
// shows the connection state, qmaindialog_actions.cpp acts for the user.
// What it shows follows the service's status notifications; what the user
// does becomes a request to the service or a setting.
class QMainDialog : public QDialog
{
    Q_OBJECT
public:
    explicit QMainDialog(QWidget* parent = nullptr);
    ~QMainDialog() override;

    // Start-up flags read by main().
    bool serviceReachable() const { return m_serviceReachable; }
    bool showAtStart() const { return m_showAtStart; }

    // The state last applied and the tray icon it shows.
    int recordedState() const { return static_cast<uchar>(m_state); }
    QString trayIconPath() const { return m_trayIconPath; }
    QMenu* trayMenu() const { return m_trayMenu; }

    // Text of the time-connected label: hours, minutes and seconds since
    // start, hours not wrapping at a day; 00:00:00 without a start time.
    static QString elapsedText(const QDateTime& start, const QDateTime& now);

signals:
    // Exit from the tray menu has closed the window: the program is to end.
    // Hiding or closing the window otherwise, and closing a message box,
    // never ends it.
    void exitRequested();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void timerEvent(QTimerEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private slots:
    void http_finished(const WebApiAnswer& answer);
    void on_minimize_button_clicked();
    void on_close_button_clicked();
    void on_username_label_clicked();
    void on_password_label_clicked();
    void on_connect_button_clicked();
    void on_settings_button_clicked();
    void vpn_credentials(QByteArray credentials);
    void vpn_notifyStatusChange(char state);
    void vpn_startTime(uint startTime);
    void vpn_updateBandwidth(uchar type, uint download, uint upload);
    void vpn_loginFailed();
    void vpn_serviceLost();
    void on_connect_frame_clicked();
    void on_title_label_clicked();
    void on_comboBox_pressed();
    void on_comboBox_starToggled();
    void on_autoStart_checkBox_clicked(bool checked);
    void on_autoLogin_checkBox_clicked(bool checked);
    void on_menuConnectTriggered(bool checked);
    void on_menuStatusTriggered(bool checked);
    void on_menuJumptToFastestTriggered(bool checked);
    void on_menuChangeCountryTriggered(bool checked);
    void on_menuFeedbacktTriggered(bool checked);
    void on_menuSettingsTriggered(bool checked);
    void on_menuExitTriggered(bool checked);
    void on_TrayActivated(QSystemTrayIcon::ActivationReason reason);
    void updateIPAddress();

private:
    void applyFonts();
    void buildWindowShape();
    void startServerListDownload();

    bool logIn();
    void sendAbort();
    void showNotification(const QString& text);
    bool requestConnection();
    void connectOrDisconnect();
    bool switchToServer(const QString& name);
    void exitClient();

    void showConnectionPage();
    void refreshTimeDisplay();
    void stopTimeConnectedTimer();
    void showAddressResult(QVPNPublicAddressLookup::Result result, const QString& address);
    void applyStateLook(const StateLook& look);
    void setTrayIcon(const QString& path);
    void showInitialTrayIcon();
    void setTrayEntries(const QString& connectText, bool connectEnabled, bool settingsEnabled);

    Ui::QMainDialog* ui;
    QSystemTrayIcon* m_trayIcon;
    QMenu* m_trayMenu;
    QVarvexServiceConnection* m_serviceConnection;
    QVPNNotifier* m_notifier;
    QDateTime m_startTime;
    VPNServerInfo m_selectedServer;
    QVPNPublicAddressLookup* m_addressLookup;
    QPixmap m_windowShape;
    QRegion m_windowMask;

    QAction* m_connectAction = nullptr;
    QAction* m_statusAction = nullptr;
    QAction* m_jumpToFastestAction = nullptr;
    QMenu* m_changeCountryMenu = nullptr;
    QAction* m_feedbackAction = nullptr;
    QAction* m_settingsAction = nullptr;
    QAction* m_exitAction = nullptr;

    QString m_pendingServerName;
    QPoint m_dragOffset;
    bool m_dragging = false;
    int m_timeConnectedTimerId = 0;
    char m_state = QVarvexCommandDisconnected;
    bool m_exitPending = false;
    bool m_loginFailed = false;

    bool m_serviceReachable = true;
    bool m_showAtStart = false;
    QString m_trayIconPath;
};

#endif // QMAINDIALOG_H
