#include "qmaindialog.h"
#include "ui_qmaindialog.h"

#include <QAction>
#include <QMenu>
#include <QMessageBox>
#include <QTimerEvent>

#include "qvarvexserviceconnection.h"
#include "qvpnnotifier.h"
#include "qvpnclientsettings.h"
#include "qvpncredentialscrypt.h"
#include "qvpnpublicaddresslookup.h"

// What the window shows for each connection state, the time connected and
// the public address.

// What the window shows in one connection state. A null text or image, or
// -1, leaves that item as it is.
struct StateLook
{
    const char* trayIcon;         // tray icon resource
    bool titleLogo;               // show the logo in the title label
    int titleCursor;              // Qt::CursorShape over the title label
    int page;                     // stackedWidget page: 0 login, 1 connection
    int connectPage;              // connect_stackedWidget page
    const char* frameStyle;       // style sheet of the connect frame
    const char* connectText;      // connect label text (translated)
    const char* countryStyle;     // style of the selected server's name shown with it
    const char* statusText;       // status label text (translated)
    const char* statusStyle;      // style sheet of the status label
    const char* addressIcon;      // icon before the address
    const char* addressLabel;     // caption of the address (translated)
    const char* addressValue;     // address text (translated); null while a lookup follows
    const char* clockIcon;        // icon before the time connected
    const char* timeText;         // time connected text (translated); "" empties the label
    const char* keyIcon;          // icon before the encryption text
    int timeSection;              // timeconnected_section page
    const char* trayConnectText;  // text of the tray's &Connect entry
    bool connectEntriesEnabled;   // &Connect, Jump to fastest and Change country enabled
    bool settingsEnabled;         // Se&ttings enabled
};

