// The main window driven through a fake service on the real local socket:
// its widget tree, what each connection state shows, and the actions that
// must first tear the tunnel down and then act.
#include <QtTest>
#include <QAction>
#include <QCheckBox>
#include <QDesktopServices>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QStackedWidget>
#include <QStandardItemModel>
#include <QTemporaryDir>

#include "fakeservice.h"
#include "qclicableframe.h"
#include "qclickablelabel.h"
#include "qmaindialog.h"
#include "qvarvexserviceconnection.h"
#include "qvpnbandwidthwidget.h"
#include "qvpnclientsettings.h"
#include "qvpnnotifier.h"
#include "qvpncredentialscrypt.h"
#include "qvpnservercombobox.h"
#include "recordinghttpserver.h"
#include "testcertificates.h"
#include "webapiclient.h"

namespace {

// Answers every message box that opens while it lives and keeps its text.
class BoxAnswerer : public QObject
{
public:
    BoxAnswerer()
    {
        connect(&m_timer, &QTimer::timeout, this, [this]() {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                titles << box->windowTitle();
                texts << box->text();
                box->done(QMessageBox::Ok);
            }
        });
        m_timer.start(20);
    }
    QStringList titles;
    QStringList texts;

private:
    QTimer m_timer;
};

class UrlCatcher : public QObject
{
    Q_OBJECT
public slots:
    void open(const QUrl& url) { urls << url; }

public:
    QList<QUrl> urls;
};

bool hasPixmap(const QLabel* label)
{
    return !label->pixmap(Qt::ReturnByValue).isNull();
}

bool showsImage(const QLabel* label, const char* path)
{
    const QImage expected = QPixmap(QLatin1String(path)).toImage();
    return !expected.isNull() && label->pixmap(Qt::ReturnByValue).toImage() == expected;
}

const QByteArray ServerList = "{\"Germany\": {\"code\": \"DE\", \"host\": \"127.0.0.3\"},"
                              " \"Automatic\": {\"code\": \"auto\", \"host\": \"127.0.0.2\"},"
                              " \"Japan\": {\"code\": \"JP\", \"host\": \"127.0.0.4\"}}";

} // namespace

class TestWindow : public QObject
{
    Q_OBJECT

private slots:
    void notifierTellsOnlyUnaskedChanges();
    void initTestCase();
    void init();
    void cleanup();

    void widgetTree_data();
    void widgetTree();
    void windowAtStart();
    void unreachableService();
    void storedLoginAndAutoLogin();
    void credentialsFromService();
    void stateTable_data();
    void stateTable();
    void dashesLeaveItemsAlone();
    void connectedStoresLoginAndCountsPastADay();
    void publicAddressRetries();
    void webApiOverTls_data();
    void webApiOverTls();
    void hungPublicAddressLookupIsRetried();
    void connectFrameActsByState();
    void exitWhileConnected();
    void exitWhileBusyDoesNothing();
    void escapeLeavesTheWindowAlone();
    void onlyExitEndsTheProgram();
    void oversizeLoginIsRefusedWithAMessage();
    void checkBoxesKeepTheirFont();
    void jumpToFastest();
    void jumpToFastestWithoutAutomatic();
    void changeCountry();
    void loginFailure();
    void statusBox();
    void serverChooserAndFavourites();
    void pagesAndTray();
    void roundedOutline();
    void clickableLabelAndDragging();

private:
    QMainDialog* createWindow(bool waitForGreeting = true);
    template<class T> T* child(const char* name) { return m_window->findChild<T*>(QLatin1String(name)); }
    QAction* trayAction(const QString& text) const;
    void sendState(quint8 state, quint32 connectTime = 0);

    QTemporaryDir m_tmp;
    QTemporaryDir m_config;
    FakeService* m_service = nullptr;
    RecordingHttpServer* m_web = nullptr;
    QMainDialog* m_window = nullptr;
};

void TestWindow::initTestCase()
{
    Q_INIT_RESOURCE(varvex);
    QVERIFY(m_tmp.isValid() && m_config.isValid());
    qputenv("TMPDIR", m_tmp.path().toLocal8Bit());
    qputenv("VARVEX_SOCKET_DIR", m_tmp.path().toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", m_config.path().toLocal8Bit());
    qputenv("VARVEX_WEB_HOST", "www.example.test");
    QApplication::setQuitOnLastWindowClosed(false);
}

void TestWindow::init()
{
    QVPNClientSettings().clear();
    QVPNClientSettings::setAutoStart(false);
    m_web = new RecordingHttpServer;
    // Paths the window does not use get an empty object.
    m_web->setDefaultAnswer(RecordingHttpServer::Answer{200, "{}", 0, QByteArray(), false});
    m_web->setAnswer("/get_ip/", 200, "{\"ip\": \"203.0.113.7\"}");
    m_web->setAnswer("/get_list/", 200, ServerList);
    QVERIFY(m_web->start());
    qputenv("VARVEX_API_HOST", m_web->hostAndPort().toLatin1());
    m_service = new FakeService;
    QVERIFY(m_service->listen());
}

void TestWindow::cleanup()
{
    // The window goes first: its connection must not see the service vanish.
    delete m_window;
    m_window = nullptr;
    delete m_service;
    m_service = nullptr;
    delete m_web;
    m_web = nullptr;
}

QMainDialog* TestWindow::createWindow(bool waitForGreeting)
{
    m_window = new QMainDialog(nullptr);
    m_window->setWindowFlags(Qt::FramelessWindowHint); // as main() does
    if (waitForGreeting && m_window->serviceReachable()) {
        // The greeting's state 3 is the only thing that shows the chooser page.
        auto* buttonOrChooser = child<QStackedWidget>("connect_stackedWidget");
        if (!QTest::qWaitFor([&]() { return buttonOrChooser->currentIndex() == 1; }, 5000))
            qWarning("no greeting from the fake service");
    }
    return m_window;
}

QAction* TestWindow::trayAction(const QString& text) const
{
    for (QAction* action : m_window->trayMenu()->actions()) {
        if (action->text() == text)
            return action;
    }
    return nullptr;
}

void TestWindow::sendState(quint8 state, quint32 connectTime)
{
    if (state == 1 && connectTime == 0)
        connectTime = QDateTime::currentDateTimeUtc().toSecsSinceEpoch();
    auto* connection = m_window->findChild<QVarvexServiceConnection*>();
    QVERIFY(connection);
    QSignalSpy delivered(connection, &QVarvexServiceConnection::notifyStatusChange);
    m_service->sendStatus(state, "10.8.0.6", connectTime);
    QTRY_COMPARE(delivered.count(), 1);
}

void TestWindow::widgetTree_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("text");
    const QList<QStringList> rows = {
        {"title_label", "QClickableLabel", ""},
        {"minimize_button", "QPushButton", ""},
        {"close_button", "QPushButton", ""},
        {"username_edit", "QLineEdit", ""},
        {"username_label", "QClickableLabel", ""},
        {"password_edit", "QLineEdit", ""},
        {"password_label", "QClickableLabel", ""},
        {"connect_button", "QPushButton", "Connect"},
        {"settings_button", "QPushButton", "Settings"},
        {"connect_frame", "QClicableFrame", ""},
        {"connect_label", "QLabel", "Disconnected"},
        {"comboBox", "QVPNServerComboBox", ""},
        {"bandwidth_widget", "QVPNBandwidthWidget", ""},
        {"connecton_label", "QLabel", "DISCONNECTED"},
        {"ipaddress_label", "QLabel", "Varvex ADDRESS"},
        {"ipaddress_value_label", "QLabel", "Detecting..."},
        {"time_connected_label", "QLabel", "TIME CONNECTED"},
        {"autoStart_checkBox", "QCheckBox", "Auto &Start"},
        {"autoLogin_checkBox", "QCheckBox", "Auto &Login"},
        {"encryption_text", "QLabel", "VPN PROTOCOL & ENCRYPTION"},
        {"encryption_value_text", "QLabel", "OpenVPN - 256 bit"},
        {"timeconnected_section", "QStackedWidget", ""},
    };
    for (const QStringList& row : rows)
        QTest::newRow(qPrintable(row.at(0))) << row.at(0) << row.at(1) << row.at(2);
}

