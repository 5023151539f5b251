#include "qmaindialog.h"
#include "ui_qmaindialog.h"

#include <QAction>
#include <QBitmap>
#include <QDesktopServices>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QStandardItemModel>
#include <QTimer>
#include <QUrl>
#include <QVariantMap>

#include "qvarvexserviceconnection.h"
#include "qvpnclientsettings.h"
#include "qvpncredentialscrypt.h"
#include "qvpnlistservers.h"
#include "webapi.h"
#include "webapiclient.h"

// What the window shows in each connection state. A null text or image, or
// -1, leaves that item as it is.
struct StateLook
{
    const char* trayIcon;
    bool titleLogo;
    int titleCursor;
    int page;
    int connectPage;
    const char* frameStyle;
    const char* connectText;
    const char* countryStyle; // the selected server's name is shown with it
    const char* statusText;
    const char* statusStyle;
    const char* addressIcon;
    const char* addressLabel;
    const char* addressValue;
    const char* clockIcon;
    const char* timeText; // "" empties the label
    const char* keyIcon;
    int timeSection;
    const char* trayConnectText;
    bool connectEntriesEnabled;
    bool settingsEnabled;
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

const StateLook StateLooks[] = {
    // 0: connecting
    { TrayIconConnecting, true, Qt::ArrowCursor, 1, 0, FrameConnecting,
      QT_TRANSLATE_NOOP("QMainDialog", "Connecting.."), "color: #b67e00",
      QT_TRANSLATE_NOOP("QMainDialog", "CONNECTING"), StatusGrey,
      AddressIconOff, VarvexAddress, Detecting, ClockIconOff, "", KeyIconOff, 0,
      "Connecting", false, false },
    // 1: connected
    { TrayIconOn, true, -1, 1, 0, FrameConnected, Disconnect, "color: #853d38",
      QT_TRANSLATE_NOOP("QMainDialog", "CONNECTED"), StatusBlue,
      AddressIconOn, VarvexAddress, nullptr, ClockIconOn, "", KeyIconOn, 0,
      "Disconnect", true, false },
    // 2: disconnecting
    { TrayIconConnecting, true, -1, -1, 0, FrameConnecting,
      QT_TRANSLATE_NOOP("QMainDialog", "Disconnecting.."), nullptr,
      QT_TRANSLATE_NOOP("QMainDialog", "DISCONNECTING"), StatusGrey,
      AddressIconOff, nullptr, Detecting, ClockIconOff, "", KeyIconOff, 0,
      "Disconnect", false, false },
    // 3: disconnected
    { TrayIconOff, false, Qt::PointingHandCursor, -1, 1, FrameDisconnected,
      QT_TRANSLATE_NOOP("QMainDialog", "Connect"), "color: #863d38",
      QT_TRANSLATE_NOOP("QMainDialog", "DISCONNECTED"), StatusGrey,
      AddressIconOff, QT_TRANSLATE_NOOP("QMainDialog", "PUBLIC IP ADDRESS"), Detecting,
      ClockIconOff, QT_TRANSLATE_NOOP("QMainDialog", "Not Connected"), KeyIconOff, 1,
      "Connect", true, true },
    // 4: waiting to reconnect
    { TrayIconOff, true, -1, 1, 0, FrameConnected, Disconnect, "color: #853d38",
      QT_TRANSLATE_NOOP("QMainDialog", "TIMEOUT"), StatusBlue,
      AddressIconOn, VarvexAddress, nullptr, ClockIconOn, "", KeyIconOn, 0,
      "Disconnect", true, false },
};

const StateLook UnknownStateLook = {
    TrayIconOff, false, -1, -1, 0, nullptr, nullptr, nullptr,
    QT_TRANSLATE_NOOP("QMainDialog", "UNKNOWN"), StatusGrey,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0,
    "Connect", true, true
};

const StateLook& stateLook(uchar state)
{
    return state < sizeof(StateLooks) / sizeof(StateLooks[0]) ? StateLooks[state] : UnknownStateLook;
}

const int TimeConnectedInterval = 1000;
const int AddressRetryInterval = 1000;
const int AddressMaxAttempts = 3; // a series gives up once more than this many were made

QFont windowFont(const QString& family, int pointSize, int weight)
{
    // Weight 100 goes through unchanged, above the scale's usual 99.
    QFont font(family, pointSize, weight, false);
    font.setStyleStrategy(QFont::PreferAntialias);
    return font;
}

} // namespace