namespace {

const char* const TrayIconOff = ":/imgs/tray/tray_off.ico";
const char* const TrayIconOn = ":/imgs/tray/tray_on.ico";
const char* const TrayIconConnecting = ":/imgs/tray/tray_connect.ico";

const char* const FrameConnecting = "background: #ffc62b; border: none; border-radius: 5px;";
const char* const FrameConnected = "background: #f27168; border: none; border-radius: 5px;";
const char* const FrameDisconnected = "background: blue; color: white; border: none; border-radius: 5px;";

const char* const StatusGrey = "background: #cacacd; color: white";
const char* const StatusBlue = "background: #42b0e3; color: white";

const char* const AddressIconOn = ":/imgs/encryption.png";
const char* const AddressIconOff = ":/imgs/encryption-disabled.png";
const char* const ClockIconOn = ":/imgs/clock.png";
const char* const ClockIconOff = ":/imgs/clock-disabled.png";
const char* const KeyIconOn = ":/imgs/key.png";
const char* const KeyIconOff = ":/imgs/key-disabled.png";
const char* const VarvexAddress = QT_TRANSLATE_NOOP("QMainDialog", "Varvex IP ADDRESS");
const char* const Detecting = QT_TRANSLATE_NOOP("QMainDialog", "Detecting...");
const char* const Disconnect = QT_TRANSLATE_NOOP("QMainDialog", "Disconnect");

// One row per status, in the order of their codes.
const StateLook StateLooks[] = {
    // QVarvexCommandConnecting
    {
        TrayIconConnecting,                                  // tray icon
        true,                                                // logo in the title
        Qt::ArrowCursor,                                     // cursor over the title
        1,                                                   // page: login or connection
        0,                                                   // connect frame page
        FrameConnecting,                                     // connect frame style
        QT_TRANSLATE_NOOP("QMainDialog", "Connecting.."),    // connect frame text
        "color: #b67e00",                                    // server name style
        QT_TRANSLATE_NOOP("QMainDialog", "CONNECTING"),      // status text
        StatusGrey,                                          // status style
        AddressIconOff,                                      // address icon
        VarvexAddress,                                       // address caption
        Detecting,                                           // address text
        ClockIconOff,                                        // clock icon
        "",                                                  // time connected text
        KeyIconOff,                                          // encryption icon
        0,                                                   // time section page
        "Connecting",                                        // tray &Connect text
        false,                                               // tray connect entries enabled
        false,                                               // tray Settings enabled
    },
    // QVarvexCommandConnected
    {
        TrayIconOn,                                          // tray icon
        true,                                                // logo in the title
        -1,                                                  // cursor over the title
        1,                                                   // page: login or connection
        0,                                                   // connect frame page
        FrameConnected,                                      // connect frame style
        Disconnect,                                          // connect frame text
        "color: #853d38",                                    // server name style
        QT_TRANSLATE_NOOP("QMainDialog", "CONNECTED"),       // status text
        StatusBlue,                                          // status style
        AddressIconOn,                                       // address icon
        VarvexAddress,                                       // address caption
        nullptr,                                             // address text
        ClockIconOn,                                         // clock icon
        "",                                                  // time connected text
        KeyIconOn,                                           // encryption icon
        0,                                                   // time section page
        "Disconnect",                                        // tray &Connect text
        true,                                                // tray connect entries enabled
        false,                                               // tray Settings enabled
    },
    // QVarvexCommandDisconnecting
    {
        TrayIconConnecting,                                  // tray icon
        true,                                                // logo in the title
        -1,                                                  // cursor over the title
        -1,                                                  // page: login or connection
        0,                                                   // connect frame page
        FrameConnecting,                                     // connect frame style
        QT_TRANSLATE_NOOP("QMainDialog", "Disconnecting.."), // connect frame text
        nullptr,                                             // server name style
        QT_TRANSLATE_NOOP("QMainDialog", "DISCONNECTING"),   // status text
        StatusGrey,                                          // status style
        AddressIconOff,                                      // address icon
        nullptr,                                             // address caption
        Detecting,                                           // address text
        ClockIconOff,                                        // clock icon
        "",                                                  // time connected text
        KeyIconOff,                                          // encryption icon
        0,                                                   // time section page
        "Disconnect",                                        // tray &Connect text
        false,                                               // tray connect entries enabled
        false,                                               // tray Settings enabled
    },
    // QVarvexCommandDisconnected
    {
        TrayIconOff,                                         // tray icon
        false,                                               // logo in the title
        Qt::PointingHandCursor,                              // cursor over the title
        -1,                                                  // page: login or connection
        1,                                                   // connect frame page
        FrameDisconnected,                                   // connect frame style
        QT_TRANSLATE_NOOP("QMainDialog", "Connect"),         // connect frame text
        "color: #863d38",                                    // server name style
        QT_TRANSLATE_NOOP("QMainDialog", "DISCONNECTED"),    // status text
        StatusGrey,                                          // status style
        AddressIconOff,                                      // address icon
        QT_TRANSLATE_NOOP("QMainDialog", "PUBLIC IP ADDRESS"), // address caption
        Detecting,                                           // address text
        ClockIconOff,                                        // clock icon
        QT_TRANSLATE_NOOP("QMainDialog", "Not Connected"),   // time connected text
        KeyIconOff,                                          // encryption icon
        1,                                                   // time section page
        "Connect",                                           // tray &Connect text
        true,                                                // tray connect entries enabled
        true,                                                // tray Settings enabled
    },
    // QVarvexCommandReconnecting
    {
        TrayIconOff,                                         // tray icon
        true,                                                // logo in the title
        -1,                                                  // cursor over the title
        1,                                                   // page: login or connection
        0,                                                   // connect frame page
        FrameConnected,                                      // connect frame style
        Disconnect,                                          // connect frame text
        "color: #853d38",                                    // server name style
        QT_TRANSLATE_NOOP("QMainDialog", "TIMEOUT"),         // status text
        StatusBlue,                                          // status style
        AddressIconOn,                                       // address icon
        VarvexAddress,                                       // address caption
        nullptr,                                             // address text
        ClockIconOn,                                         // clock icon
        "",                                                  // time connected text
        KeyIconOn,                                           // encryption icon
        0,                                                   // time section page
        "Disconnect",                                        // tray &Connect text
        true,                                                // tray connect entries enabled
        false,                                               // tray Settings enabled
    },
};
static_assert(sizeof(StateLooks) / sizeof(StateLooks[0]) == QVarvexCommandReconnecting + 1,
              "one row per connection status");

// Every value past the last status.
const StateLook UnknownStateLook = {
    TrayIconOff,                                         // tray icon
    false,                                               // logo in the title
    -1,                                                  // cursor over the title
    -1,                                                  // page: login or connection
    0,                                                   // connect frame page
    nullptr,                                             // connect frame style
    nullptr,                                             // connect frame text
    nullptr,                                             // server name style
    QT_TRANSLATE_NOOP("QMainDialog", "UNKNOWN"),         // status text
    StatusGrey,                                          // status style
    nullptr,                                             // address icon
    nullptr,                                             // address caption
    nullptr,                                             // address text
    nullptr,                                             // clock icon
    nullptr,                                             // time connected text
    nullptr,                                             // encryption icon
    0,                                                   // time section page
    "Connect",                                           // tray &Connect text
    true,                                                // tray connect entries enabled
    true,                                                // tray Settings enabled
};

const StateLook& stateLook(uchar state)
{
    return state < sizeof(StateLooks) / sizeof(StateLooks[0]) ? StateLooks[state] : UnknownStateLook;
}

const int TimeConnectedInterval = 1000;

} // namespace