void TestWindow::widgetTree()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QString, text);
    // Built without a service: the tree must not depend on one.
    delete m_service;
    m_service = nullptr;
    BoxAnswerer answerer;
    createWindow(false);
    QWidget* widget = m_window->findChild<QWidget*>(name);
    QVERIFY(widget);
    QCOMPARE(QString::fromLatin1(widget->metaObject()->className()), className);
    if (!text.isEmpty())
        QCOMPARE(widget->property("text").toString(), text);
}

void TestWindow::windowAtStart()
{
    createWindow(false);
    QStringList entries;
    for (QAction* action : m_window->trayMenu()->actions())
        entries << action->text();
    QCOMPARE(entries, QStringList({"&Connect", "&Status", "&Jump to fastest", "C&hange country", "&Feedback",
                                   "Se&ttings", "E&xit"}));
    QVERIFY(m_window->serviceReachable());
    QVERIFY(m_window->showAtStart());
    QCOMPARE(m_window->windowTitle(), QString("Varvex Client"));
    QCOMPARE(m_window->minimumSize(), QSize(344, 545));
    QCOMPARE(m_window->maximumSize(), QSize(344, 545));
    QCOMPARE(m_window->size(), QSize(344, 545));
    QCOMPARE(child<QStackedWidget>("stackedWidget")->currentWidget()->objectName(), QString("login_page"));
    QVERIFY(!hasPixmap(child<QLabel>("title_label")));
    QVERIFY(hasPixmap(child<QLabel>("logo_image_label")));
    QCOMPARE(child<QLineEdit>("password_edit")->echoMode(), QLineEdit::Password);
    const QList<QPair<const char*, int>> heights = {{"titleBackground_widget", 48}, {"username_frame", 62},
                                                    {"connect_button", 64}, {"frame", 109},
                                                    {"connecton_label", 44}, {"timeconnected_section", 64}};
    for (const auto& fixed : heights) {
        QCOMPARE(child<QWidget>(fixed.first)->minimumHeight(), fixed.second);
        QCOMPARE(child<QWidget>(fixed.first)->maximumHeight(), fixed.second);
    }
    QCOMPARE(child<QLineEdit>("username_edit")->placeholderText(), QString("Username"));

    const QFont status = child<QLabel>("connecton_label")->font();
    QCOMPARE(status.family(), QString("Roboto Condensed"));
    QCOMPARE(status.pointSize(), 14);
    QCOMPARE(status.weight(), 100);
    QCOMPARE(status.letterSpacingType(), QFont::AbsoluteSpacing);
    QCOMPARE(status.letterSpacing(), 5.0);
    const QFont edit = child<QLineEdit>("username_edit")->font();
    QCOMPARE(edit.family(), QString("Roboto"));
    QCOMPARE(edit.pointSize(), 16);
    QCOMPARE(edit.weight(), 60);
    QCOMPARE(edit.styleStrategy(), QFont::PreferAntialias);
    QCOMPARE(child<QPushButton>("connect_button")->font().pointSize(), 20);
    QCOMPARE(child<QLabel>("encryption_value_text")->font().weight(), 40);
    QCOMPARE(child<QLabel>("encryption_value_text")->styleSheet(), QString("color: #333333"));
    QCOMPARE(child<QLabel>("ipaddress_label")->styleSheet(), QString("color: #999999"));
    QCOMPARE(child<QLabel>("connect_country_label")->styleSheet(), QString("color: #863d38"));
    QCOMPARE(m_window->trayIconPath(), QString(":/imgs/tray/tray_off.ico"));

    // The service was asked for the provisioned login, as none is stored.
    QTRY_COMPARE(m_service->count(VARVEX_CMD_CREDENTIALS_REQUEST), 1);
    QCOMPARE(m_service->count(VARVEX_CMD_CONNECT_REQUEST), 0);
}

void TestWindow::unreachableService()
{
    delete m_service;
    m_service = nullptr;
    BoxAnswerer answerer;
    createWindow(false);
    QVERIFY(!m_window->serviceReachable());
    QVERIFY(!m_window->showAtStart());
    QCOMPARE(answerer.titles, QStringList("Connection error"));
    QCOMPARE(answerer.texts, QStringList("Can't connect to Varvex service."));
    QVERIFY(m_window->trayIconPath().isEmpty());
}

void TestWindow::storedLoginAndAutoLogin()
{
    QVPNClientSettings::setCredentials("alice", "s3cret");
    QVPNClientSettings::setAutoLogin(true);
    QVPNClientSettings::setConnection({"Japan", "JP", "127.0.0.4"});
    createWindow();
    QCOMPARE(child<QLineEdit>("username_edit")->text(), QString("alice"));
    QCOMPARE(child<QLineEdit>("password_edit")->text(), QString("s3cret"));
    QVERIFY(child<QCheckBox>("autoLogin_checkBox")->isChecked());
    QVERIFY(!child<QCheckBox>("autoStart_checkBox")->isChecked());
    QCOMPARE(child<QStackedWidget>("stackedWidget")->currentIndex(), 1);

    QTRY_COMPARE(m_service->count(VARVEX_CMD_CONNECT_REQUEST), 1);
    QCOMPARE(m_service->count(VARVEX_CMD_CREDENTIALS_REQUEST), 0);
    QString host;
    QByteArray credentials;
    QVERIFY(m_service->lastConnect(&host, &credentials));
    QCOMPARE(host, QString("127.0.0.4"));
    QCOMPARE(credentials, QVPNCredentialsCrypt::encodeUserPass("alice", "s3cret"));
}

