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

    // Why every server shows no ping time when pingUnavailable() came.
    static QString unavailableReason();
    // One echo to the host, blocking the calling thread for at most a
    // second: milliseconds, or -1 for no answer.
    static int measure(const QString& hostname);

signals:
    void pingResult(QString hostname, int latency);
    // Emitted once, before the first result, when this system refuses
    // every ICMP socket; the results themselves stay -1.
    void pingUnavailable();

public slots:
    void pingHost(QString hostname);

private:
    void reportWhenNotPermitted();

    bool m_permissionChecked = false;
};

#endif // QPINGSERVICE_H