QString QMainDialog::elapsedText(const QDateTime& start, const QDateTime& now)
{
    // A connection of more than a day keeps counting hours instead of
    // wrapping; a start in the future (clocks out of step) shows zero.
    qint64 seconds = start.isValid() ? start.secsTo(now) : 0;
    if (seconds < 0)
        seconds = 0;
    const qint64 hours = seconds / 3600;
    const int minutes = int((seconds / 60) % 60);
    const int secs = int(seconds % 60);
    return QStringLiteral("%1:%2:%3")
        .arg(hours, 2, 10, QLatin1Char('0'))
        .arg(minutes, 2, 10, QLatin1Char('0'))
        .arg(secs, 2, 10, QLatin1Char('0'));
}

// ---- service notifications -------------------------------------------------

void QMainDialog::vpn_credentials(QByteArray credentials)
{
    const int end = credentials.indexOf('\0');
    const QString text = QString::fromUtf8(end >= 0 ? credentials.left(end) : credentials);
    QString username;
    QString password;
    if (QVPNCredentialsCrypt::decodeUserPass(text, username, password)) {
        ui->username_edit->setText(username);
        ui->password_edit->setText(password);
    }
}

void QMainDialog::vpn_startTime(uint startTime)
{
    m_startTime = QDateTime::fromSecsSinceEpoch(startTime);
}

void QMainDialog::vpn_updateBandwidth(uchar type, uint download, uint upload)
{
    ui->bandwidth_widget->addSample(type, download, upload);
}

void QMainDialog::vpn_loginFailed()
{
    m_notifier->loginFailed();
    m_loginFailed = true;
    sendAbort();
}

void QMainDialog::vpn_notifyStatusChange(char state)
{
    const uchar value = static_cast<uchar>(state);
    m_notifier->statusChanged(value, m_selectedServer.name);
    if (value == QVarvexCommandDisconnected) {
        // The abort-then-act sequences finish here instead of showing "disconnected".
        if (m_exitPending) {
            exitClient();
            return;
        }
        if (!m_pendingServerName.isEmpty()) {
            const QString name = m_pendingServerName;
            m_pendingServerName.clear();
            // A request that was refused leaves the window to show "disconnected".
            if (switchToServer(name))
                return;
        }
    }

    applyStateLook(stateLook(value));
    switch (value) {
    case QVarvexCommandConnected:
        refreshTimeDisplay();
        QVPNClientSettings::setCredentials(ui->username_edit->text(), ui->password_edit->text());
        // A repeated "connected" must not leave an earlier timer running unseen.
        stopTimeConnectedTimer();
        m_timeConnectedTimerId = startTimer(TimeConnectedInterval, Qt::CoarseTimer);
        m_addressLookup->startSeries();
        break;
    case QVarvexCommandDisconnecting:
        stopTimeConnectedTimer();
        break;
    case QVarvexCommandDisconnected:
        m_addressLookup->startSeries();
        break;
    default:
        break;
    }
    m_state = state;

    if (value == QVarvexCommandDisconnected && m_loginFailed) {
        // Cleared before the box: a further "disconnected" arriving while
        // it is open must not show a second one.
        m_loginFailed = false;
        ui->stackedWidget->setCurrentIndex(0);
        QMessageBox::warning(this, tr("Login error"),
                             tr("Login failed.\nPlease check your username and password and try again."),
                             QMessageBox::Ok);
    }
}