void TestWindow::credentialsFromService()
{
    createWindow();
    auto* user = child<QLineEdit>("username_edit");
    // A text the codec rejects leaves the fields alone.
    m_service->sendCredentials("not base64 at all!");
    m_service->sendCredentials(QVPNCredentialsCrypt::encodeUserPass("bob", "pw"));
    QTRY_COMPARE(user->text(), QString("bob"));
    QCOMPARE(child<QLineEdit>("password_edit")->text(), QString("pw"));
    // Filling the fields neither stores nor logs in.
    QString u, p;
    QVERIFY(!QVPNClientSettings::getCredentials(u, p) || u.isEmpty());
    QCOMPARE(m_service->count(VARVEX_CMD_CONNECT_REQUEST), 0);
}

void TestWindow::stateTable_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("statusStyle");
    QTest::addColumn<QString>("frameStyle");
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("page");
    QTest::addColumn<int>("buttonOrChooser");
    QTest::addColumn<int>("timeOrOptions");
    QTest::addColumn<QString>("tray");
    QTest::addColumn<QString>("connectEntry");
    QTest::addColumn<bool>("connectEnabled");
    QTest::addColumn<bool>("settingsEnabled");
    QTest::addColumn<bool>("iconsLit");

    const QString grey = "background: #cacacd; color: white";
    const QString blue = "background: #42b0e3; color: white";
    const QString yellow = "background: #ffc62b; border: none; border-radius: 5px;";
    const QString red = "background: #f27168; border: none; border-radius: 5px;";
    const QString idle = "background: blue; color: white; border: none; border-radius: 5px;";
    QTest::newRow("connecting") << 0 << "CONNECTING" << grey << yellow << "Connecting.." << 1 << 0 << 0
                                << ":/imgs/tray/tray_connect.ico" << "Connecting" << false << false << false;
    QTest::newRow("connected") << 1 << "CONNECTED" << blue << red << "Disconnect" << 1 << 0 << 0
                               << ":/imgs/tray/tray_on.ico" << "Disconnect" << true << false << true;
    QTest::newRow("disconnecting") << 2 << "DISCONNECTING" << grey << yellow << "Disconnecting.." << 0 << 0 << 0
                                   << ":/imgs/tray/tray_connect.ico" << "Disconnect" << false << false << false;
    QTest::newRow("timeout") << 4 << "TIMEOUT" << blue << red << "Disconnect" << 1 << 0 << 0
                             << ":/imgs/tray/tray_off.ico" << "Disconnect" << true << false << true;
    QTest::newRow("unknown") << 7 << "UNKNOWN" << grey << idle << "Connect" << 0 << 0 << 0
                             << ":/imgs/tray/tray_off.ico" << "Connect" << true << true << false;
    QTest::newRow("above a signed char") << 200 << "UNKNOWN" << grey << idle << "Connect" << 0 << 0 << 0
                                         << ":/imgs/tray/tray_off.ico" << "Connect" << true << true << false;
}

void TestWindow::stateTable()
{
    QFETCH(int, state);
    QFETCH(QString, status);
    QFETCH(QString, statusStyle);
    QFETCH(QString, frameStyle);
    QFETCH(QString, button);
    QFETCH(int, page);
    QFETCH(int, buttonOrChooser);
    QFETCH(int, timeOrOptions);
    QFETCH(QString, tray);
    QFETCH(QString, connectEntry);
    QFETCH(bool, connectEnabled);
    QFETCH(bool, settingsEnabled);
    QFETCH(bool, iconsLit);

    createWindow();
    // Starting from the greeting's state 3.
    QCOMPARE(child<QLabel>("connecton_label")->text(), QString("DISCONNECTED"));
    QCOMPARE(child<QLabel>("connect_label")->text(), QString("Connect"));
    QCOMPARE(child<QLabel>("time_connected_value_label")->text(), QString("Not Connected"));
    QCOMPARE(child<QLabel>("ipaddress_label")->text(), QString("PUBLIC IP ADDRESS"));
    QCOMPARE(child<QStackedWidget>("timeconnected_section")->currentIndex(), 1);
    QCOMPARE(child<QWidget>("title_label")->cursor().shape(), Qt::PointingHandCursor);

    sendState(quint8(state));
    QCOMPARE(child<QLabel>("connecton_label")->text(), status);
    QCOMPARE(child<QLabel>("connecton_label")->styleSheet(), statusStyle);
    QCOMPARE(child<QWidget>("connect_frame")->styleSheet(), frameStyle);
    QCOMPARE(child<QLabel>("connect_label")->text(), button);
    QCOMPARE(child<QStackedWidget>("stackedWidget")->currentIndex(), page);
    QCOMPARE(child<QStackedWidget>("connect_stackedWidget")->currentIndex(), buttonOrChooser);
    QCOMPARE(child<QStackedWidget>("timeconnected_section")->currentIndex(), timeOrOptions);
    QCOMPARE(m_window->trayIconPath(), tray);
    QAction* connectAction = m_window->trayMenu()->actions().at(0);
    QCOMPARE(connectAction->text(), connectEntry);
    QCOMPARE(connectAction->isEnabled(), connectEnabled);
    QCOMPARE(trayAction("&Jump to fastest")->isEnabled(), connectEnabled);
    QCOMPARE(trayAction("C&hange country")->isEnabled(), connectEnabled);
    QCOMPARE(trayAction("Se&ttings")->isEnabled(), settingsEnabled);
    QVERIFY(trayAction("&Status")->isEnabled());

    // The greeting left the unlit icons, which the "other" column keeps.
    QVERIFY(showsImage(child<QLabel>("ipaddress_icon"), iconsLit ? ":/imgs/encryption.png" : ":/imgs/encryption-disabled.png"));
    QVERIFY(showsImage(child<QLabel>("time_connected_icon"), iconsLit ? ":/imgs/clock.png" : ":/imgs/clock-disabled.png"));
    QVERIFY(showsImage(child<QLabel>("encryption_icon"), iconsLit ? ":/imgs/key.png" : ":/imgs/key-disabled.png"));

    const bool titleShown = state <= 4 && state != 3;
    QCOMPARE(hasPixmap(child<QLabel>("title_label")), titleShown);
    if (state == 0 || state == 2) {
        QCOMPARE(child<QLabel>("ipaddress_value_label")->text(), QString("Detecting..."));
        QCOMPARE(child<QLabel>("time_connected_value_label")->text(), QString());
    }
    if (state == 0 || state == 1 || state == 4) {
        QCOMPARE(child<QLabel>("ipaddress_label")->text(), QString("Varvex IP ADDRESS"));
        QCOMPARE(child<QLabel>("connect_country_label")->text(), QString("Automatic"));
    }
    if (state == 7)
        QCOMPARE(child<QLabel>("ipaddress_label")->text(), QString("PUBLIC IP ADDRESS"));

    // Back to disconnected: the chooser and the two options return.
    sendState(3);
    QCOMPARE(child<QStackedWidget>("connect_stackedWidget")->currentIndex(), 1);
    QCOMPARE(child<QStackedWidget>("timeconnected_section")->currentIndex(), 1);
    QCOMPARE(child<QLabel>("time_connected_value_label")->text(), QString("Not Connected"));
    QCOMPARE(m_window->trayIconPath(), QString(":/imgs/tray/tray_off.ico"));
}

