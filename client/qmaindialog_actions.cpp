#include "qmaindialog.h"
#include "ui_qmaindialog.h"

#include <QAction>
#include <QDesktopServices>
#include <QMenu>
#include <QMessageBox>
#include <QUrl>

#include "qvarvexserviceconnection.h"
#include "qvpnnotifier.h"
#include "qvpnclientsettings.h"
#include "webapi.h"

// What the user does in the window and the tray menu, and the sequences that
// connect, switch servers and exit.

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

void QMainDialog::sendAbort()
{
    m_notifier->abortRequested();
    m_serviceConnection->sendAbortRequest();
}

void QMainDialog::connectOrDisconnect()
{
    switch (m_state) {
    case QVarvexCommandDisconnected:
        requestConnection();
        break;
    case QVarvexCommandConnected:
    case QVarvexCommandReconnecting:
        sendAbort();
        break;
    default:
        break;
    }
}

bool QMainDialog::switchToServer(const QString& name)
{
    const int row = ui->comboBox->rowOfServer(name);
    ui->comboBox->setCurrentIndex(row < 0 ? 0 : row);
    m_selectedServer = ui->comboBox->serverOfRow(row);
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
    if (m_state != QVarvexCommandDisconnected)
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
    QVPNClientSettings::setFavoriteServers(ui->comboBox->favoriteNames().join(QLatin1Char(',')));
}

void QMainDialog::on_autoStart_checkBox_clicked(bool checked)
{
    QVPNClientSettings::setAutoStart(checked);
}

void QMainDialog::on_autoLogin_checkBox_clicked(bool checked)
{
    QVPNClientSettings::setAutoLogin(checked);
}

// ---- tray menu ---------------------------------------------------------------

void QMainDialog::on_menuConnectTriggered(bool)
{
    if (m_state == QVarvexCommandConnected || m_state == QVarvexCommandDisconnected)
        connectOrDisconnect();
}

void QMainDialog::on_menuStatusTriggered(bool)
{
    QString text;
    switch (static_cast<uchar>(m_state)) {
    case QVarvexCommandConnecting:
        text = tr("VPN connection is trying to connect to %1.").arg(m_selectedServer.name);
        break;
    case QVarvexCommandConnected:
        text = tr("VPN connection is connected to %1.").arg(m_selectedServer.name);
        break;
    case QVarvexCommandDisconnecting:
    case QVarvexCommandDisconnected:
        text = tr("VPN connection is disconnected.");
        break;
    case QVarvexCommandReconnecting:
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
    if (m_state != QVarvexCommandDisconnected) {
        m_pendingServerName = automatic;
        sendAbort();
        return;
    }
    ui->comboBox->setCurrentIndex(0);
    m_selectedServer = ui->comboBox->serverOfRow(ui->comboBox->rowOfServer(automatic));
    logIn();
}

void QMainDialog::on_menuChangeCountryTriggered(bool)
{
    const auto* action = qobject_cast<const QAction*>(sender());
    if (!action)
        return;
    const QString name = action->text();
    if (m_state != QVarvexCommandDisconnected) {
        m_pendingServerName = name;
        sendAbort();
        return;
    }
    switchToServer(name);
}

void QMainDialog::on_menuFeedbacktTriggered(bool)
{
    QDesktopServices::openUrl(WebApi::feedbackUrl());
}

void QMainDialog::on_menuSettingsTriggered(bool)
{
    if (m_state == QVarvexCommandDisconnected)
        showConnectionPage();
}

void QMainDialog::on_menuExitTriggered(bool)
{
    if (m_state == QVarvexCommandConnected) {
        m_exitPending = true;
        sendAbort();
    } else if (m_state == QVarvexCommandDisconnected) {
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