QMainDialog::QMainDialog(QWidget* parent)
    : QDialog(parent)
    , ui(new Ui::QMainDialog)
    , m_trayIcon(new QSystemTrayIcon(this))
    , m_trayMenu(new QMenu(this))
    , m_serviceConnection(new QVarvexServiceConnection(this))
    , m_webApi(new WebApiClient(this))
{
    ui->setupUi(this);

    m_connectAction = m_trayMenu->addAction(QStringLiteral("&Connect"));
    m_statusAction = m_trayMenu->addAction(QStringLiteral("&Status"));
    m_jumpToFastestAction = m_trayMenu->addAction(QStringLiteral("&Jump to fastest"));
    m_changeCountryMenu = m_trayMenu->addMenu(QStringLiteral("C&hange country"));
    m_feedbackAction = m_trayMenu->addAction(QStringLiteral("&Feedback"));
    m_settingsAction = m_trayMenu->addAction(QStringLiteral("Se&ttings"));
    m_exitAction = m_trayMenu->addAction(QStringLiteral("E&xit"));

    applyFonts();

    if (QVPNClientSettings::getAutoStart())
        ui->autoStart_checkBox->setChecked(true);
    if (QVPNClientSettings::getAutoLogin())
        ui->autoLogin_checkBox->setChecked(true);

    buildWindowShape();

    connect(m_serviceConnection, &QVarvexServiceConnection::credentials, this, &QMainDialog::vpn_credentials);
    connect(m_serviceConnection, &QVarvexServiceConnection::notifyStatusChange, this, &QMainDialog::vpn_notifyStatusChange);
    connect(m_serviceConnection, &QVarvexServiceConnection::startTime, this, &QMainDialog::vpn_startTime);
    connect(m_serviceConnection, &QVarvexServiceConnection::updateBandwidth, this, &QMainDialog::vpn_updateBandwidth);
    connect(m_serviceConnection, &QVarvexServiceConnection::loginFailed, this, &QMainDialog::vpn_loginFailed);
    connect(m_webApi, &WebApiClient::answered, this, &QMainDialog::http_finished);
    connect(m_trayIcon, &QSystemTrayIcon::activated, this, &QMainDialog::on_TrayActivated);
    connect(m_connectAction, &QAction::triggered, this, &QMainDialog::on_menuConnectTriggered);
    connect(m_statusAction, &QAction::triggered, this, &QMainDialog::on_menuStatusTriggered);
    connect(m_jumpToFastestAction, &QAction::triggered, this, &QMainDialog::on_menuJumptToFastestTriggered);
    connect(m_feedbackAction, &QAction::triggered, this, &QMainDialog::on_menuFeedbacktTriggered);
    connect(m_settingsAction, &QAction::triggered, this, &QMainDialog::on_menuSettingsTriggered);
    connect(m_exitAction, &QAction::triggered, this, &QMainDialog::on_menuExitTriggered);

    if (!m_serviceConnection->connectToService()) {
        QMessageBox::critical(this, tr("Connection error"), tr("Can't connect to Varvex service."),
                              QMessageBox::Ok);
        m_serviceReachable = false;
        return;
    }

    m_trayIcon->setContextMenu(m_trayMenu);
    setTrayIcon(QString::fromLatin1(TrayIconOff));
    m_trayIcon->setVisible(true);

    m_selectedServer = QVPNClientSettings::getConnection();
    ui->comboBox->setCurrentServer(m_selectedServer);

    QString username;
    QString password;
    if (QVPNClientSettings::getCredentials(username, password)) {
        ui->username_edit->setText(username);
        ui->password_edit->setText(password);
    } else {
        m_serviceConnection->sendCredentialsRequest();
    }

    m_showAtStart = true;

    if (QVPNClientSettings::getAutoLogin())
        logIn();

    startServerListDownload();
}

QMainDialog::~QMainDialog()
{
    delete ui;
}

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