// Each state changes only its own items: walk through the states so that
// every item a state leaves alone holds a value it would otherwise overwrite.
void TestWindow::dashesLeaveItemsAlone()
{
    createWindow();
    auto* title = child<QLabel>("title_label");
    auto* country = child<QLabel>("connect_country_label");
    auto* addressLabel = child<QLabel>("ipaddress_label");
    auto* address = child<QLabel>("ipaddress_value_label");
    auto* time = child<QLabel>("time_connected_value_label");
    auto* pages = child<QStackedWidget>("stackedWidget");
    QTRY_COMPARE_WITH_TIMEOUT(address->text(), QString("203.0.113.7"), 5000);
    QCOMPARE(country->styleSheet(), QString("color: #863d38"));

    sendState(0);
    QCOMPARE(title->cursor().shape(), Qt::ArrowCursor);
    QCOMPARE(country->styleSheet(), QString("color: #b67e00"));

    address->setText("kept");
    sendState(4);
    QCOMPARE(title->cursor().shape(), Qt::ArrowCursor);
    QCOMPARE(address->text(), QString("kept"));

    sendState(2);
    QCOMPARE(country->text(), QString("Automatic"));
    QCOMPARE(country->styleSheet(), QString("color: #853d38"));
    QCOMPARE(addressLabel->text(), QString("Varvex IP ADDRESS"));
    QCOMPARE(address->text(), QString("Detecting..."));
    QCOMPARE(pages->currentIndex(), 1);

    time->setText("kept");
    sendState(7);
    QCOMPARE(child<QLabel>("connect_label")->text(), QString("Disconnecting.."));
    QCOMPARE(child<QWidget>("connect_frame")->styleSheet(),
             QString("background: #ffc62b; border: none; border-radius: 5px;"));
    QCOMPARE(country->styleSheet(), QString("color: #853d38"));
    QCOMPARE(addressLabel->text(), QString("Varvex IP ADDRESS"));
    QCOMPARE(address->text(), QString("Detecting..."));
    QCOMPARE(time->text(), QString("kept"));
    QVERIFY(hasPixmap(title));
    QCOMPARE(title->cursor().shape(), Qt::ArrowCursor);
    QCOMPARE(pages->currentIndex(), 1);
    QCOMPARE(child<QStackedWidget>("connect_stackedWidget")->currentIndex(), 0);

    // State 1's own lookup only starts a second later.
    address->setText("kept");
    sendState(1);
    QCOMPARE(title->cursor().shape(), Qt::ArrowCursor);
    QCOMPARE(address->text(), QString("kept"));

    pages->setCurrentIndex(0);
    sendState(3);
    QVERIFY(hasPixmap(title));
    QCOMPARE(title->cursor().shape(), Qt::PointingHandCursor);
    QCOMPARE(pages->currentIndex(), 0);
    QCOMPARE(country->styleSheet(), QString("color: #863d38"));
    QCOMPARE(address->text(), QString("Detecting..."));
}

void TestWindow::connectedStoresLoginAndCountsPastADay()
{
    QCOMPARE(QMainDialog::elapsedText(QDateTime(), QDateTime::currentDateTime()), QString("00:00:00"));
    const QDateTime start = QDateTime::currentDateTime();
    QCOMPARE(QMainDialog::elapsedText(start, start.addSecs(3599)), QString("00:59:59"));
    QCOMPARE(QMainDialog::elapsedText(start, start.addSecs(24 * 3600)), QString("24:00:00"));
    QCOMPARE(QMainDialog::elapsedText(start, start.addSecs(100 * 3600 + 61)), QString("100:01:01"));
    QCOMPARE(QMainDialog::elapsedText(start, start.addSecs(-5)), QString("00:00:00"));

    createWindow();
    child<QLineEdit>("username_edit")->setText("carol");
    child<QLineEdit>("password_edit")->setText("pa:ss");
    const quint32 dayAgo = quint32(QDateTime::currentDateTimeUtc().toSecsSinceEpoch() - (25 * 3600 + 1));
    sendState(1, dayAgo);
    auto* time = child<QLabel>("time_connected_value_label");
    QVERIFY2(time->text().startsWith("25:00:0"), qPrintable(time->text()));
    QString u, p;
    QVERIFY(QVPNClientSettings::getCredentials(u, p));
    QCOMPARE(u, QString("carol"));
    QCOMPARE(p, QString("pa:ss"));

    // The timer keeps the label current; disconnecting stops it.
    time->setText("stale");
    QTRY_VERIFY_WITH_TIMEOUT(time->text().startsWith("25:00:"), 3000);
    sendState(2);
    QCOMPARE(time->text(), QString());
    QTest::qWait(1200);
    QCOMPARE(time->text(), QString());
}

void TestWindow::publicAddressRetries()
{
    createWindow();
    auto* address = child<QLabel>("ipaddress_value_label");
    QTRY_COMPARE_WITH_TIMEOUT(address->text(), QString("203.0.113.7"), 5000);

    // An empty address is a failure: four requests a second apart, then give up.
    m_web->setAnswer("/get_ip/", 200, "{\"ip\": \"\"}");
    m_web->clearRequests();
    sendState(0);
    sendState(3);
    QCOMPARE(address->text(), QString("Detecting..."));
    QTRY_COMPARE_WITH_TIMEOUT(address->text(), QString("Unknown."), 8000);
    QCOMPARE(m_web->count("/get_ip/"), 4);
}

