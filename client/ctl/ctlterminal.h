#ifndef CTLTERMINAL_H
#define CTLTERMINAL_H

#include <QByteArray>
#include <QObject>
#include <QString>

class QSocketNotifier;

namespace CtlTerminal {

// Standard output, written and flushed at once: `watch` feeds pipes.
void out(const QByteArray& text);
void out(const QString& text);
// One line on standard error, after the program's name.
void error(const QString& line);
bool outputIsTerminal();

// Reads a password: from the terminal without echo, after the prompt on
// standard error, or as one line of standard input when that is not a
// terminal. False when nothing could be read.
bool readPassword(const QString& prompt, QString* password);

} // namespace CtlTerminal

// Turns SIGINT and SIGTERM into a signal of the event loop.
class InterruptWatcher : public QObject
{
    Q_OBJECT
public:
    explicit InterruptWatcher(QObject* parent = nullptr);
    ~InterruptWatcher() override;

signals:
    void interrupted();

private:
    QSocketNotifier* m_notifier = nullptr;
};

#endif // CTLTERMINAL_H
