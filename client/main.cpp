#include "qmaindialog.h"
#include "qtsingleapplication.h"
#include "trayhost.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QFontDatabase>
#include <QList>
#include <QMessageBox>
#include <QSystemTrayIcon>
#include <QTimer>

#include <cstdio>
#include <memory>

namespace {
QList<int> registeredFontIds;

// Started at log-in, the client often comes before the desktop's tray
// (an XEmbed tray or a StatusNotifierItem host): give it this long.
const int TrayWaitMs = 10000;
const int TrayPollMs = 250;

// The toolkit is asked only once a tray is there, or the wait is over: it
// would remember a D-Bus tray missing at its first check for good.
bool waitForSystemTray()
{
    if (!TrayHost::present()) {
        QElapsedTimer waited;
        waited.start();
        QEventLoop loop;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, &loop, [&]() {
            if (TrayHost::present() || waited.elapsed() >= TrayWaitMs)
                loop.quit();
        });
        poll.start(TrayPollMs);
        loop.exec();
    }
    return QSystemTrayIcon::isSystemTrayAvailable();
}
} // namespace

bool registerFonts()
{
    QDir fonts(QStringLiteral("Fonts"));
    const QFileInfoList entries = fonts.entryInfoList(QStringList(QStringLiteral("*.ttf")));
    for (const QFileInfo& entry : entries) {
        const int id = QFontDatabase::addApplicationFont(entry.absoluteFilePath());
        if (id == -1) {
            printf("Error registering font %s\n", entry.baseName().toLatin1().constData());
            return false;
        }
        registeredFontIds.append(id);
    }
    return true;
}

void unregisterFonts()
{
    while (!registeredFontIds.isEmpty()) {
        if (!QFontDatabase::removeApplicationFont(registeredFontIds.takeLast()))
            printf("Unable to unregister font.\n");
    }
}

int main(int argc, char* argv[])
{
    Q_INIT_RESOURCE(varvex);

    std::unique_ptr<QtSingleApplication> app(new QtSingleApplication(argc, argv, true));
    if (app->isRunning())
        return 0;

    if (!waitForSystemTray()) {
        printf("Systray is not supported by this operating system.\n");
        fflush(stdout);
        // Started from the menu, nobody reads standard output.
        QMessageBox box(QMessageBox::Critical, QStringLiteral("Varvex"),
                        QCoreApplication::translate("QMainDialog",
                                                    "Varvex needs a system tray. On GNOME, install and enable the "
                                                    "AppIndicator extension (package gnome-shell-extension-appindicator), "
                                                    "then start Varvex again."),
                        QMessageBox::Ok);
        box.exec();
        return 1;
    }

    if (!registerFonts()) {
        printf("Error while registering fonts.\n");
        return 2;
    }

    // The window hides to the tray and message boxes may be the only windows
    // shown: none of that ends the program, only Exit and the exit codes do.
    app->setQuitOnLastWindowClosed(false);

    std::unique_ptr<QMainDialog> window(new QMainDialog());
    QObject::connect(window.get(), &QMainDialog::exitRequested, app.get(), &QCoreApplication::quit,
                     Qt::QueuedConnection);
    window->setWindowFlags(Qt::FramelessWindowHint);
    if (!window->serviceReachable())
        return 3;

    if (window->showAtStart())
        window->show();
    const int code = app->exec();

    unregisterFonts();
    window.reset();
    app.reset();
    return code;
}