void TestWindow::webApiOverTls_data()
{
    QTest::addColumn<QString>("serverCertificate");
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("servers"); // chooser rows
    QTest::newRow("trusted") << "server" << "203.0.113.7" << 3;
    // Refused like any failed answer: no list, and the lookup gives up.
    QTest::newRow("man in the middle") << "mitm" << "Unknown." << 0;
}

void TestWindow::webApiOverTls()
{
    QFETCH(QString, serverCertificate);
    QFETCH(QString, address);
    QFETCH(int, servers);
    QTemporaryDir certificates;
    const QString error = makeTestCertificates(certificates.path());
    QVERIFY2(error.isEmpty(), qPrintable(error));
    const QString folder = certificates.path() + QLatin1Char('/');
    ScopedHttpsWebApi https(folder + "ca.crt");
    RecordingHttpServer tls;
    tls.setAnswer("/get_ip/", 200, "{\"ip\": \"203.0.113.7\"}");
    tls.setAnswer("/get_list/", 200, ServerList);
    QVERIFY(tls.startTls(folder + serverCertificate + ".crt", folder + serverCertificate + ".key"));
    qputenv("VARVEX_API_HOST", tls.hostAndPort().toLatin1());

    createWindow();
    sendState(1);
    auto* label = child<QLabel>("ipaddress_value_label");
    QTRY_COMPARE_WITH_TIMEOUT(label->text(), address, 8000);
    QTRY_COMPARE(child<QVPNServerComboBox>("comboBox")->count(), servers);
    QCOMPARE(tls.requests.isEmpty(), servers == 0);
    delete m_window; // before the server goes
    m_window = nullptr;
}

void TestWindow::hungPublicAddressLookupIsRetried()
{
    createWindow();
    auto* address = child<QLabel>("ipaddress_value_label");
    QTRY_COMPARE_WITH_TIMEOUT(address->text(), QString("203.0.113.7"), 5000);

    // A web API that accepts and never answers: the request times out,
    // counts as a failed attempt, and the next one gets the address.
    m_web->hangNext("/get_ip/", 1);
    m_web->clearRequests();
    sendState(0);
    sendState(3);
    QTRY_COMPARE_WITH_TIMEOUT(m_web->count("/get_ip/"), 1, 3000);
    QCOMPARE(address->text(), QString("Detecting..."));
    QTRY_COMPARE_WITH_TIMEOUT(address->text(), QString("203.0.113.7"), WebApi::TransferTimeoutMs + 4000);
    QCOMPARE(m_web->count("/get_ip/"), 2);
}

void TestWindow::connectFrameActsByState()
{
    createWindow();
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
    child<QLineEdit>("username_edit")->setText("dave");
    auto* frame = child<QWidget>("connect_frame");

    sendState(1);
    QTest::mouseClick(frame, Qt::LeftButton);
    QTRY_COMPARE(m_service->count(VARVEX_CMD_ABORT_REQUEST), 1);

    sendState(0);
    QTest::mouseClick(frame, Qt::LeftButton);
    trayAction("Connecting")->trigger(); // disabled in this state: nothing happens
    QTest::qWait(100);
    QCOMPARE(m_service->count(VARVEX_CMD_ABORT_REQUEST), 1);
    QCOMPARE(m_service->count(VARVEX_CMD_CONNECT_REQUEST), 0);

    // State 4: the tray entry is named Disconnect but does nothing.
    sendState(4);
    m_window->trayMenu()->actions().at(0)->trigger();
    QTest::qWait(100);
    QCOMPARE(m_service->count(VARVEX_CMD_ABORT_REQUEST), 1);
    // The frame itself does abort in state 4.
    QTest::mouseClick(frame, Qt::LeftButton);
    QTRY_COMPARE(m_service->count(VARVEX_CMD_ABORT_REQUEST), 2);

    sendState(2);
    QTest::mouseClick(frame, Qt::LeftButton);
    QTest::qWait(100);
    QCOMPARE(m_service->count(VARVEX_CMD_ABORT_REQUEST), 2);
    QCOMPARE(m_service->count(VARVEX_CMD_CONNECT_REQUEST), 0);

    sendState(3);
    m_window->trayMenu()->actions().at(0)->trigger();
    QTRY_COMPARE(m_service->count(VARVEX_CMD_CONNECT_REQUEST), 1);
    QString host;
    QByteArray credentials;
    QVERIFY(m_service->lastConnect(&host, &credentials));
    QCOMPARE(host, QVPNClientSettings::getConnection().hostname);
    QCOMPARE(credentials, QVPNCredentialsCrypt::encodeUserPass("dave", ""));

    // In state 3 the frame connects too, and the page stays where it is.
    auto* pages = child<QStackedWidget>("stackedWidget");
    pages->setCurrentIndex(0);
    QMetaObject::invokeMethod(frame, "clicked");
    QTRY_COMPARE(m_service->count(VARVEX_CMD_CONNECT_REQUEST), 2);
    QCOMPARE(pages->currentIndex(), 0);
}

void TestWindow::exitWhileConnected()
{
    createWindow();
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
    sendState(1);
    trayAction("E&xit")->trigger();
    QTRY_COMPARE(m_service->count(VARVEX_CMD_ABORT_REQUEST), 1);
    sendState(2);
    QTest::qWait(50);
    QVERIFY(m_window->isVisible());

    m_service->sendStatus(3);
    QTRY_VERIFY(!m_window->isVisible());
    QCOMPARE(m_window->recordedState(), 2);
    QCOMPARE(m_service->count(VARVEX_CMD_ABORT_REQUEST), 1);
    QCOMPARE(m_service->count(VARVEX_CMD_CONNECT_REQUEST), 0);
}

void TestWindow::exitWhileBusyDoesNothing()
{
    createWindow();
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
    for (quint8 state : {quint8(0), quint8(2), quint8(4), quint8(7)}) {
        sendState(state);
        trayAction("E&xit")->trigger();
    }
    sendState(3);
    QTest::qWait(50);
    QVERIFY(m_window->isVisible());
    QCOMPARE(m_service->count(VARVEX_CMD_ABORT_REQUEST), 0);

    QSignalSpy exitRequested(m_window, &QMainDialog::exitRequested);
    trayAction("E&xit")->trigger();
    QVERIFY(!m_window->isVisible());
    QCOMPARE(exitRequested.count(), 1);
}

