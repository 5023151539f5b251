// The whole client program on a private X display: exit codes, the
// start-up messages, the single instance and the window.
#include <QtTest>
#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QLocalServer>
#include <QLocalSocket>
#include <QRegularExpression>
#include <QTemporaryDir>

#include "localuser.h"
#include "processes.h"
#include "varvexprotocol.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

// The smallest StatusNotifierWatcher a toolkit accepts: it always has a
// host, and its properties appear in its introspection data (the toolkit
// reads IsStatusNotifierHostRegistered through it).
class WatcherStandIn : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ isStatusNotifierHostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ registeredStatusNotifierItems)
public:
    explicit WatcherStandIn(QObject* parent) : QDBusAbstractAdaptor(parent) {}
    bool isStatusNotifierHostRegistered() const { return true; }
    int protocolVersion() const { return 0; }
    QStringList registeredStatusNotifierItems() const { return items; }
    QStringList items;

public slots:
    void RegisterStatusNotifierItem(const QString& service)
    {
        items << service;
        emit StatusNotifierItemRegistered(service);
    }
    void RegisterStatusNotifierHost(const QString&) {}

signals:
    void StatusNotifierItemRegistered(const QString& service);
    void StatusNotifierItemUnregistered(const QString& service);
    void StatusNotifierHostRegistered();
};

// A notification server that keeps "summary|body" of every notification.
class NotificationsStandIn : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    explicit NotificationsStandIn(QObject* parent) : QDBusAbstractAdaptor(parent) {}
    QStringList received;

public slots:
    uint Notify(const QString&, uint, const QString&, const QString& summary, const QString& body,
                const QStringList&, const QVariantMap&, int)
    {
        received << summary + "|" + body;
        return uint(received.size());
    }
    QStringList GetCapabilities() { return {"body"}; }
    QString GetServerInformation(QString& vendor, QString& version, QString& specVersion)
    {
        vendor = "test";
        version = "1";
        specVersion = "1.2";
        return "stand-in";
    }
    void CloseNotification(uint) {}

signals:
    void NotificationClosed(uint id, uint reason);
    void ActionInvoked(uint id, const QString& actionKey);
};

namespace {

// A helper process (Xvfb, trayer) that dies with the test even when the
// test itself crashes or is killed.
class Helper
{
public:
    ~Helper() { stop(); }

    bool start(const QStringList& command, const QByteArray& display, int* readFd = nullptr)
    {
        int fds[2] = {-1, -1};
        if (readFd && pipe(fds) != 0)
            return false;
        QList<QByteArray> args;
        for (const QString& a : command)
            args << (a == "%fd" ? QByteArray::number(fds[1]) : a.toLocal8Bit());
        QVector<char*> argv;
        for (QByteArray& a : args)
            argv << a.data();
        argv << nullptr;
        QByteArray displayVar = "DISPLAY=" + display;
        const pid_t parent = getpid();

        m_pid = fork();
        if (m_pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent)
                _exit(127);
            if (readFd)
                close(fds[0]);
            if (!display.isEmpty())
                putenv(displayVar.data());
            const int devnull = open("/dev/null", O_RDWR);
            dup2(devnull, 0);
            dup2(devnull, 1);
            dup2(devnull, 2);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        if (readFd) {
            close(fds[1]);
            *readFd = fds[0];
        }
        return m_pid > 0;
    }

    bool isRunning() const { return m_pid > 0 && waitpid(m_pid, nullptr, WNOHANG) == 0; }

    void stop()
    {
        if (m_pid <= 0)
            return;
        kill(m_pid, SIGTERM);
        for (int i = 0; i < 200 && waitpid(m_pid, nullptr, WNOHANG) == 0; ++i)
            usleep(10000);
        if (waitpid(m_pid, nullptr, WNOHANG) == 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        m_pid = -1;
    }

private:
    pid_t m_pid = -1;
};

QByteArray readLineFrom(int fd, int timeoutMs)
{
    QByteArray line;
    QElapsedTimer timer;
    timer.start();
    while (!line.endsWith('\n') && timer.elapsed() < timeoutMs) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        char c;
        if (read(fd, &c, 1) != 1)
            break;
        line += c;
    }
    return line.trimmed();
}

} // namespace

class TestVarvexClient : public QObject
{
    Q_OBJECT

