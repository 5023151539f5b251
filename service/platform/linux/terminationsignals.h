#ifndef TERMINATIONSIGNALS_H
#define TERMINATIONSIGNALS_H

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM and SIGINT into a signal on the thread that owns the object,
// so that what follows runs in the event loop and not in a signal handler.
class TerminationSignals : public QObject
{
    Q_OBJECT
public:
    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;

    // False (errno set) when the handlers cannot be installed.
    bool install();

signals:
    void terminationRequested();

private slots:
    void notifier_activated();

private:
    QSocketNotifier* m_notifier = nullptr;
    bool m_installed = false;
};

#endif // TERMINATIONSIGNALS_H