// A dialog would reject itself on Escape; this one is the whole program.
void TestWindow::escapeLeavesTheWindowAlone()
{
    createWindow();
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
    QSignalSpy finished(m_window, &QDialog::finished);
    QSignalSpy exitRequested(m_window, &QMainDialog::exitRequested);

    QTest::keyClick(m_window, Qt::Key_Escape);
    QTest::keyClick(child<QLineEdit>("username_edit"), Qt::Key_Escape);
    QVERIFY(m_window->isVisible());

    // Connected: no way out past the abort either.
    child<QPushButton>("settings_button")->click();
    sendState(1);
    QTest::keyClick(m_window, Qt::Key_Escape);
    QTest::qWait(50);
    QVERIFY(m_window->isVisible());
    QCOMPARE(m_window->recordedState(), 1);
    QCOMPARE(m_service->count(VARVEX_CMD_ABORT_REQUEST), 0);
    QCOMPARE(finished.count(), 0);
    QCOMPARE(exitRequested.count(), 0);
}

// Hiding the window, closing it as a window manager would and closing a
// message box while it is hidden leave the program running; Exit ends it.
void TestWindow::onlyExitEndsTheProgram()
{
    createWindow();
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
    QSignalSpy exitRequested(m_window, &QMainDialog::exitRequested);

    child<QPushButton>("close_button")->click();
    QVERIFY(!m_window->isVisible());
    {
        BoxAnswerer answerer;
        trayAction("&Status")->trigger();
        QCOMPARE(answerer.titles, QStringList("Varvex Status"));
    }
    m_window->show();
    QVERIFY(m_window->close());
    QVERIFY(!m_window->isVisible());
    QCOMPARE(exitRequested.count(), 0);

    // Exit while connected: the abort first, the end with state 3.
    sendState(1);
    trayAction("E&xit")->trigger();
    QTRY_COMPARE(m_service->count(VARVEX_CMD_ABORT_REQUEST), 1);
    QCOMPARE(exitRequested.count(), 0);
    m_service->sendStatus(3);
    QTRY_COMPARE(exitRequested.count(), 1);
    QVERIFY(!m_window->isVisible());
}

// A login that cannot fit in one request is refused with a word and the
// window stays where it is.
void TestWindow::oversizeLoginIsRefusedWithAMessage()
{
    createWindow();
    QTRY_COMPARE(child<QVPNServerComboBox>("comboBox")->count(), 3);
    auto* pages = child<QStackedWidget>("stackedWidget");
    auto* user = child<QLineEdit>("username_edit");
    auto* password = child<QLineEdit>("password_edit");
    user->setText(QString(100, QLatin1Char('u')));
    password->setText(QString(200, QLatin1Char('p')));
    QVERIFY(!QVarvexServiceConnection::connectRequestFits("127.0.0.2", user->text(), password->text()));

    BoxAnswerer answerer;
    child<QPushButton>("connect_button")->click();
    QCOMPARE(answerer.titles, QStringList("Login error"));
    QCOMPARE(answerer.texts, QStringList("The user name or password is too long."));
    QCOMPARE(pages->currentIndex(), 0);

    // The connection page's button and the tray say the same.
    child<QPushButton>("settings_button")->click();
    QMetaObject::invokeMethod(child<QClicableFrame>("connect_frame"), "clicked");
    m_window->trayMenu()->actions().at(0)->trigger();
    QCOMPARE(answerer.texts.size(), 3);
    QTest::qWait(100);
    QCOMPARE(m_service->count(VARVEX_CMD_CONNECT_REQUEST), 0);

    // Within the bound the request goes out as before.
    password->setText(QStringLiteral("pw"));
    QVERIFY(QVarvexServiceConnection::connectRequestFits("127.0.0.2", user->text(), password->text()));
    pages->setCurrentIndex(0);
    child<QPushButton>("connect_button")->click();
    QTRY_COMPARE(m_service->count(VARVEX_CMD_CONNECT_REQUEST), 1);
    QCOMPARE(pages->currentIndex(), 1);
    QCOMPARE(answerer.texts.size(), 3);
}

// The check boxes' colour comes from a style sheet that must not override
// their font.
void TestWindow::checkBoxesKeepTheirFont()
{
    createWindow();
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
    child<QPushButton>("settings_button")->click();
    for (const char* name : {"autoStart_checkBox", "autoLogin_checkBox"}) {
        auto* box = child<QCheckBox>(name);
        QVERIFY(box->isVisible());
        const QFont font = box->font();
        QCOMPARE(font.family(), QString("Roboto"));
        QCOMPARE(font.pointSize(), 14);
        QCOMPARE(font.weight(), 70);
        QCOMPARE(box->palette().color(QPalette::WindowText), QColor("#999999"));
    }
}

void TestWindow::jumpToFastest()
{
    createWindow();
    auto* combo = child<QVPNServerComboBox>("comboBox");
    QTRY_COMPARE(combo->count(), 3);
    combo->setCurrentIndex(2);
    sendState(1);
    trayAction("&Jump to fastest")->trigger();
    QTRY_COMPARE(m_service->count(VARVEX_CMD_ABORT_REQUEST), 1);
    QCOMPARE(m_service->count(VARVEX_CMD_CONNECT_REQUEST), 0);

    m_service->sendStatus(3);
    QTRY_COMPARE(m_service->count(VARVEX_CMD_CONNECT_REQUEST), 1);
    QString host;
    QByteArray credentials;
    QVERIFY(m_service->lastConnect(&host, &credentials));
    QCOMPARE(host, QString("127.0.0.2"));
    QCOMPARE(combo->currentIndex(), 0);
    // The switch is not a recorded disconnect, and the choice is not stored.
    QCOMPARE(m_window->recordedState(), 1);
    QCOMPARE(QVPNClientSettings::getConnection().name, QString("Automatic"));
    QCOMPARE(QVPNClientSettings::getConnection().hostname, QString(VARVEX_AUTO_HOSTNAME));

    // The pending name was consumed: the next disconnect is an ordinary one.
    sendState(3);
    QCOMPARE(m_service->count(VARVEX_CMD_CONNECT_REQUEST), 1);
}