void QMainDialog::applyStateLook(const StateLook& look)
{
    setTrayIcon(QString::fromLatin1(look.trayIcon));
    if (look.titleLogo)
        ui->title_label->setPixmap(QPixmap(QStringLiteral(":/imgs/title-logo.png")));
    if (look.titleCursor >= 0)
        ui->title_label->setCursor(static_cast<Qt::CursorShape>(look.titleCursor));
    if (look.page >= 0)
        ui->stackedWidget->setCurrentIndex(look.page);
    ui->connect_stackedWidget->setCurrentIndex(look.connectPage);
    if (look.frameStyle)
        ui->connect_frame->setStyleSheet(QString::fromLatin1(look.frameStyle));
    if (look.connectText)
        ui->connect_label->setText(tr(look.connectText));
    if (look.countryStyle) {
        ui->connect_country_label->setText(m_selectedServer.name);
        ui->connect_country_label->setStyleSheet(QString::fromLatin1(look.countryStyle));
    }
    ui->connecton_label->setText(tr(look.statusText));
    ui->connecton_label->setStyleSheet(QString::fromLatin1(look.statusStyle));
    if (look.addressIcon)
        ui->ipaddress_icon->setPixmap(QPixmap(QString::fromLatin1(look.addressIcon)));
    if (look.addressLabel)
        ui->ipaddress_label->setText(tr(look.addressLabel));
    if (look.addressValue)
        ui->ipaddress_value_label->setText(tr(look.addressValue));
    if (look.clockIcon)
        ui->time_connected_icon->setPixmap(QPixmap(QString::fromLatin1(look.clockIcon)));
    if (look.timeText)
        ui->time_connected_value_label->setText(*look.timeText ? tr(look.timeText) : QString());
    if (look.keyIcon)
        ui->encryption_icon->setPixmap(QPixmap(QString::fromLatin1(look.keyIcon)));
    ui->timeconnected_section->setCurrentIndex(look.timeSection);
    setTrayEntries(QString::fromLatin1(look.trayConnectText), look.connectEntriesEnabled, look.settingsEnabled);
}

void QMainDialog::setTrayIcon(const QString& path)
{
    m_trayIconPath = path;
    m_trayIcon->setIcon(QIcon(path));
}

// Before the service's first status: the disconnected icon.
void QMainDialog::showInitialTrayIcon()
{
    setTrayIcon(QString::fromLatin1(TrayIconOff));
}

void QMainDialog::setTrayEntries(const QString& connectText, bool connectEnabled, bool settingsEnabled)
{
    m_connectAction->setText(connectText);
    m_connectAction->setEnabled(connectEnabled);
    m_jumpToFastestAction->setEnabled(connectEnabled);
    m_changeCountryMenu->menuAction()->setEnabled(connectEnabled);
    m_settingsAction->setEnabled(settingsEnabled);
}

// ---- time connected and public address ------------------------------------

void QMainDialog::timerEvent(QTimerEvent* event)
{
    if (event->timerId() == m_timeConnectedTimerId)
        refreshTimeDisplay();
}

void QMainDialog::refreshTimeDisplay()
{
    ui->time_connected_value_label->setText(elapsedText(m_startTime, QDateTime::currentDateTime()));
}

void QMainDialog::stopTimeConnectedTimer()
{
    if (m_timeConnectedTimerId != 0)
        killTimer(m_timeConnectedTimerId);
    m_timeConnectedTimerId = 0;
}

void QMainDialog::updateIPAddress()
{
    m_addressLookup->lookUp();
}

void QMainDialog::http_finished(const WebApiAnswer& answer)
{
    m_addressLookup->evaluate(answer);
}

void QMainDialog::showAddressResult(QVPNPublicAddressLookup::Result result, const QString& address)
{
    switch (result) {
    case QVPNPublicAddressLookup::Looking:
        ui->ipaddress_value_label->setText(tr("Detecting..."));
        break;
    case QVPNPublicAddressLookup::Found:
        ui->ipaddress_value_label->setText(address);
        break;
    case QVPNPublicAddressLookup::GaveUp:
        ui->ipaddress_value_label->setText(tr("Unknown."));
        break;
    }
}
