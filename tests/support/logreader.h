#ifndef LOGREADER_H
#define LOGREADER_H

#include <QByteArray>
#include <QString>

// Reads what the log writer appended since the last mark.
class LogReader
{
public:
    void mark();
    QByteArray sinceMark() const;
    bool contains(const QByteArray& text) const { return sinceMark().contains(text); }
    int count(const QByteArray& text) const { return sinceMark().count(text); }

    // Starts the test's log afresh so that it does not grow run after run.
    static void removeFile();

private:
    static QString path();

    qint64 m_offset = 0;
};

#endif // LOGREADER_H
