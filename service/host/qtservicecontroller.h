#ifndef QTSERVICECONTROLLER_H
#define QTSERVICECONTROLLER_H

#include <QString>
#include <QStringList>

// Controls an installed service by its name: installs and removes it, starts
// it through the service manager and sends it control requests.
class QtServiceController
{
public:
    explicit QtServiceController(const QString& name);

    QString serviceName() const { return m_name; }
    bool isInstalled() const;
    bool isRunning() const;
    QString serviceFilePath() const;
    QString serviceDescription() const;

    // startAtBoot: the service starts with the system (automatic start).
    bool install(const QString& serviceFilePath, const QString& description, bool startAtBoot,
                 const QString& account = QString(), const QString& password = QString());
    bool uninstall();
    bool start(const QStringList& arguments = QStringList());
    bool stop();
    bool pause();
    bool resume();
    bool sendCommand(int code);

private:
    QString m_name;
};

#endif // QTSERVICECONTROLLER_H
