#ifndef QTSERVICE_H
#define QTSERVICE_H

#include <QCoreApplication>
#include <QString>
#include <QStringList>
#include <QVector>

class QtServiceControllerHandler;
class QtServiceStarter;

// The host around a service: reads the command line, runs the service under
// the system's service manager or in the foreground, or controls the
// installed service. start, stop, pause, resume and processCommand always
// run on the main thread inside the event loop.
class QtServiceBase
{
public:
    enum StartupType { AutoStartup = 0, ManualStartup = 1 };

    QtServiceBase(int argc, char** argv, const QString& name);
    virtual ~QtServiceBase();

    QString serviceName() const { return m_name; }
    QString serviceDescription() const { return m_description; }
    void setServiceDescription(const QString& description) { m_description = description; }
    StartupType startupType() const { return m_startupType; }
    void setStartupType(StartupType type) { m_startupType = type; }
    QStringList arguments() const { return m_arguments; }

    // Acts on the first argument and returns the program's exit code.
    int exec();

    static QtServiceBase* instance();

protected:
    virtual void start() = 0;
    virtual void stop() {}
    virtual void pause() {}
    virtual void resume() {}
    virtual void processCommand(int code) { Q_UNUSED(code); }

    virtual void createApplication(int& argc, char** argv) = 0;
    virtual int executeApplication() = 0;

private:
    friend class QtServiceControllerHandler;
    friend class QtServiceStarter;

    int install(const QByteArray& latinName);
    int uninstall(const QByteArray& latinName);
    int printVersion(const QByteArray& latinName);
    int runInForeground();
    int runStartedByManager();
    int startInstalledService(const QByteArray& latinName);

    // Runs the event loop with start scheduled; false when the loop cannot
    // be set up.
    bool runEventLoop(bool underServiceManager, int* exitCode);
    void startOnce();
    void handleControl(int code);

    // The platform's half.
    static bool startedByServiceManager();
    void notifyStarted();
    void notifyStopping();

    QString m_name;
    QString m_description;
    StartupType m_startupType = AutoStartup;
    QStringList m_arguments;
    int m_argc = 0;
    char** m_argv = nullptr;
    // What the application object is built from; QCoreApplication keeps a
    // reference to the count.
    int m_appArgc = 0;
    QVector<char*> m_appArgv;
    bool m_underServiceManager = false;
    bool m_started = false;
    bool m_stopped = false;

    static QtServiceBase* s_instance;
};

template <typename Application>
class QtService : public QtServiceBase
{
public:
    QtService(int argc, char** argv, const QString& name)
        : QtServiceBase(argc, argv, name)
    {
    }
    ~QtService() override { delete m_application; }

protected:
    Application* application() const { return m_application; }

    void createApplication(int& argc, char** argv) override
    {
        m_application = new Application(argc, argv);
    }

    int executeApplication() override { return Application::exec(); }

private:
    Application* m_application = nullptr;
};

#endif // QTSERVICE_H
