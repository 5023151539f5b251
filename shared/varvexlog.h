#ifndef VARVEXLOG_H
#define VARVEXLOG_H

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

#endif // VARVEXLOG_H