void QMainDialog::applyFonts()
{
    const QString roboto = QStringLiteral("Roboto");

    const QFont editFont = windowFont(roboto, 16, 60);
    ui->username_edit->setFont(editFont);
    ui->password_edit->setFont(editFont);

    const QFont buttonFont = windowFont(roboto, 20, 70);
    ui->connect_button->setFont(buttonFont);
    ui->settings_button->setFont(buttonFont);

    const QFont checkBoxFont = windowFont(roboto, 14, 70);
    for (QCheckBox* box : {ui->autoStart_checkBox, ui->autoLogin_checkBox}) {
        box->setFont(checkBoxFont);
        // A font in the style sheet would override this one: keep its colour only.
        box->setStyleSheet(QStringLiteral("color: #999999"));
    }

    ui->connect_label->setFont(windowFont(roboto, 20, 50));

    ui->connect_country_label->setFont(windowFont(roboto, 10, 75));
    ui->connect_country_label->setStyleSheet(QStringLiteral("color: #863d38"));

    QFont statusFont = windowFont(QStringLiteral("Roboto Condensed"), 14, 100);
    statusFont.setLetterSpacing(QFont::AbsoluteSpacing, 5.0);
    ui->connecton_label->setFont(statusFont);

    const QFont captionFont = windowFont(roboto, 10, 100);
    for (QLabel* label : {ui->ipaddress_label, ui->time_connected_label, ui->encryption_text}) {
        label->setFont(captionFont);
        label->setStyleSheet(QStringLiteral("color: #999999"));
    }

    const QFont valueFont = windowFont(roboto, 16, 40);
    for (QLabel* label : {ui->ipaddress_value_label, ui->time_connected_value_label, ui->encryption_value_text}) {
        label->setFont(valueFont);
        label->setStyleSheet(QStringLiteral("color: #333333"));
    }
}

void QMainDialog::buildWindowShape()
{
    // The window has no frame of its own: draw a rounded outline and cut
    // the corners outside it from the window.
    const int w = width();
    const int h = height();
    m_windowShape = QPixmap(w, h);
    QBitmap transparent(w, h);
    transparent.fill(Qt::color0);
    m_windowShape.setMask(transparent);

    QPainter painter(&m_windowShape);
    painter.setRenderHint(QPainter::Qt4CompatiblePainting, true);
    painter.setPen(QPen(QColor(160, 160, 160), 1));
    painter.setBrush(QBrush(QColor(247, 247, 247)));
    painter.drawRoundedRect(QRectF(0, 0, w - 1, h - 1), 7.0, 7.0, Qt::AbsoluteSize);
    painter.end();
    // Converted once here rather than on every paint.
    m_windowMask = QRegion(m_windowShape.mask());
}

void QMainDialog::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.drawPixmap(0, 0, m_windowShape);
    setMask(m_windowMask);
}

void QMainDialog::resizeEvent(QResizeEvent* event)
{
    QDialog::resizeEvent(event);
    buildWindowShape();
    update();
}

void QMainDialog::startServerListDownload()
{
    auto* download = new QVPNListServers(this);
    connect(download, &QVPNListServers::finished, this, [this, download]() {
        const QList<VPNServerInfo> servers = download->servers();
        ui->comboBox->setServerList(servers);
        ui->comboBox->setFavorites(QVPNClientSettings::getFavoriteServers());

        m_changeCountryMenu->clear();
        for (const VPNServerInfo& server : servers) {
            QAction* action = m_changeCountryMenu->addAction(server.name);
            connect(action, &QAction::triggered, this, &QMainDialog::on_menuChangeCountryTriggered);
        }
        download->deleteLater();
    });
    download->updateList();
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
    m_loginFailed = true;
    m_serviceConnection->sendAbortRequest();
}