void TestWindow::jumpToFastestWithoutAutomatic()
{
    m_web->setAnswer("/get_list/", 200,
                     "{\"Germany\": {\"code\": \"DE\", \"host\": \"127.0.0.3\"},"
                     " \"Japan\": {\"code\": \"JP\", \"host\": \"127.0.0.4\"}}");
    createWindow();
    auto* combo = child<QVPNServerComboBox>("comboBox");
    QTRY_COMPARE(combo->count(), 2);
    QString host;
    QByteArray credentials;

    // Disconnected: row 0 becomes current, the request goes without a host.
    combo->setCurrentIndex(1);
    trayAction("&Jump to fastest")->trigger();
    QTRY_COMPARE(m_service->count(VARVEX_CMD_CONNECT_REQUEST), 1);
    QVERIFY(m_service->lastConnect(&host, &credentials));
    QCOMPARE(host, QString());
    QCOMPARE(combo->currentIndex(), 0);
    QCOMPARE(child<QStackedWidget>("stackedWidget")->currentIndex(), 1);

    // Connected: the same once the tunnel is down.
    combo->setCurrentIndex(1);
    sendState(1);
    trayAction("&Jump to fastest")->trigger();
    QTRY_COMPARE(m_service->count(VARVEX_CMD_ABORT_REQUEST), 1);
    m_service->sendStatus(3);
    QTRY_COMPARE(m_service->count(VARVEX_CMD_CONNECT_REQUEST), 2);
    QVERIFY(m_service->lastConnect(&host, &credentials));
    QCOMPARE(host, QString());
    QCOMPARE(combo->currentIndex(), 0);
}

void TestWindow::changeCountry()
{
    createWindow();
    QMenu* countries = trayAction("C&hange country")->menu();
    QTRY_COMPARE(countries->actions().size(), 3);
    QStringList names;
    for (QAction* action : countries->actions())
        names << action->text();
    QCOMPARE(names, QStringList({"Automatic", "Germany", "Japan"}));

    // Disconnected: connect at once.
    countries->actions().at(2)->trigger();
    QTRY_COMPARE(m_service->count(VARVEX_CMD_CONNECT_REQUEST), 1);
    QString host;
    QByteArray credentials;
    QVERIFY(m_service->lastConnect(&host, &credentials));
    QCOMPARE(host, QString("127.0.0.4"));

    // Connected: abort first, connect once the tunnel is down; a second
    // choice before that replaces the first.
    sendState(1);
    countries->actions().at(2)->trigger();
    countries->actions().at(1)->trigger();
    QTRY_COMPARE(m_service->count(VARVEX_CMD_ABORT_REQUEST), 2);
    QCOMPARE(m_service->count(VARVEX_CMD_CONNECT_REQUEST), 1);
    m_service->sendStatus(3);
    QTRY_COMPARE(m_service->count(VARVEX_CMD_CONNECT_REQUEST), 2);
    QVERIFY(m_service->lastConnect(&host, &credentials));
    QCOMPARE(host, QString("127.0.0.3"));
    QCOMPARE(child<QVPNServerComboBox>("comboBox")->currentIndex(), 1);
    sendState(1);
    QCOMPARE(child<QLabel>("connect_country_label")->text(), QString("Germany"));
}

void TestWindow::loginFailure()
{
    createWindow();
    child<QPushButton>("connect_button")->click();
    QTRY_COMPARE(m_service->count(VARVEX_CMD_CONNECT_REQUEST), 1);
    sendState(0);
    m_service->sendLoginFailed();
    QTRY_COMPARE(m_service->count(VARVEX_CMD_ABORT_REQUEST), 1);
    QCOMPARE(child<QStackedWidget>("stackedWidget")->currentIndex(), 1);

    BoxAnswerer answerer;
    sendState(3);
    QTRY_COMPARE(answerer.texts.size(), 1);
    QCOMPARE(answerer.titles.at(0), QString("Login error"));
    QCOMPARE(answerer.texts.at(0), QString("Login failed.\nPlease check your username and password and try again."));
    QCOMPARE(child<QStackedWidget>("stackedWidget")->currentIndex(), 0);

    // Shown once: the next disconnect is quiet.
    sendState(0);
    sendState(3);
    QTest::qWait(100);
    QCOMPARE(answerer.texts.size(), 1);
}

void TestWindow::statusBox()
{
    createWindow();
    QTRY_COMPARE(child<QVPNServerComboBox>("comboBox")->count(), 3);
    BoxAnswerer answerer;
    const QList<QPair<quint8, QString>> cases = {
        {0, "VPN connection is trying to connect to Automatic."},
        {1, "VPN connection is connected to Automatic."},
        {2, "VPN connection is disconnected."},
        {4, "VPN connection is disconnecting, but it's trying to connect to Automatic."},
        {7, "Unknown VPN connection state."},
        {3, "VPN connection is disconnected."},
    };
    for (const auto& c : cases) {
        sendState(c.first);
        trayAction("&Status")->trigger();
        QCOMPARE(answerer.texts.last(), c.second);
    }
    QCOMPARE(answerer.titles.size(), cases.size());
    QCOMPARE(answerer.titles.filter("Varvex Status").size(), cases.size());
}

void TestWindow::serverChooserAndFavourites()
{
    createWindow();
    auto* combo = child<QVPNServerComboBox>("comboBox");
    QTRY_COMPARE(combo->count(), 3);

    auto* model = combo->model();
    model->setData(model->index(2, 0), Qt::Checked, Qt::CheckStateRole);
    model->setData(model->index(1, 0), Qt::Checked, Qt::CheckStateRole);
    model->setData(model->index(0, 0), Qt::Unchecked, Qt::CheckStateRole);
    QVERIFY(QMetaObject::invokeMethod(combo, "starToggled"));
    QCOMPARE(QVPNClientSettings::getFavoriteServers(), QString("Germany,Japan"));
    model->setData(model->index(1, 0), Qt::Unchecked, Qt::CheckStateRole);
    model->setData(model->index(2, 0), Qt::Unchecked, Qt::CheckStateRole);
    QVERIFY(QMetaObject::invokeMethod(combo, "starToggled"));
    QCOMPARE(QVPNClientSettings::getFavoriteServers(), QString());

    combo->setCurrentServer({"Germany", "DE", "127.0.0.3"});
    QVERIFY(QMetaObject::invokeMethod(combo, "pressed"));
    QTRY_COMPARE(m_service->count(VARVEX_CMD_CONNECT_REQUEST), 1);
    QString host;
    QByteArray credentials;
    QVERIFY(m_service->lastConnect(&host, &credentials));
    QCOMPARE(host, QString("127.0.0.3"));
    QCOMPARE(QVPNClientSettings::getConnection().name, QString("Germany"));

    // The two options write their settings.
    auto* autoLogin = child<QCheckBox>("autoLogin_checkBox");
    autoLogin->click();
    QVERIFY(QVPNClientSettings::getAutoLogin());
    autoLogin->click();
    QVERIFY(!QVPNClientSettings::getAutoLogin());
    child<QCheckBox>("autoStart_checkBox")->click();
    QVERIFY(QVPNClientSettings::getAutoStart());
    child<QCheckBox>("autoStart_checkBox")->click();
    QVERIFY(!QVPNClientSettings::getAutoStart());
}

