#include "qmaindialog.h"
#include "ui_qmaindialog.h"

#include <QAction>
#include <QBitmap>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>

#include "qvarvexserviceconnection.h"
#include "qvpnclientsettings.h"
#include "qvpnlistservers.h"
#include "qvpnnotifier.h"
#include "qvpnpublicaddresslookup.h"
#include "robotofont.h"

#include <cstdio>

// The window's construction, fonts, shape and dragging. What it shows per
// connection state is in qmaindialog_state.cpp; what the user does, the tray
// menu and the connect and exit sequences are in qmaindialog_actions.cpp.

QMainDialog::QMainDialog(QWidget* parent)
    : QDialog(parent)
    , ui(new Ui::QMainDialog)
    , m_trayIcon(new QSystemTrayIcon(this))
    , m_trayMenu(new QMenu(this))
    , m_serviceConnection(new QVarvexServiceConnection(this))
    , m_notifier(new QVPNNotifier(this))
    , m_addressLookup(new QVPNPublicAddressLookup(this))
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
    connect(m_serviceConnection, &QVarvexServiceConnection::serviceLost, this, &QMainDialog::vpn_serviceLost);
    connect(m_addressLookup->webApi(), &WebApiClient::answered, this, &QMainDialog::http_finished);
    connect(m_addressLookup, &QVPNPublicAddressLookup::resultReady, this, &QMainDialog::showAddressResult);
    connect(m_notifier, &QVPNNotifier::notify, this, &QMainDialog::showNotification);
    connect(m_trayIcon, &QSystemTrayIcon::activated, this, &QMainDialog::on_TrayActivated);
    connect(m_connectAction, &QAction::triggered, this, &QMainDialog::on_menuConnectTriggered);
    connect(m_statusAction, &QAction::triggered, this, &QMainDialog::on_menuStatusTriggered);
    connect(m_jumpToFastestAction, &QAction::triggered, this, &QMainDialog::on_menuJumptToFastestTriggered);
    connect(m_feedbackAction, &QAction::triggered, this, &QMainDialog::on_menuFeedbacktTriggered);
    connect(m_settingsAction, &QAction::triggered, this, &QMainDialog::on_menuSettingsTriggered);
    connect(m_exitAction, &QAction::triggered, this, &QMainDialog::on_menuExitTriggered);

    if (!m_serviceConnection->connectToService()) {
        if (!m_serviceConnection->refusalReason().isEmpty()) {
            std::printf("Not connecting to the Varvex service: %s.\n",
                        qPrintable(m_serviceConnection->refusalReason()));
            std::fflush(stdout);
        }
        QMessageBox::critical(this, tr("Connection error"), tr("Can't connect to Varvex service."),
                              QMessageBox::Ok);
        m_serviceReachable = false;
        return;
    }

    m_trayIcon->setContextMenu(m_trayMenu);
    showInitialTrayIcon();
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

void QMainDialog::applyFonts()
{
    const QFont editFont = robotoFont(16, 60);
    ui->username_edit->setFont(editFont);
    ui->password_edit->setFont(editFont);

    const QFont buttonFont = robotoFont(20, 70);
    ui->connect_button->setFont(buttonFont);
    ui->settings_button->setFont(buttonFont);

    const QFont checkBoxFont = robotoFont(14, 70);
    for (QCheckBox* box : {ui->autoStart_checkBox, ui->autoLogin_checkBox}) {
        box->setFont(checkBoxFont);
        // A font in the style sheet would override this one: keep its colour only.
        box->setStyleSheet(QStringLiteral("color: #999999"));
    }

    ui->connect_label->setFont(robotoFont(20, 50));

    ui->connect_country_label->setFont(robotoFont(10, 75));
    ui->connect_country_label->setStyleSheet(QStringLiteral("color: #863d38"));

    QFont statusFont = robotoFont(14, 100, QStringLiteral("Roboto Condensed"));
    statusFont.setLetterSpacing(QFont::AbsoluteSpacing, 5.0);
    ui->connecton_label->setFont(statusFont);

    const QFont captionFont = robotoFont(10, 100);
    for (QLabel* label : {ui->ipaddress_label, ui->time_connected_label, ui->encryption_text}) {
        label->setFont(captionFont);
        label->setStyleSheet(QStringLiteral("color: #999999"));
    }

    const QFont valueFont = robotoFont(16, 40);
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

void QMainDialog::showNotification(const QString& text)
{
    // Read at each use, so that `varvexctl notifications off` counts at once.
    if (QVPNClientSettings::getNotifications() && m_trayIcon->isVisible())
        m_trayIcon->showMessage(QStringLiteral("Varvex"), text, QSystemTrayIcon::Information);
}

void QMainDialog::vpn_serviceLost()
{
    // Without the service the window can do nothing: say so and end.
    QMessageBox box(QMessageBox::Critical,
                    QCoreApplication::translate("QVarvexServiceConnection", "Connection error"),
                    QCoreApplication::translate("QVarvexServiceConnection",
                                                "Connection to Varvex service was closed.\nTerminating this app."),
                    QMessageBox::Ok);
    box.exec();
    QCoreApplication::exit(4);
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