void QMainDialog::vpn_notifyStatusChange(char state)
{
    const uchar value = static_cast<uchar>(state);
    if (value == 3) {
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
    case 1:
        refreshTimeDisplay();
        QVPNClientSettings::setCredentials(ui->username_edit->text(), ui->password_edit->text());
        // A repeated "connected" must not leave an earlier timer running unseen.
        stopTimeConnectedTimer();
        m_timeConnectedTimerId = startTimer(TimeConnectedInterval, Qt::CoarseTimer);
        m_addressAttempts = 0;
        scheduleAddressLookup();
        break;
    case 2:
        stopTimeConnectedTimer();
        break;
    case 3:
        m_addressAttempts = 0;
        scheduleAddressLookup();
        break;
    default:
        break;
    }
    m_state = state;

    if (value == 3 && m_loginFailed) {
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

void QMainDialog::scheduleAddressLookup()
{
    QTimer::singleShot(AddressRetryInterval, this, &QMainDialog::updateIPAddress);
}

void QMainDialog::updateIPAddress()
{
    ui->ipaddress_value_label->setText(tr("Detecting..."));
    ++m_addressAttempts;
    m_webApi->get(WebApi::url(VARVEX_API_GET_IP));
}

void QMainDialog::http_finished(const WebApiAnswer& answer)
{
    QString address;
    if (answer.ok()) {
        QJsonParseError parseError;
        const QJsonDocument document = QJsonDocument::fromJson(answer.body, &parseError);
        if (parseError.error == QJsonParseError::NoError)
            address = document.object().value(QStringLiteral("ip")).toString();
    }

    if (!address.isEmpty())
        ui->ipaddress_value_label->setText(address);
    else if (m_addressAttempts > AddressMaxAttempts)
        ui->ipaddress_value_label->setText(tr("Unknown."));
    else
        scheduleAddressLookup();
}

// ---- user actions -----------------------------------------------------------

bool QMainDialog::logIn()
{
    if (!requestConnection())
        return false;
    ui->stackedWidget->setCurrentIndex(1);
    return true;
}

// Sends the connect request, or says why it cannot be sent: a request that
// does not fit in one frame is refused by the connection without a word.
bool QMainDialog::requestConnection()
{
    const QString username = ui->username_edit->text();
    const QString password = ui->password_edit->text();
    if (!QVarvexServiceConnection::connectRequestFits(m_selectedServer.hostname, username, password)) {
        QMessageBox::warning(this, tr("Login error"), tr("The user name or password is too long."),
                             QMessageBox::Ok);
        return false;
    }
    m_serviceConnection->sendConnectToVPNRequest(m_selectedServer.hostname, username, password);
    return true;
}

void QMainDialog::connectOrDisconnect()
{
    switch (m_state) {
    case 3:
        requestConnection();
        break;
    case 1:
    case 4:
        m_serviceConnection->sendAbortRequest();
        break;
    default:
        break;
    }
}

int QMainDialog::rowOfServer(const QString& name) const
{
    for (int row = 0; row < ui->comboBox->count(); ++row) {
        if (ui->comboBox->itemData(row, Qt::UserRole).toMap().value(QStringLiteral("name")).toString() == name)
            return row;
    }
    return -1;
}

VPNServerInfo QMainDialog::serverOfRow(int row) const
{
    if (row < 0)
        return VPNServerInfo();
    const QVariantMap data = ui->comboBox->itemData(row, Qt::UserRole).toMap();
    return VPNServerInfo{data.value(QStringLiteral("name")).toString(), data.value(QStringLiteral("code")).toString(),
                         data.value(QStringLiteral("hostname")).toString()};
}

bool QMainDialog::switchToServer(const QString& name)
{
    const int row = rowOfServer(name);
    ui->comboBox->setCurrentIndex(row < 0 ? 0 : row);
    m_selectedServer = serverOfRow(row);
    return logIn();
}

void QMainDialog::showConnectionPage()
{
    ui->title_label->setPixmap(QPixmap(QStringLiteral(":/imgs/title-logo.png")));
    ui->title_label->setCursor(Qt::PointingHandCursor);
    ui->stackedWidget->setCurrentIndex(1);
    vpn_notifyStatusChange(m_state);
}

void QMainDialog::on_minimize_button_clicked()
{
    setWindowState(Qt::WindowMinimized);
}

void QMainDialog::on_close_button_clicked()
{
    hide();
}

void QMainDialog::on_username_label_clicked()
{
    ui->username_edit->setFocus(Qt::OtherFocusReason);
}

void QMainDialog::on_password_label_clicked()
{
    ui->password_edit->setFocus(Qt::OtherFocusReason);
}

void QMainDialog::on_connect_button_clicked()
{
    logIn();
}

void QMainDialog::on_settings_button_clicked()
{
    showConnectionPage();
}

void QMainDialog::on_connect_frame_clicked()
{
    connectOrDisconnect();
}

void QMainDialog::on_title_label_clicked()
{
    if (m_state != 3)
        return;
    ui->title_label->setPixmap(QPixmap());
    ui->title_label->setCursor(Qt::ArrowCursor);
    ui->stackedWidget->setCurrentIndex(0);
}

void QMainDialog::on_comboBox_pressed()
{
    m_selectedServer = ui->comboBox->currentServer();
    QVPNClientSettings::setConnection(m_selectedServer);
    logIn();
}

void QMainDialog::on_comboBox_starToggled()
{
    QStringList favorites;
    const QAbstractItemModel* model = ui->comboBox->model();
    for (int row = 0; row < ui->comboBox->count(); ++row) {
        if (model->index(row, 0).data(Qt::CheckStateRole).toInt() == Qt::Checked)
            favorites << ui->comboBox->itemData(row, Qt::UserRole).toMap().value(QStringLiteral("name")).toString();
    }
    QVPNClientSettings::setFavoriteServers(favorites.join(QLatin1Char(',')));
}

void QMainDialog::on_autoStart_checkBox_clicked(bool checked)
{
    QVPNClientSettings::setAutoStart(checked);
}

void QMainDialog::on_autoLogin_checkBox_clicked(bool checked)
{
    QVPNClientSettings::setAutoLogin(checked);
}

void QMainDialog::on_menuConnectTriggered(bool)
{
    if (m_state == 1 || m_state == 3)
        connectOrDisconnect();
}

void QMainDialog::on_menuStatusTriggered(bool)
{
    QString text;
    switch (static_cast<uchar>(m_state)) {
    case 0:
        text = tr("VPN connection is trying to connect to %1.").arg(m_selectedServer.name);
        break;
    case 1:
        text = tr("VPN connection is connected to %1.").arg(m_selectedServer.name);
        break;
    case 2:
    case 3:
        text = tr("VPN connection is disconnected.");
        break;
    case 4:
        text = tr("VPN connection is disconnecting, but it's trying to connect to %1.").arg(m_selectedServer.name);
        break;
    default:
        text = tr("Unknown VPN connection state.");
        break;
    }
    QMessageBox::information(this, tr("Varvex Status"), text, QMessageBox::Ok);
}

void QMainDialog::on_menuJumptToFastestTriggered(bool)
{
    const QString automatic = QStringLiteral("Automatic");
    if (m_state != 3) {
        m_pendingServerName = automatic;
        m_serviceConnection->sendAbortRequest();
        return;
    }
    ui->comboBox->setCurrentIndex(0);
    m_selectedServer = serverOfRow(rowOfServer(automatic));
    logIn();
}

void QMainDialog::on_menuChangeCountryTriggered(bool)
{
    const auto* action = qobject_cast<const QAction*>(sender());
    if (!action)
        return;
    const QString name = action->text();
    if (m_state != 3) {
        m_pendingServerName = name;
        m_serviceConnection->sendAbortRequest();
        return;
    }
    switchToServer(name);
}

void QMainDialog::on_menuFeedbacktTriggered(bool)
{
    QDesktopServices::openUrl(QUrl(QStringLiteral("http://") + WebApi::webHost() + QStringLiteral("/feedback/")));
}

void QMainDialog::on_menuSettingsTriggered(bool)
{
    if (m_state == 3)
        showConnectionPage();
}

void QMainDialog::on_menuExitTriggered(bool)
{
    if (m_state == 1) {
        m_exitPending = true;
        m_serviceConnection->sendAbortRequest();
    } else if (m_state == 3) {
        exitClient();
    }
}

void QMainDialog::exitClient()
{
    close();
    emit exitRequested();
}

void QMainDialog::on_TrayActivated(QSystemTrayIcon::ActivationReason reason)
{
    if (reason == QSystemTrayIcon::Trigger)
        show();
}

void QMainDialog::keyPressEvent(QKeyEvent* event)
{
    // A dialog rejects itself on Escape; this window is the whole program,
    // which ends through Exit only.
    if (event->key() == Qt::Key_Escape || event->matches(QKeySequence::Cancel)) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

// ---- dragging the frameless window ------------------------------------------

void QMainDialog::mousePressEvent(QMouseEvent* event)
{
    m_dragOffset = event->localPos().toPoint();
    m_dragging = true;
}

void QMainDialog::mouseMoveEvent(QMouseEvent* event)
{
    if (m_dragging)
        move(event->screenPos().toPoint() - m_dragOffset);
}

void QMainDialog::mouseReleaseEvent(QMouseEvent*)
{
    m_dragging = false;
}
