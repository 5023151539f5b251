#include "icmpping.h"
#include "qmaindialog.h"
#include "qtsingleapplication.h"

#include <QDir>
#include <QFileInfo>
#include <QFontDatabase>
#include <QList>
#include <QSystemTrayIcon>

#include <cstdio>
#include <memory>

namespace {
QList<int> registeredFontIds;
}

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
    IcmpPing::startSystemSockets();

    std::unique_ptr<QtSingleApplication> app(new QtSingleApplication(argc, argv, true));
    if (app->isRunning())
        return 0;

    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        printf("Systray is not supported by this operating system.\n");
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
