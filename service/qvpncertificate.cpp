#include "qvpncertificate.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QNetworkRequest>

#include "nofollowfile.h"
#include "varvexlog.h"
#include "webapi.h"

namespace {

// Set on every reply so that an answer is judged by the request that produced
// it, not by whichever request was sent last.
const char* const kRequestTypeProperty = "varvexRequestType";

const QString kFunction = QStringLiteral("http_finished");

} // namespace

QVPNCertificate::QVPNCertificate(const QString& certificatePath, QObject* parent)
    : QObject(parent)
    , m_certificatePath(certificatePath)
{
    connect(&m_networkManager, SIGNAL(finished(QNetworkReply*)), this, SLOT(http_finished(QNetworkReply*)));
    writeLog(QStringLiteral("QVPNCertificate"), LOG_INFORMATION);
}

void QVPNCertificate::updateCertificate()
{
    writeLog(QStringLiteral("updateCertificate"), LOG_INFORMATION);
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
    sendRequest(FileRequest);
}

void QVPNCertificate::sendRequest(RequestType type)
{
    m_requestType = type;
    // Clearing the cache drops requests still queued on a cached connection,
    // so it waits until none of ours is outstanding.
    if (m_pendingReplies == 0)
        m_networkManager.clearAccessCache();
    ++m_pendingReplies;
    const QUrl url = type == InfoRequest ? WebApi::url(VARVEX_API_GET_CA_INFO) : WebApi::url(VARVEX_API_GET_CA);
    QNetworkReply* reply = m_networkManager.get(QNetworkRequest(url));
    reply->setProperty(kRequestTypeProperty, int(type));
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

void QVPNCertificate::http_finished(QNetworkReply* reply)
{
    writeLog(QStringLiteral("http_finished"), LOG_INFORMATION);
    if (!reply) {
        writeLog(QStringLiteral("reply is nullptr at function %1").arg(kFunction), LOG_ERROR);
        emit updateFinish(false);
        return;
    }
    reply->deleteLater();
    if (m_pendingReplies > 0)
        --m_pendingReplies;

    bool known = false;
    const int type = reply->property(kRequestTypeProperty).toInt(&known);
    if (known && type == InfoRequest) {
        handleInfoAnswer(reply);
    } else if (known && type == FileRequest) {
        handleFileAnswer(reply);
    } else {
        writeLog(QStringLiteral("Unknown enum at function %1").arg(kFunction), LOG_ERROR);
        emit updateFinish(false);
    }
}

QString QVPNCertificate::failureReason(QNetworkReply* reply)
{
    if (reply->error() != QNetworkReply::NoError)
        return reply->errorString();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status != 200)
        return QStringLiteral("HTTP status %1").arg(status);
    return QString();
}

void QVPNCertificate::handleInfoAnswer(QNetworkReply* reply)
{
    const QByteArray body = reply->readAll();
    // A failed request is reported as such, so that an error page is never
    // taken for the answer.
    const QString failure = failureReason(reply);
    if (!failure.isEmpty()) {
        writeLog(QStringLiteral("Certificate check failed at function %1: %2").arg(kFunction, failure), LOG_ERROR);
        emit updateFinish(false);
        return;
    }

    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        writeLog(QStringLiteral("Error parsing JSON at function %1").arg(kFunction), LOG_ERROR);
        emit updateFinish(false);
        return;
    }

    // A hexadecimal digest names the same bytes in either case.
    const QByteArray published = document.object().value(QStringLiteral("hash")).toString().toLatin1();
    if (published.toLower() == fileHash()) {
        emit updateFinish(true);
        return;
    }
    writeLog(QStringLiteral("Certificate has deferent hash. Update the certificate."), LOG_DEBUG);
    updateCerfiticateFile();
}

void QVPNCertificate::handleFileAnswer(QNetworkReply* reply)
{
    const QByteArray body = reply->readAll();
    QString failure = failureReason(reply);
    if (failure.isEmpty() && body.isEmpty())
        failure = QStringLiteral("empty answer");
    if (!failure.isEmpty()) {
        writeLog(QStringLiteral("Certificate download failed at function %1: %2").arg(kFunction, failure), LOG_ERROR);
        emit updateFinish(false);
        return;
    }

    // OpenVPN may read the file at any moment: it is replaced in one step so
    // that it never holds a partial download, and never through a link.
    NoFollowSaveFile file(m_certificatePath, 0644);
    if (!file.open()) {
        writeLog(QStringLiteral("Error opening certificate file for write at function %1").arg(kFunction), LOG_ERROR);
        emit updateFinish(false);
        return;
    }
    if (file.write(body) != body.size() || !file.commit()) {
        file.cancelWriting();
        writeLog(QStringLiteral("Error writing certificate file at function %1").arg(kFunction), LOG_ERROR);
        emit updateFinish(false);
        return;
    }
    emit updateFinish(true);
}
