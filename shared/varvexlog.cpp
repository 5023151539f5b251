#include "varvexlog.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>

#include "nofollowfile.h"

namespace {

int g_threshold = LOG_WARNING;
bool g_besideExecutable = false;
QString g_path;

QMutex& logMutex()
{
    static QMutex mutex;
    return mutex;
}

const char* levelWord(int level)
{
    switch (level) {
    case LOG_INFORMATION: return "Information: ";
    case LOG_DEBUG: return "Debug: ";
    case LOG_WARNING: return "Warning: ";
    case LOG_ERROR: return "Error: ";
    case LOG_CRITICAL: return "Critical: ";
    default: return "Unknown: ";
    }
}

QString workOutPath()
{
    QString path;
    if (g_besideExecutable) {
        const QFileInfo program(QCoreApplication::applicationFilePath());
        path = program.absolutePath() + QLatin1Char('/') + program.completeBaseName() + QStringLiteral(".log");
    } else {
        QString home = QDir::homePath();
        const int slash = home.lastIndexOf(QLatin1Char('/'));
        home = slash > 0 ? home.left(slash) : QStringLiteral("/");
        if (!home.endsWith(QLatin1Char('/')))
            home += QLatin1Char('/');
        path = home + QCoreApplication::applicationName() + QStringLiteral(".log");
    }
    return QDir::toNativeSeparators(path);
}

} // namespace

void setupLog(int threshold, bool besideExecutable)
{
    g_threshold = threshold;
    g_besideExecutable = besideExecutable;
    g_path.clear();
}

QString currentLogPath()
{
    QMutexLocker lock(&logMutex());
    return g_path;
}

void writeLog(const QString& message, int level)
{
    QMutexLocker lock(&logMutex());
    if (level < g_threshold)
        return;
    if (g_path.isEmpty())
        g_path = workOutPath();

    // The folder may be one that other users can write: a link or a file of
    // theirs at the path is not written through.
    QFile file;
    if (!NoFollowFile::openForAppend(&file, g_path, 0644))
        return;
    const QString line = QDateTime::currentDateTime().toString(QStringLiteral("yyyy.MM.dd hh:mm:ss.zzz"))
        + QStringLiteral(" - ") + QLatin1String(levelWord(level)) + message + QStringLiteral("\r\n");
    file.write(line.toUtf8());
    file.close();
}

namespace {
// Distinct lines one source can produce are few; past this many something
// unusual is going on, and writing out what is held keeps memory bounded.
const int SummaryMaxEntries = 32;

QString summaryKey(const QString& message, int level)
{
    return QString::number(level) + QLatin1Char(' ') + message;
}
} // namespace

VarvexLogSummary::VarvexLogSummary(int windowMs)
    : m_windowMs(windowMs)
{
}

VarvexLogSummary::~VarvexLogSummary()
{
    flush();
}

void VarvexLogSummary::writeSummary(const Entry& entry)
{
    if (entry.held > 0)
        writeLog(QStringLiteral("%1 ... repeated %2 times").arg(entry.message).arg(entry.held), entry.level);
}

void VarvexLogSummary::write(const QString& message, int level)
{
    if (level < LOG_WARNING) {
        writeLog(message, level);
        return;
    }
    const QString key = summaryKey(message, level);
    auto it = m_entries.find(key);
    if (it != m_entries.end()) {
        if (!it->since.hasExpired(m_windowMs)) {
            ++it->held;
            return;
        }
        writeSummary(*it);
        m_entries.erase(it);
    }
    if (m_entries.size() >= SummaryMaxEntries)
        flush();
    Entry entry;
    entry.message = message;
    entry.level = level;
    entry.since.start();
    m_entries.insert(key, entry);
    writeLog(message, level);
}

void VarvexLogSummary::flush()
{
    for (const Entry& entry : qAsConst(m_entries))
        writeSummary(entry);
    m_entries.clear();
}