    QString m_client;
    Helper m_xvfb;
    Helper m_trayer;
    QByteArray m_display;
    Display* m_x = nullptr;
    QScopedPointer<QTemporaryDir> m_dir;
    QString m_base;

    QString path(const QString& name) const { return m_dir->filePath(name); }

    QProcessEnvironment clientEnvironment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("QT_QPA_PLATFORMTHEME");
        env.remove("WAYLAND_DISPLAY");
        env.insert("QT_QPA_PLATFORM", "xcb");
        env.insert("DISPLAY", QString::fromLatin1(m_display));
        // No session bus: the toolkit then looks for an X11 tray only.
        env.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + path("no-bus"));
        env.insert("TMPDIR", path("tmp"));
        env.insert("VARVEX_SOCKET_DIR", path("tmp"));
        env.insert("XDG_CONFIG_HOME", path("config"));
        env.insert("XDG_RUNTIME_DIR", path("runtime"));
        // Web requests go to a closed loopback port, never outside.
        env.insert("VARVEX_API_HOST", "127.0.0.1:9");
        env.insert("VARVEX_WEB_HOST", "127.0.0.1:9");
        return env;
    }

    void startClient(QProcess& client) const { startClient(client, clientEnvironment()); }

    void startClient(QProcess& client, const QProcessEnvironment& environment) const
    {
        client.setProcessEnvironment(environment);
        client.setWorkingDirectory(path("work"));
        client.start(m_client, QStringList());
    }

    bool ensureTray()
    {
        if (!m_trayer.isRunning()
            && !m_trayer.start({"trayer", "--edge", "bottom", "--align", "right", "--widthtype", "request",
                                "--height", "24"},
                               m_display))
            return false;
        const Atom selection = XInternAtom(m_x, "_NET_SYSTEM_TRAY_S0", False);
        return QTest::qWaitFor([&]() { return XGetSelectionOwner(m_x, selection) != None; }, 10000);
    }

    // The viewable top-level windows, by title and by owning process.
    QList<Window> topLevels(const QString& title, qint64 pid = 0) const
    {
        QList<Window> found;
        Window root, parent, *children = nullptr;
        unsigned int count = 0;
        XSync(m_x, False);
        if (!XQueryTree(m_x, DefaultRootWindow(m_x), &root, &parent, &children, &count))
            return found;
        const Atom pidAtom = XInternAtom(m_x, "_NET_WM_PID", False);
        for (unsigned int i = 0; i < count; ++i) {
            XWindowAttributes attributes;
            if (!XGetWindowAttributes(m_x, children[i], &attributes) || attributes.map_state != IsViewable)
                continue;
            if (!title.isNull()) {
                char* name = nullptr;
                const bool match = XFetchName(m_x, children[i], &name) && name && title == QString::fromUtf8(name);
                if (name)
                    XFree(name);
                if (!match)
                    continue;
            }
            if (pid) {
                Atom type;
                int format;
                unsigned long items, after;
                unsigned char* data = nullptr;
                const bool match = XGetWindowProperty(m_x, children[i], pidAtom, 0, 1, False, XA_CARDINAL, &type,
                                                      &format, &items, &after, &data) == Success
                                   && data && items == 1 && *reinterpret_cast<unsigned long*>(data) == quint64(pid);
                if (data)
                    XFree(data);
                if (!match)
                    continue;
            }
            found << children[i];
        }
        if (children)
            XFree(children);
        return found;
    }

    // What the window's close button would do.
    void closeWindow(Window w) const
    {
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = w;
        event.xclient.message_type = XInternAtom(m_x, "WM_PROTOCOLS", False);
        event.xclient.format = 32;
        event.xclient.data.l[0] = long(XInternAtom(m_x, "WM_DELETE_WINDOW", False));
        event.xclient.data.l[1] = CurrentTime;
        XSendEvent(m_x, w, False, NoEventMask, &event);
        XFlush(m_x);
    }

    // The viewable windows of a process anywhere in the tree, such as the
    // tray icon that the tray host has taken in.
    QList<Window> windowsOf(qint64 pid, Window under = None) const
    {
        QList<Window> found;
        if (under == None) {
            XSync(m_x, False);
            under = DefaultRootWindow(m_x);
        }
        Window root, parent, *children = nullptr;
        unsigned int count = 0;
        if (!XQueryTree(m_x, under, &root, &parent, &children, &count))
            return found;
        const Atom pidAtom = XInternAtom(m_x, "_NET_WM_PID", False);
        for (unsigned int i = 0; i < count; ++i) {
            XWindowAttributes attributes;
            if (!XGetWindowAttributes(m_x, children[i], &attributes) || attributes.map_state != IsViewable)
                continue;
            Atom type;
            int format;
            unsigned long items, after;
            unsigned char* data = nullptr;
            if (XGetWindowProperty(m_x, children[i], pidAtom, 0, 1, False, XA_CARDINAL, &type, &format, &items,
                                   &after, &data) == Success
                && data && items == 1 && *reinterpret_cast<unsigned long*>(data) == quint64(pid))
                found << children[i];
            if (data)
                XFree(data);
            found << windowsOf(pid, children[i]);
        }
        if (children)
            XFree(children);
        return found;
    }

    // The X server's clock: synthetic events carry it, so that the client
    // sees real gaps between them (two clicks at one time are a double click).
    Time serverTime() const
    {
        const Window probe = XCreateSimpleWindow(m_x, DefaultRootWindow(m_x), 0, 0, 1, 1, 0, 0, 0);
        XSelectInput(m_x, probe, PropertyChangeMask);
        const Atom name = XInternAtom(m_x, "VARVEX_TEST_TIME", False);
        XChangeProperty(m_x, probe, name, XA_STRING, 8, PropModeReplace, nullptr, 0);
        XEvent event;
        XWindowEvent(m_x, probe, PropertyChangeMask, &event);
        XDestroyWindow(m_x, probe);
        return event.xproperty.time;
    }

    // A key pressed and released while w has the keyboard.
    void pressKey(Window w, KeySym key) const
    {
        const Time now = serverTime();
        XSetInputFocus(m_x, w, RevertToParent, now);
        for (int type : {KeyPress, KeyRelease}) {
            XEvent event{};
            event.xkey.type = type;
            event.xkey.display = m_x;
            event.xkey.window = w;
            event.xkey.root = DefaultRootWindow(m_x);
            event.xkey.time = now;
            event.xkey.same_screen = True;
            event.xkey.keycode = XKeysymToKeycode(m_x, key);
            XSendEvent(m_x, w, False, NoEventMask, &event);
        }
        XFlush(m_x);
    }

    // A mouse button pressed and released at (x, y) of w.
    void clickAt(Window w, int x, int y, unsigned int button) const
    {
        Window child;
        int rootX = 0, rootY = 0;
        XTranslateCoordinates(m_x, w, DefaultRootWindow(m_x), x, y, &rootX, &rootY, &child);
        const Time now = serverTime();
        for (int type : {ButtonPress, ButtonRelease}) {
            XEvent event{};
            event.xbutton.type = type;
            event.xbutton.display = m_x;
            event.xbutton.window = w;
            event.xbutton.root = DefaultRootWindow(m_x);
            event.xbutton.time = now;
            event.xbutton.x = x;
            event.xbutton.y = y;
            event.xbutton.x_root = rootX;
            event.xbutton.y_root = rootY;
            event.xbutton.same_screen = True;
            event.xbutton.button = button;
            event.xbutton.state = type == ButtonRelease ? (Button1Mask << (button - 1)) : 0;
            XSendEvent(m_x, w, False, NoEventMask, &event);
        }
        XFlush(m_x);
    }

    // The client's tray icon is its one window that the tray host holds.
    bool clickTrayIcon(const QProcess& client, unsigned int button)
    {
        const qint64 pid = client.processId();
        const QList<Window> own = topLevels(QString(), pid);
        for (Window w : windowsOf(pid)) {
            if (!own.contains(w)) {
                clickAt(w, 4, 4, button);
                return true;
            }
        }
        return false;
    }

    // Opens the tray menu and picks an entry by its mnemonic.
    bool pickTrayEntry(const QProcess& client, KeySym mnemonic)
    {
        const qint64 pid = client.processId();
        if (!clickTrayIcon(client, Button3))
            return false;
        QList<Window> menus;
        if (!QTest::qWaitFor([&]() {
                menus.clear();
                for (Window w : topLevels(QString(), pid)) {
                    XWindowAttributes attributes;
                    if (XGetWindowAttributes(m_x, w, &attributes) && attributes.override_redirect)
                        menus << w;
                }
                return !menus.isEmpty();
            }, 10000))
            return false;
        pressKey(menus.first(), mnemonic);
        return true;
    }

    // Waits for the "Connection error" box and closes it.
    bool closeConnectionErrorBox()
    {
        QList<Window> boxes;
        if (!QTest::qWaitFor([&]() { return !(boxes = topLevels("Connection error")).isEmpty(); }, 15000))
            return false;
        closeWindow(boxes.first());
        return true;
    }

    static bool finishes(QProcess& process, int timeoutMs = 15000)
    {
        return process.state() == QProcess::NotRunning || process.waitForFinished(timeoutMs);
    }

    // A fake service that greets each client with "disconnected".
    struct Service
    {
        QLocalServer server;
        QList<QLocalSocket*> peers;
        bool listen()
        {
            QObject::connect(&server, &QLocalServer::newConnection, &server, [this]() {
                while (QLocalSocket* peer = server.nextPendingConnection()) {
                    peers << peer;
                    peer->write(QByteArray::fromHex("01050D0302"));
                }
            });
            return server.listen("Varvex");
        }
    };

    // A folder of the impostor's own, which everyone can reach.
    bool impostorFolder(const LocalUser& impostor, QString* folder)
    {
        *folder = path("impostor");
        return QDir().mkpath(*folder)
            && ::chmod(QFile::encodeName(m_dir->path()).constData(), 0755) == 0
            && ::chown(QFile::encodeName(*folder).constData(), impostor.uid(), impostor.gid()) == 0;
    }

