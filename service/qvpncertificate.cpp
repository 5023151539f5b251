#include "qvpncertificate.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSslCertificate>
#include <QSslCertificateExtension>

#include "nofollowfile.h"
#include "varvexlog.h"
#include "webapi.h"

namespace {

const QString kFunction = QStringLiteral("http_finished");

bool isCaCertificate(const QSslCertificate& certificate)
{
    const QList<QSslCertificateExtension> extensions = certificate.extensions();
    for (const QSslCertificateExtension& extension : extensions) {
        if (extension.name() == QLatin1String("basicConstraints"))
            return extension.value().toMap().value(QStringLiteral("ca")).toBool();
    }
    return false;
}

// Why a body cannot be OpenVPN's CA file; empty when it can: one or more PEM
// certificates, each of which parses, is a certificate authority and has
// not expired.
QString certificateFault(const QByteArray& body)
{
    const int blocks = body.count("-----BEGIN CERTIFICATE-----");
    const QList<QSslCertificate> certificates = QSslCertificate::fromData(body, QSsl::Pem);
    if (blocks == 0 || certificates.size() != blocks)
        return QStringLiteral("answer is not a PEM certificate");
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (const QSslCertificate& certificate : certificates) {
        if (certificate.isNull())
            return QStringLiteral("answer is not a PEM certificate");
        if (!isCaCertificate(certificate))
            return QStringLiteral("a certificate of the answer is not a certificate authority");
        if (certificate.expiryDate() < now)
            return QStringLiteral("a certificate of the answer expired on %1").arg(certificate.expiryDate().toString(Qt::ISODate));
    }
    return QString();
}

} // namespace

QVPNCertificate::QVPNCertificate(const QString& certificatePath, QObject* parent)
    : QObject(parent)
    , m_certificatePath(certificatePath)
{
    connect(&m_webApi, SIGNAL(answered(WebApiAnswer)), this, SLOT(http_finished(WebApiAnswer)));
    writeLog(QStringLiteral("QVPNCertificate"), LOG_INFORMATION);
}

void QVPNCertificate::updateCertificate()
{
    writeLog(QStringLiteral("updateCertificate"), LOG_INFORMATION);
    // Clients connecting together share one check rather than sending one each.
    if (m_updateRunning) {
        writeLog(QStringLiteral("Certificate check already running."), LOG_DEBUG);
        return;
    }
    m_updateRunning = true;
    m_checkPreceded = false;
    if (!QFile::exists(m_certificatePath)) {
        writeLog(QStringLiteral("Certificate does't exists. Create it!"), LOG_WARNING);
        updateCerfiticateFile();
        return;
    }
    writeLog(QStringLiteral("Call webservice to check if certificate is old."), LOG_DEBUG);
    sendRequest(InfoRequest);
}

void QVPNCertificate::updateCerfiticateFile()
{
    writeLog(QStringLiteral("updateCerfiticateFile"), LOG_INFORMATION);
    m_updateRunning = true;
    sendRequest(FileRequest);
}

void QVPNCertificate::sendRequest(RequestType type)
{
    m_requestType = type;
    if (type == InfoRequest)
        m_webApi.get(WebApi::url(VARVEX_API_GET_CA_INFO), InfoRequest);
    else
        m_webApi.get(WebApi::url(VARVEX_API_GET_CA), FileRequest, MaxCertificateSize);
}

QByteArray QVPNCertificate::fileHash()
{
    writeLog(QStringLiteral("fileHash"), LOG_INFORMATION);
    QCryptographicHash hash(QCryptographicHash::Sha1);
    QFile file(m_certificatePath);
    if (file.open(QIODevice::ReadOnly))
        hash.addData(&file);
    return hash.result().toHex();
}

void QVPNCertificate::http_finished(const WebApiAnswer& answer)
{
    writeLog(QStringLiteral("http_finished"), LOG_INFORMATION);
    if (answer.tag == InfoRequest) {
        handleInfoAnswer(answer);
    } else if (answer.tag == FileRequest) {
        handleFileAnswer(answer);
    } else {
        writeLog(QStringLiteral("Unknown enum at function %1").arg(kFunction), LOG_ERROR);
        finishUpdate(false);
    }
}

void QVPNCertificate::finishUpdate(bool success)
{
    m_updateRunning = false;
    m_checkPreceded = false;
    m_publishedHash.clear();
    emit updateFinish(success);
}

void QVPNCertificate::handleInfoAnswer(const WebApiAnswer& answer)
{
    // A failed request is reported as such, so that an error page is never
    // taken for the answer.
    if (!answer.ok()) {
        writeLog(QStringLiteral("Certificate check failed at function %1: %2").arg(kFunction, answer.failure()), LOG_ERROR);
        finishUpdate(false);
        return;
    }

    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(answer.body, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        writeLog(QStringLiteral("Error parsing JSON at function %1").arg(kFunction), LOG_ERROR);
        finishUpdate(false);
        return;
    }

    // A hexadecimal digest names the same bytes in either case.
    const QByteArray published = document.object().value(QStringLiteral("hash")).toString().toLatin1().toLower();
    if (published == fileHash()) {
        finishUpdate(true);
        return;
    }
    writeLog(QStringLiteral("Certificate has deferent hash. Update the certificate."), LOG_DEBUG);
    m_checkPreceded = true;
    m_publishedHash = published;
    updateCerfiticateFile();
}

// Why the download must not become the certificate file; empty when it may.
// Only a body that is the published file and a usable authority is taken.
QString QVPNCertificate::downloadFault(const WebApiAnswer& answer) const
{
    if (!answer.ok())
        return answer.failure();
    if (answer.body.isEmpty())
        return QStringLiteral("empty answer");
    if (m_checkPreceded
        && QCryptographicHash::hash(answer.body, QCryptographicHash::Sha1).toHex() != m_publishedHash)
        return QStringLiteral("SHA-1 of the answer differs from the published hash");
    return certificateFault(answer.body);
}

void QVPNCertificate::handleFileAnswer(const WebApiAnswer& answer)
{
    const QString fault = downloadFault(answer);
    if (!fault.isEmpty()) {
        writeLog(QStringLiteral("Certificate download failed at function %1: %2").arg(kFunction, fault), LOG_ERROR);
        finishUpdate(false);
        return;
    }

    // OpenVPN may read the file at any moment: it is replaced in one step so
    // that it never holds a partial download, and never through a link.
    NoFollowSaveFile file(m_certificatePath, 0644);
    if (!file.open()) {
        writeLog(QStringLiteral("Error opening certificate file for write at function %1").arg(kFunction), LOG_ERROR);
        finishUpdate(false);
        return;
    }
    if (file.write(answer.body) != answer.body.size() || !file.commit()) {
        file.cancelWriting();
        writeLog(QStringLiteral("Error writing certificate file at function %1").arg(kFunction), LOG_ERROR);
        finishUpdate(false);
        return;
    }
    finishUpdate(true);
}
