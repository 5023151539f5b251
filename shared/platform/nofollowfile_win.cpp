#include "nofollowfile.h"

#include <QDir>

#include <windows.h>

#include <aclapi.h>
#include <fcntl.h>
#include <io.h>
#include <sddl.h>
#include <share.h>
#include <sys/stat.h>

// Windows: the service's files live beside its program, in a folder only
// administrators may change. What must still be refused is a reparse point
// (a symbolic link or junction) or a second name (hard link) planted at the
// path; both could send a write of the service's into someone else's file.
namespace {

const QString RegistryPrefix = QStringLiteral("HKEY_");

std::wstring nativePath(const QString& path)
{
    return QDir::toNativeSeparators(path).toStdWString();
}

// The open handle is a plain file with one name, and not a link.
bool isPlainSingleFile(HANDLE handle)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info))
        return false;
    const DWORD refused = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE;
    return (info.dwFileAttributes & refused) == 0 && info.nNumberOfLinks == 1 && GetFileType(handle) == FILE_TYPE_DISK;
}

HANDLE openWithoutFollowing(const QString& path, DWORD access, DWORD disposition)
{
    const HANDLE handle = CreateFileW(nativePath(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return handle;
    if (!isPlainSingleFile(handle)) {
        CloseHandle(handle);
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

// The registry key of a settings store: SYSTEM, administrators and the
// owner alone, nothing inherited from the parent key.
bool restrictRegistryKey(const QString& path)
{
    QString key = path.mid(path.indexOf(QLatin1Char('\\')) + 1);
    const QString hive = path.left(path.indexOf(QLatin1Char('\\')));
    HKEY root = nullptr;
    QString objectName;
    if (hive == QLatin1String("HKEY_LOCAL_MACHINE")) {
        root = HKEY_LOCAL_MACHINE;
        objectName = QStringLiteral("MACHINE\\") + key;
    } else if (hive == QLatin1String("HKEY_CURRENT_USER")) {
        root = HKEY_CURRENT_USER;
        objectName = QStringLiteral("CURRENT_USER\\") + key;
    } else {
        return false;
    }
    HKEY created = nullptr;
    if (RegCreateKeyExW(root, key.toStdWString().c_str(), 0, nullptr, 0, KEY_READ, nullptr, &created, nullptr)
        != ERROR_SUCCESS)
        return false;
    RegCloseKey(created);

    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;OICI;KA;;;SY)(A;OICI;KA;;;BA)(A;OICI;KA;;;OW)",
                                                              SDDL_REVISION_1, &descriptor, nullptr))
        return false;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL acl = nullptr;
    bool restricted = false;
    if (GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted) && present) {
        std::wstring name = objectName.toStdWString();
        restricted = SetNamedSecurityInfoW(&name[0], SE_REGISTRY_KEY,
                                           DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                           nullptr, acl, nullptr)
            == ERROR_SUCCESS;
    }
    LocalFree(descriptor);
    return restricted;
}

} // namespace

namespace NoFollowFile {

bool openForAppend(QFile* file, const QString& path, int createMode)
{
    Q_UNUSED(createMode); // the folder's permissions are inherited
    const HANDLE handle = openWithoutFollowing(path, FILE_APPEND_DATA | SYNCHRONIZE, OPEN_ALWAYS);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    const int fd = _open_osfhandle(intptr_t(handle), _O_APPEND | _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(handle);
        return false;
    }
    if (!file->open(fd, QIODevice::Append | QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
        _close(fd);
        return false;
    }
    return true;
}

bool restrictToOwner(const QString& path)
{
    // The service's settings live in the registry on Windows.
    if (path.startsWith(RegistryPrefix))
        return restrictRegistryKey(path);
    const HANDLE handle = openWithoutFollowing(path, GENERIC_READ, OPEN_ALWAYS);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    bool restricted = false;
    if (ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FA;;;SY)(A;;FA;;;OW)", SDDL_REVISION_1,
                                                             &descriptor, nullptr)) {
        BOOL present = FALSE;
        BOOL defaulted = FALSE;
        PACL acl = nullptr;
        if (GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted) && present)
            restricted = SetSecurityInfo(handle, SE_FILE_OBJECT,
                                         DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                         nullptr, acl, nullptr)
                == ERROR_SUCCESS;
        LocalFree(descriptor);
    }
    CloseHandle(handle);
    return restricted;
}

} // namespace NoFollowFile

NoFollowSaveFile::NoFollowSaveFile(const QString& path, int mode)
    : m_path(path)
    , m_mode(mode)
{
}

NoFollowSaveFile::~NoFollowSaveFile()
{
    cancelWriting();
}

bool NoFollowSaveFile::open()
{
    if (m_fd >= 0)
        return false;
    // A file that is there must be ours to replace: a link or a second name
    // is replaced by the rename, not written through, but a file we could
    // not write is refused as it would be on Linux.
    const HANDLE existing = openWithoutFollowing(m_path, GENERIC_WRITE, OPEN_EXISTING);
    if (existing != INVALID_HANDLE_VALUE)
        CloseHandle(existing);
    else if (GetLastError() == ERROR_ACCESS_DENIED)
        return false;

    for (int attempt = 0; attempt < 100 && m_fd < 0; ++attempt) {
        m_temporaryPath = QFile::encodeName(m_path) + '.' + QByteArray::number(qulonglong(GetTickCount64()) + attempt, 36);
        const std::wstring temporary = nativePath(QFile::decodeName(m_temporaryPath));
        if (_wsopen_s(&m_fd, temporary.c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY | _O_NOINHERIT, _SH_DENYRW,
                      _S_IREAD | _S_IWRITE)
            != 0)
            m_fd = -1;
    }
    if (m_fd < 0) {
        m_temporaryPath.clear();
        return false;
    }
    // Windows has no mode bits beyond read-only; the folder's access applies.
    Q_UNUSED(m_mode);
    return true;
}

qint64 NoFollowSaveFile::write(const QByteArray& data)
{
    if (m_fd < 0)
        return -1;
    const char* next = data.constData();
    qint64 left = data.size();
    while (left > 0) {
        const int chunk = int(qMin<qint64>(left, 1 << 20));
        const int written = _write(m_fd, next, unsigned(chunk));
        if (written <= 0) {
            m_failed = true;
            return -1;
        }
        next += written;
        left -= written;
    }
    return data.size();
}

bool NoFollowSaveFile::commit()
{
    if (m_fd < 0)
        return false;
    const bool synced = _commit(m_fd) == 0;
    const bool closed = _close(m_fd) == 0;
    m_fd = -1;
    const std::wstring temporary = nativePath(QFile::decodeName(m_temporaryPath));
    if (m_failed || !synced || !closed
        || !MoveFileExW(temporary.c_str(), nativePath(m_path).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        cancelWriting();
        return false;
    }
    m_temporaryPath.clear();
    return true;
}

void NoFollowSaveFile::cancelWriting()
{
    if (m_fd >= 0) {
        _close(m_fd);
        m_fd = -1;
    }
    if (!m_temporaryPath.isEmpty()) {
        DeleteFileW(nativePath(QFile::decodeName(m_temporaryPath)).c_str());
        m_temporaryPath.clear();
    }
    m_failed = false;
}
