#include "testcertificates.h"

#include <QProcess>

QString makeTestCertificates(const QString& folder)
{
    const QString script = qEnvironmentVariable("VARVEX_SOURCE_DIR") + QStringLiteral("/tests/support/make-test-certificates.sh");
    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start(QStringLiteral("/bin/sh"), {script, folder});
    if (!openssl.waitForFinished(60000) || openssl.exitStatus() != QProcess::NormalExit || openssl.exitCode() != 0)
        return script + QStringLiteral(": ") + QString::fromLocal8Bit(openssl.readAll()) + openssl.errorString();
    return QString();
}

namespace {

void restore(const char* variable, const QByteArray& value)
{
    if (value.isNull())
        qunsetenv(variable);
    else
        qputenv(variable, value);
}

QByteArray saved(const char* variable)
{
    return qEnvironmentVariableIsSet(variable) ? qgetenv(variable) : QByteArray();
}

} // namespace

ScopedHttpsWebApi::ScopedHttpsWebApi(const QString& caFile)
    : m_scheme(saved("VARVEX_API_SCHEME"))
    , m_caFile(saved("VARVEX_API_CA_FILE"))
{
    qputenv("VARVEX_API_SCHEME", "https");
    qputenv("VARVEX_API_CA_FILE", caFile.toLocal8Bit());
}

ScopedHttpsWebApi::~ScopedHttpsWebApi()
{
    restore("VARVEX_API_SCHEME", m_scheme);
    restore("VARVEX_API_CA_FILE", m_caFile);
}
