#ifndef QTSERVICE_P_H
#define QTSERVICE_P_H

#include <QObject>

class QtServiceBase;

// Calls the host's start once the event loop runs.
class QtServiceStarter : public QObject
{
    Q_OBJECT
public:
    explicit QtServiceStarter(QtServiceBase* service, QObject* parent = nullptr)
        : QObject(parent)
        , m_service(service)
    {
    }

public slots:
    void slotStart();

private:
    QtServiceBase* m_service;
};

// Lives on the main thread; control requests (from the control socket or a
// termination signal) reach the service through it.
class QtServiceControllerHandler : public QObject
{
    Q_OBJECT
public:
    explicit QtServiceControllerHandler(QtServiceBase* service, QObject* parent = nullptr)
        : QObject(parent)
        , m_service(service)
    {
    }

public slots:
    void handleControl(int code);
    void handleTermination();

private:
    QtServiceBase* m_service;
};

#endif // QTSERVICE_P_H
