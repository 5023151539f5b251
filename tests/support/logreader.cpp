#include "logreader.h"

#include <QFile>

#include "varvexlog.h"

void LogReader::mark()
{
    QFile file(path());
    m_offset = file.exists() ? file.size() : 0;
}

QByteArray LogReader::sinceMark() const
{
    QFile file(path());
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    file.seek(m_offset);
    return file.readAll();
}

void LogReader::removeFile()
{
    QFile::remove(path());
}

QString LogReader::path()
{
    // The writer works the path out at its first line after setupLog.
    if (currentLogPath().isEmpty())
        writeLog(QStringLiteral("test log opened"), LOG_CRITICAL);
    return currentLogPath();
}
