#ifndef QPINGSERVICE_H
#define QPINGSERVICE_H

#include <QObject>
#include <QString>

// Measures one ICMP echo round trip; lives in the chooser's worker thread.
class QPingService : public QObject
{
    Q_OBJECT
public:
    explicit QPingService(QObject* parent = nullptr);

signals:
    void pingResult(QString hostname, int latency);

public slots:
    void pingHost(QString hostname);

private:
    void reportWhenNotPermitted();

    bool m_permissionChecked = false;
};

#endif // QPINGSERVICE_H
