#include "privateservice.h"

#include <QDir>
#include <QFile>

QString installPrivateService(const QString& folder)
{
    const QString buildDir = qEnvironmentVariable("VARVEX_BUILD_DIR");
    const QString sourceDir = qEnvironmentVariable("VARVEX_SOURCE_DIR");
    if (buildDir.isEmpty() || sourceDir.isEmpty())
        return QStringLiteral("run through ctest");
    QDir root(folder);
    if (!root.mkpath(QStringLiteral("bin")) || !root.mkpath(QStringLiteral("tmp")))
        return QStringLiteral("cannot make the folders in ") + folder;
    const QString service = root.filePath(QStringLiteral("varvexservice"));
    if (!QFile::copy(buildDir + QStringLiteral("/bin/varvexservice"), service))
        return QStringLiteral("cannot copy the service to ") + service;
    const QString openvpn = root.filePath(QStringLiteral("bin/openvpn"));
    if (!QFile::copy(sourceDir + QStringLiteral("/tests/service/fake-openvpn/openvpn"), openvpn))
        return QStringLiteral("cannot copy the OpenVPN stand-in to ") + openvpn;
    QFile::setPermissions(openvpn, QFile::permissions(openvpn) | QFile::ExeOwner);
    return QString();
}