void TestWindow::pagesAndTray()
{
    createWindow();
    auto* pages = child<QStackedWidget>("stackedWidget");
    auto* title = child<QLabel>("title_label");
    child<QPushButton>("settings_button")->click();
    QCOMPARE(pages->currentIndex(), 1);
    QVERIFY(hasPixmap(title));
    QCOMPARE(child<QStackedWidget>("timeconnected_section")->currentIndex(), 1);

    // The logo leads back to the login page only while disconnected.
    sendState(1);
    QMetaObject::invokeMethod(title, "clicked");
    QCOMPARE(pages->currentIndex(), 1);
    trayAction("Se&ttings")->trigger();
    sendState(3);
    QMetaObject::invokeMethod(title, "clicked");
    QCOMPARE(pages->currentIndex(), 0);
    QVERIFY(!hasPixmap(title));
    QCOMPARE(title->cursor().shape(), Qt::ArrowCursor);
    trayAction("Se&ttings")->trigger();
    QCOMPARE(pages->currentIndex(), 1);

    // Close hides; a plain click on the tray icon shows it again, other
    // activations do nothing.
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
    child<QPushButton>("close_button")->click();
    QVERIFY(!m_window->isVisible());
    auto* tray = m_window->findChild<QSystemTrayIcon*>();
    QVERIFY(tray);
    QMetaObject::invokeMethod(tray, "activated", Q_ARG(QSystemTrayIcon::ActivationReason, QSystemTrayIcon::Context));
    QVERIFY(!m_window->isVisible());
    QMetaObject::invokeMethod(tray, "activated", Q_ARG(QSystemTrayIcon::ActivationReason, QSystemTrayIcon::Trigger));
    QVERIFY(m_window->isVisible());

    // Feedback opens the web site's page in the browser.
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler("https", &catcher, "open");
    trayAction("&Feedback")->trigger();
    QDesktopServices::unsetUrlHandler("https");
    QCOMPARE(catcher.urls, QList<QUrl>({QUrl("https://www.example.test/feedback/")}));

    QMetaObject::invokeMethod(child<QLabel>("password_label"), "clicked");
    QCOMPARE(m_window->focusWidget(), child<QWidget>("password_edit"));
}

void TestWindow::roundedOutline()
{
    createWindow();
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
    const QImage image = m_window->grab().toImage();
    const QRegion mask = m_window->mask();
    QVERIFY(!mask.isEmpty());
    for (const QPoint& corner : {QPoint(0, 0), QPoint(343, 0), QPoint(0, 544), QPoint(343, 544)})
        QVERIFY2(!mask.contains(corner), qPrintable(QString("%1,%2").arg(corner.x()).arg(corner.y())));
    for (const QPoint& edge : {QPoint(0, 272), QPoint(343, 272), QPoint(172, 0), QPoint(172, 544), QPoint(172, 272)})
        QVERIFY(mask.contains(edge));
    QCOMPARE(QColor(image.pixel(0, 272)), QColor(160, 160, 160));
}

void TestWindow::clickableLabelAndDragging()
{
    createWindow();
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
    auto* label = child<QClickableLabel>("username_label");
    QSignalSpy clicks(label, &QClickableLabel::clicked);

    auto send = [](QWidget* target, QEvent::Type type, QPoint pos, Qt::MouseButton button) {
        QMouseEvent event(type, pos, target->mapToGlobal(pos), button,
                          type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::MouseButtons(button),
                          Qt::NoModifier);
        QApplication::sendEvent(target, &event);
    };

    send(label, QEvent::MouseButtonPress, {5, 5}, Qt::LeftButton);
    send(label, QEvent::MouseButtonRelease, {5, 5}, Qt::LeftButton);
    QCOMPARE(clicks.count(), 1);
    QCOMPARE(m_window->focusWidget(), child<QWidget>("username_edit"));

    // A press on the label also starts dragging the window; moving cancels the click.
    const QPoint before = m_window->pos();
    send(label, QEvent::MouseButtonPress, {5, 5}, Qt::LeftButton);
    send(label, QEvent::MouseMove, {25, 15}, Qt::LeftButton);
    send(label, QEvent::MouseButtonRelease, {25, 15}, Qt::LeftButton);
    QCOMPARE(clicks.count(), 1);
    QCOMPARE(m_window->pos(), before + QPoint(20, 10));

    // Any button drags; after the release, moving does nothing.
    const QPoint start = m_window->pos();
    send(m_window, QEvent::MouseButtonPress, {100, 20}, Qt::RightButton);
    send(m_window, QEvent::MouseMove, {90, 30}, Qt::RightButton);
    send(m_window, QEvent::MouseButtonRelease, {90, 30}, Qt::RightButton);
    QCOMPARE(m_window->pos(), start + QPoint(-10, 10));
    send(m_window, QEvent::MouseMove, {50, 50}, Qt::NoButton);
    QCOMPARE(m_window->pos(), start + QPoint(-10, 10));

    // The big button keeps its press: no drag starts from it.
    sendState(1);
    auto* frame = child<QClicableFrame>("connect_frame");
    QSignalSpy frameClicks(frame, &QClicableFrame::clicked);
    const QPoint still = m_window->pos();
    send(frame, QEvent::MouseButtonPress, {10, 10}, Qt::LeftButton);
    send(m_window, QEvent::MouseMove, {200, 200}, Qt::LeftButton);
    QCOMPARE(frameClicks.count(), 1);
    QCOMPARE(m_window->pos(), still);
}

// Ends the user asked for stay silent, whoever asked; an unasked end is
// told once it has lasted a second.
void TestWindow::notifierTellsOnlyUnaskedChanges()
{
    QVPNNotifier notifier;
    QStringList told;
    connect(&notifier, &QVPNNotifier::notify, this, [&told](const QString& text) { told << text; });
    notifier.statusChanged(QVarvexCommandConnected, "A"); // the greeting is no change
    notifier.statusChanged(QVarvexCommandDisconnecting, "A");
    notifier.statusChanged(QVarvexCommandDisconnected, "A");
    notifier.statusChanged(QVarvexCommandConnecting, "A");
    notifier.abortRequested();
    notifier.statusChanged(QVarvexCommandDisconnected, "A");
    notifier.statusChanged(QVarvexCommandConnecting, "B");
    notifier.statusChanged(QVarvexCommandConnected, "B");
    notifier.statusChanged(QVarvexCommandDisconnected, "B");
    QTRY_COMPARE(told, QStringList({"Connected to B", "Disconnected: the VPN server could not be reached."}));
}

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
