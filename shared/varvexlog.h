#ifndef VARVEXLOG_H
#define VARVEXLOG_H

#include <QElapsedTimer>
#include <QHash>
#include <QString>

// Log levels; a line is written when its level is at least the threshold.
enum VarvexLogLevel {
    LOG_INFORMATION = 0,
    LOG_DEBUG = 1,
    LOG_WARNING = 2,
    LOG_ERROR = 3,
    LOG_CRITICAL = 4
};

// Sets the threshold and where the file lies: beside the executable
// (<dir>/<basename>.log) or in the folder that holds the home folder.
void setupLog(int threshold, bool besideExecutable);
// Appends one time-stamped line ending in CR LF; thread-safe.
void writeLog(const QString& message, int level);

// The file the next line goes to; empty until a line has been written.
QString currentLogPath();

// Keeps one source (a client connection, say) from filling the log at the
// rate it can make the same thing go wrong. Information and Debug lines pass
// straight through. A Warning, Error or Critical line is written the first time;
// the same line again within the window is only counted, and when the window
// is over, or at flush(), one line "<line> ... repeated N times" stands for
// the ones held back.
class VarvexLogSummary
{
public:
    static const int DefaultWindowMs = 5000;

    explicit VarvexLogSummary(int windowMs = DefaultWindowMs);
    ~VarvexLogSummary();

    void write(const QString& message, int level);
    // Writes the summaries of everything held back so far.
    void flush();

private:
    struct Entry
    {
        QString message;
        int level = LOG_WARNING;
        qint64 held = 0;
        QElapsedTimer since;
    };
    static void writeSummary(const Entry& entry);

    int m_windowMs;
    QHash<QString, Entry> m_entries;
};

#endif // VARVEXLOG_H
