#ifndef NOFOLLOWFILE_H
#define NOFOLLOWFILE_H

#include <QByteArray>
#include <QFile>
#include <QString>

// Opening and writing files that a program running as root owns, in folders
// where another user might have planted a link or a file of their own: a
// link is followed only when only root could have made it (a root-owned link
// in a folder only root can change, into such a folder), and a file someone
// else owns is never written.
namespace NoFollowFile {

// Opens path for appending, creating it with the given mode when missing.
// Fails for a link, for anything but a plain file with one name, and for a
// file owned by neither root nor this process's user.
bool openForAppend(QFile* file, const QString& path, int createMode);

// Makes sure path is a plain file of this process's user readable by that
// user alone (mode 0600), creating it empty when missing.
bool restrictToOwner(const QString& path);

} // namespace NoFollowFile

// Replaces a file's content in one step, like QSaveFile, without ever
// writing through a link at the path: the content goes into a new file in
// the same folder, which then takes the path's place by rename (a link
// there is replaced, not followed).
class NoFollowSaveFile
{
public:
    NoFollowSaveFile(const QString& path, int mode);
    ~NoFollowSaveFile();

    // False when the folder takes no new file, or the file that is there
    // may not be written by this process.
    bool open();
    // The number of bytes written, or -1.
    qint64 write(const QByteArray& data);
    bool commit();
    void cancelWriting();

private:
    QString m_path;
    int m_mode;
    QByteArray m_temporaryPath;
    int m_fd = -1;
    bool m_failed = false;

    Q_DISABLE_COPY(NoFollowSaveFile)
};

#endif // NOFOLLOWFILE_H