private slots:
    void initTestCase()
    {
        m_base = QDir::tempPath();
        m_client = qEnvironmentVariable("VARVEX_BUILD_DIR") + "/bin/varvexclient";
        QVERIFY2(QFileInfo(m_client).isExecutable(), qPrintable(m_client + " is not built"));
        if (QStandardPaths::findExecutable("Xvfb").isEmpty())
            QSKIP("Xvfb is not installed (Debian package xvfb); the whole-program tests need a display.");
        if (QStandardPaths::findExecutable("trayer").isEmpty())
            QSKIP("trayer is not installed (Debian package trayer); the whole-program tests need a system tray.");

        int fd = -1;
        QVERIFY(m_xvfb.start({"Xvfb", "-displayfd", "%fd", "-screen", "0", "1024x768x24", "-nolisten", "tcp"},
                             QByteArray(), &fd));
        const QByteArray number = readLineFrom(fd, 15000);
        close(fd);
        QVERIFY2(!number.isEmpty(), "Xvfb did not report its display");
        m_display = ":" + number;
        m_x = XOpenDisplay(m_display.constData());
        QVERIFY2(m_x, "cannot open the Xvfb display");
        // Windows of the client come and go while the tree is walked.
        XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    }

    void cleanupTestCase()
    {
        m_trayer.stop();
        if (m_x)
            XCloseDisplay(m_x);
        m_x = nullptr;
        m_xvfb.stop();
    }

    void init()
    {
        // TMPDIR points into the previous case's folder: start from the base.
        m_dir.reset();
        m_dir.reset(new QTemporaryDir(m_base + "/varvexclient-XXXXXX"));
        QVERIFY(m_dir->isValid());
        for (const char* sub : {"tmp", "config/Varvex", "runtime", "work"})
            QVERIFY(QDir().mkpath(path(sub)));
        QVERIFY(QFile::setPermissions(path("runtime"), QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                           | QFileDevice::ExeOwner));
        // The fake service listens where the client looks: VARVEX_SOCKET_DIR/Varvex.
        qputenv("TMPDIR", path("tmp").toLocal8Bit());
        qputenv("VARVEX_SOCKET_DIR", path("tmp").toLocal8Bit());
        // A loopback server, so that nothing is looked up outside.
        QSettings settings(path("config/Varvex/client.conf"), QSettings::IniFormat);
        settings.setValue("Connection Hostname", "127.0.0.1");
    }

    void exitsWithOneWithoutTray()
    {
        m_trayer.stop();
        const Atom selection = XInternAtom(m_x, "_NET_SYSTEM_TRAY_S0", False);
        QVERIFY(QTest::qWaitFor([&]() { return XGetSelectionOwner(m_x, selection) == None; }, 10000));
        QLocalServer service;
        QVERIFY(service.listen("Varvex"));
        QProcess client;
        startClient(client);
        // After waiting for a tray to come, it says why it cannot go on:
        // on standard output, and in a box for a user who started it from
        // the menu.
        QList<Window> boxes;
        QVERIFY2(QTest::qWaitFor([&]() { return !(boxes = topLevels("Varvex", client.processId())).isEmpty(); }, 20000),
                 "no box appeared");
        closeWindow(boxes.first());
        QVERIFY(finishes(client));
        QCOMPARE(client.exitStatus(), QProcess::NormalExit);
        QCOMPARE(client.exitCode(), 1);
        QCOMPARE(client.readAllStandardOutput(), QByteArray("Systray is not supported by this operating system.\n"));
        // Nothing before the tray check reaches the service.
        QVERIFY(!service.hasPendingConnections());

        // A tray that comes during the wait is taken.
        RunningProcess late;
        startClient(late.process);
        QVERIFY(ensureTray());
        QVERIFY2(QTest::qWaitFor([&]() { return !topLevels("Varvex Client", late.process.processId()).isEmpty(); },
                                 20000),
                 "the client did not take the tray that came");
    }

    void exitsWithTwoOnABadFontFile()
    {
        QVERIFY(ensureTray());
        QVERIFY(QDir().mkpath(path("work/Fonts")));
        QFile bad(path("work/Fonts/bad.ttf"));
        QVERIFY(bad.open(QIODevice::WriteOnly));
        bad.write("this is not a font");
        bad.close();
        QLocalServer service;
        QVERIFY(service.listen("Varvex"));

        QProcess client;
        startClient(client);
        QVERIFY(finishes(client));
        QCOMPARE(client.exitCode(), 2);
        QCOMPARE(client.readAllStandardOutput(), QByteArray("Error registering font bad\nError while registering fonts.\n"));
        QVERIFY(!service.hasPendingConnections());
    }

    void exitsWithThreeWithoutService()
    {
        QVERIFY(ensureTray());
        QProcess client;
        startClient(client);
        QList<Window> boxes;
        QVERIFY2(QTest::qWaitFor([&]() { return !(boxes = topLevels("Connection error")).isEmpty(); }, 15000),
                 "no \"Connection error\" box appeared");
        // The box stands alone: the window is never shown.
        QCOMPARE(topLevels(QString(), client.processId()), boxes);
        closeWindow(boxes.first());
        QVERIFY(finishes(client));
        QCOMPARE(client.exitCode(), 3);
        QCOMPARE(client.readAllStandardOutput(), QByteArray());
    }

    void showsTheWindowOnceAndEndsWithTheService()
    {
        QVERIFY(ensureTray());
        QLocalServer service;
        QVERIFY(service.listen("Varvex"));
        QList<QLocalSocket*> peers;
        QByteArray received;
        connect(&service, &QLocalServer::newConnection, &service, [&]() {
            while (QLocalSocket* peer = service.nextPendingConnection()) {
                peers << peer;
                connect(peer, &QLocalSocket::readyRead, peer, [&received, peer]() { received += peer->readAll(); });
                peer->write(QByteArray::fromHex("01050D0302")); // disconnected
            }
        });

        QProcess client;
        startClient(client);
        QVERIFY2(QTest::qWaitFor([&]() { return !topLevels(QString(), client.processId()).isEmpty(); }, 20000),
                 "the client showed no window");
        QCOMPARE(topLevels("Varvex Client", client.processId()).size(), 1);
        // No stored login: the client asks the service for one.
        QTRY_VERIFY_WITH_TIMEOUT(received.contains(QByteArray::fromHex("01040902")), 10000);

        // A second start in the same session shows nothing and ends with 0.
        QProcess second;
        startClient(second);
        QVERIFY(finishes(second));
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(second.readAllStandardOutput(), QByteArray());
        QCOMPARE(peers.size(), 1);
        QCOMPARE(client.state(), QProcess::Running);
        QCOMPARE(topLevels(QString(), client.processId()).size(), 1);

        // The service goes away: the client says so and ends with 4.
        peers.first()->disconnectFromServer();
        QVERIFY2(closeConnectionErrorBox(), "no \"Connection error\" box appeared");
        QVERIFY(finishes(client));
        QCOMPARE(client.exitCode(), 4);

        // The lock went with the first client: a new one starts.
        QProcess third;
        startClient(third);
        QVERIFY(QTest::qWaitFor([&]() { return peers.size() == 2; }, 15000));
        third.kill();
        QVERIFY(finishes(third));
    }

    // Escape, closing the window and closing a message box while the
    // window is hidden all leave the client running; Exit ends it.
    void onlyExitEndsTheClient()
    {
        QVERIFY(ensureTray());
        Service service;
        QVERIFY(service.listen());
        QProcess client;
        startClient(client);
        QList<Window> windows;
        QVERIFY2(QTest::qWaitFor([&]() { return !(windows = topLevels("Varvex Client", client.processId())).isEmpty(); },
                                 20000),
                 "the client showed no window");
        const Window window = windows.first();

        pressKey(window, XK_Escape);
        QTest::qWait(1000);
        QCOMPARE(client.state(), QProcess::Running);
        QCOMPARE(topLevels("Varvex Client", client.processId()), windows);

        // The close button hides the window in the tray.
        clickAt(window, 328, 14, Button1);
        QVERIFY2(QTest::qWaitFor([&]() { return topLevels("Varvex Client", client.processId()).isEmpty(); }, 10000),
                 "the close button did not hide the window");
        QCOMPARE(client.state(), QProcess::Running);

        // The Status box from the tray menu, answered with Return.
        QVERIFY2(pickTrayEntry(client, XK_s), "no tray menu appeared");
        QList<Window> boxes;
        QVERIFY2(QTest::qWaitFor([&]() { return !(boxes = topLevels("Varvex Status", client.processId())).isEmpty(); },
                                 10000),
                 "no \"Varvex Status\" box appeared");
        pressKey(boxes.first(), XK_Return);
        QVERIFY(QTest::qWaitFor([&]() { return topLevels("Varvex Status", client.processId()).isEmpty(); }, 10000));
        QTest::qWait(1000);
        QCOMPARE(client.state(), QProcess::Running);

        // A click on the tray icon brings the window back; closing it as a
        // window manager would hides it again.
        QVERIFY(clickTrayIcon(client, Button1));
        QVERIFY2(QTest::qWaitFor([&]() { return !topLevels("Varvex Client", client.processId()).isEmpty(); }, 10000),
                 "the tray icon did not show the window");
        closeWindow(topLevels("Varvex Client", client.processId()).first());
        QVERIFY(QTest::qWaitFor([&]() { return topLevels("Varvex Client", client.processId()).isEmpty(); }, 10000));
        QTest::qWait(1000);
        QCOMPARE(client.state(), QProcess::Running);

        // Exit in the tray menu ends it, while disconnected at once.
        QVERIFY2(pickTrayEntry(client, XK_x), "no tray menu appeared");
        QVERIFY(finishes(client));
        QCOMPARE(client.exitStatus(), QProcess::NormalExit);
        QCOMPARE(client.exitCode(), 0);
    }

    // No XEmbed tray, but a StatusNotifierItem host on a private session
    // bus: the toolkit's D-Bus tray carries the icon, its menu and the
    // desktop notifications.
    void dbusTrayMenuActivationAndNotifications()
    {
        if (QStandardPaths::findExecutable("dbus-daemon").isEmpty() || QStandardPaths::findExecutable("dbus-send").isEmpty())
            QSKIP("dbus-daemon and dbus-send are needed (Debian packages dbus-daemon, dbus-bin)");
        m_trayer.stop();
        const Atom selection = XInternAtom(m_x, "_NET_SYSTEM_TRAY_S0", False);
        QVERIFY(QTest::qWaitFor([&]() { return XGetSelectionOwner(m_x, selection) == None; }, 10000));

        RunningProcess busDaemon;
        busDaemon.process.start("dbus-daemon", {"--session", "--nofork", "--print-address"});
        QVERIFY(busDaemon.process.waitForStarted(5000));
        QVERIFY(QTest::qWaitFor([&]() { return busDaemon.process.canReadLine(); }, 10000));
        const QString address = QString::fromUtf8(busDaemon.process.readLine().trimmed());
        QDBusConnection bus = QDBusConnection::connectToBus(address, "stand-ins");
        QVERIFY(bus.isConnected());
        QObject watcherObject;
        auto* watcher = new WatcherStandIn(&watcherObject);
        QObject notificationsObject;
        auto* notifications = new NotificationsStandIn(&notificationsObject);
        QVERIFY(bus.registerObject("/StatusNotifierWatcher", &watcherObject));
        QVERIFY(bus.registerObject("/org/freedesktop/Notifications", &notificationsObject));
        QVERIFY(bus.registerService("org.kde.StatusNotifierWatcher"));
        QVERIFY(bus.registerService("org.freedesktop.Notifications"));

        Service service;
        QVERIFY(service.listen());
        QProcessEnvironment environment = clientEnvironment();
        environment.insert("DBUS_SESSION_BUS_ADDRESS", address);
        RunningProcess client;
        startClient(client.process, environment);
        QVERIFY2(QTest::qWaitFor([&]() { return !watcher->items.isEmpty(); }, 20000), "no item registered");
        const QString item = watcher->items.first();

        // The item's menu holds the seven entries.
        QProcess menu;
        QProcessEnvironment menuEnvironment = QProcessEnvironment::systemEnvironment();
        menuEnvironment.insert("DBUS_SESSION_BUS_ADDRESS", address);
        menu.setProcessEnvironment(menuEnvironment);
        menu.start("dbus-send", {"--session", "--print-reply", "--dest=" + item, "/MenuBar",
                                 "com.canonical.dbusmenu.GetLayout", "int32:0", "int32:-1", "array:string:label"});
        QVERIFY(QTest::qWaitFor([&]() { return menu.state() == QProcess::NotRunning; }, 10000));
        const QString layout = QString::fromUtf8(menu.readAllStandardOutput());
        QStringList labels;
        QRegularExpressionMatchIterator it =
            QRegularExpression("string \"label\"\\s+variant\\s+string \"([^\"]*)\"").globalMatch(layout);
        while (it.hasNext())
            labels << it.next().captured(1);
        QCOMPARE(labels, QStringList({"_Connect", "_Status", "_Jump to fastest", "C_hange country", "_Feedback",
                                      "Se_ttings", "E_xit"}));

        // Activating the item shows the hidden window.
        QList<Window> windows;
        QVERIFY(QTest::qWaitFor([&]() { return !(windows = topLevels("Varvex Client", client.process.processId())).isEmpty(); },
                                20000));
        closeWindow(windows.first());
        QVERIFY(QTest::qWaitFor([&]() { return topLevels("Varvex Client", client.process.processId()).isEmpty(); }, 10000));
        QDBusMessage activate = QDBusMessage::createMethodCall(item, "/StatusNotifierItem", "org.kde.StatusNotifierItem",
                                                               "Activate");
        activate << 0 << 0;
        QVERIFY(bus.send(activate));
        QVERIFY(QTest::qWaitFor([&]() { return !topLevels("Varvex Client", client.process.processId()).isEmpty(); },
                                10000));

        // Notifications, as the service's frames arrive.
        QVERIFY(!service.peers.isEmpty());
        QLocalSocket* peer = service.peers.first();
        auto status = [](quint8 code) { return VarvexFrame::build(VARVEX_CMD_STATUS_UPDATE, QByteArray(1, char(code))); };
        QByteArray connected(1, char(QVarvexCommandConnected));
        VarvexFrame::appendField(connected, "10.8.0.6");
        VarvexFrame::appendUInt32(connected, uint(QDateTime::currentSecsSinceEpoch()));
        const QByteArray up = status(0) + VarvexFrame::build(VARVEX_CMD_STATUS_UPDATE, connected);
        auto received = [&](int count) {
            return QTest::qWaitFor([&]() { return notifications->received.size() >= count; }, 10000);
        };
        peer->write(up);
        QVERIFY(received(1));
        // A killed OpenVPN: DISCONNECTED on the way to RECONNECTING is one drop.
        peer->write(status(3) + status(4));
        QVERIFY(received(2));
        peer->write(up);
        QVERIFY(received(3));
        peer->write(status(3));
        QVERIFY(received(4));
        peer->write(VarvexFrame::build(VARVEX_CMD_LOGIN_FAILED));
        QVERIFY(received(5));
        const QString settingsFile = path("config/Varvex/client.conf");
        {
            QSettings settings(settingsFile, QSettings::IniFormat);
            settings.setValue("Notifications", false);
            settings.remove("Creditentials");
        }
        peer->write(up);
        // The window stores the login once CONNECTED is shown, after its
        // notification was decided: the frames have been taken.
        QVERIFY(QTest::qWaitFor([&]() { return QSettings(settingsFile, QSettings::IniFormat).contains("Creditentials"); },
                                10000));
        QSettings(settingsFile, QSettings::IniFormat).setValue("Notifications", true);
        peer->write(status(4));
        QVERIFY(received(6));
        QCOMPARE(notifications->received,
                 QStringList({"Varvex|Connected to Automatic", "Varvex|Connection lost. Reconnecting…",
                              "Varvex|Connected to Automatic", "Varvex|Disconnected: the VPN server could not be reached.",
                              "Varvex|Login failed: check your user name and password.",
                              "Varvex|Connection lost. Reconnecting…"}));
    }

    // Another user's socket where the client looks: the client sends it
    // nothing at all (not even with auto login set), says why, and behaves
    // as when no service is there.
    void refusesAServiceOfAnotherUser()
    {
        const QString reason = LocalUser::unavailableReason();
        if (!reason.isEmpty())
            QSKIP(qPrintable(reason));
        QVERIFY(ensureTray());
        LocalUser user;
        QVERIFY(user.create());
        QString folder;
        QVERIFY(impostorFolder(user, &folder));
        Impostor impostor(user);
        QVERIFY2(impostor.listen(folder + "/Varvex"), impostor.output.constData());
        {
            QSettings settings(path("config/Varvex/client.conf"), QSettings::IniFormat);
            settings.setValue("AutoLogin", true);
        }

        QProcessEnvironment environment = clientEnvironment();
        environment.insert("VARVEX_SOCKET_DIR", folder);
        QProcess client;
        startClient(client, environment);
        QVERIFY2(closeConnectionErrorBox(), "no \"Connection error\" box appeared");
        QVERIFY(finishes(client));
        QCOMPARE(client.exitCode(), 3);
        const QByteArray out = client.readAllStandardOutput();
        QVERIFY2(out.startsWith("Not connecting to the Varvex service: the service socket belongs to a process of user "
                                + QByteArray::number(user.uid()) + " "),
                 out.constData());
        QVERIFY(out.endsWith(".\n") && out.count('\n') == 1);
        QVERIFY(QTest::qWaitFor([&] { return impostor.heard().contains("closed"); }, 5000));
        QCOMPARE(impostor.heard(), QByteArray("listening\naccepted\nclosed\n"));
    }

    // The client no longer looks in the temporary folder, and a user cannot
    // listen where it does look.
    void impostorCannotSitWhereTheClientLooks()
    {
        const QString reason = LocalUser::unavailableReason();
        if (!reason.isEmpty())
            QSKIP(qPrintable(reason));
        if (QFileInfo::exists("/run/varvex/Varvex"))
            QSKIP("a service listens at /run/varvex/Varvex on this machine");
        QVERIFY(ensureTray());
        LocalUser user;
        QVERIFY(user.create());

        {
            Impostor there(user);
            QVERIFY(!there.listen("/run/varvex/Varvex"));
            QVERIFY2(there.output == "refused EACCES\n" || there.output == "refused ENOENT\n", there.output.constData());
            // Nor can the folder be made, or anything put into it.
            UserProcess mkdir(user);
            mkdir.start("/bin/mkdir", {"-p", "/run/varvex/impostor"});
            QVERIFY(mkdir.waitForFinished(5000));
            QVERIFY(mkdir.exitCode() != 0);
            QVERIFY(!QFileInfo::exists("/run/varvex/impostor"));
        }

        QString folder;
        QVERIFY(impostorFolder(user, &folder));
        Impostor impostor(user);
        QVERIFY2(impostor.listen(folder + "/Varvex"), impostor.output.constData());
        QProcessEnvironment environment = clientEnvironment();
        environment.remove("VARVEX_SOCKET_DIR");
        environment.insert("TMPDIR", folder);
        QProcess client;
        startClient(client, environment);
        QVERIFY2(closeConnectionErrorBox(), "no \"Connection error\" box appeared");
        QVERIFY(finishes(client));
        QCOMPARE(client.exitCode(), 3);
        QCOMPARE(impostor.heard(), QByteArray("listening\n"));
    }
};

QTEST_GUILESS_MAIN(TestVarvexClient)
// Xlib's Bool macro would rename the meta-object's QMetaType::Bool.
#undef Bool
#include "tst_varvexclient.moc"
