#include "webapiclient.h"

#include <QFile>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslError>
#include <QSslSocket>
#include <QTimer>

#include "webapi.h"

namespace {

const char* const kTagProperty = "varvexTag";
const char* const kAbortProperty = "varvexAbortedAs";
const char* const kDoneProperty = "varvexDone";
const char* const kTlsErrorsProperty = "varvexTlsErrors";

// Errors that QNetworkReply derives from an HTTP status: the server answered.
bool isStatusError(QNetworkReply::NetworkError error)
{
    return (error >= QNetworkReply::ContentAccessDenied && error <= QNetworkReply::UnknownContentError)
        || (error >= QNetworkReply::InternalServerError && error <= QNetworkReply::UnknownServerError);
}

// A bundle of extra authorities is a few certificates; more is not one.
const qint64 kMaxCaFileSize = 1024 * 1024;

// The system's authorities, read once: setting the authorities of a request
// replaces the system's unless they are named too.
const QList<QSslCertificate>& systemAuthorities()
{
    static const QList<QSslCertificate> authorities = QSslConfiguration::systemCaCertificates();
    return authorities;
}

// What a request over TLS trusts: the system's authorities and those of
// VARVEX_API_CA_FILE. Returns why it cannot be set up, empty when it can.
QString trustFor(QNetworkRequest* request)
{
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
    tls.setProtocol(QSsl::TlsV1_2OrLater);

    const QString caFile = WebApi::extraCaFile();
    if (!caFile.isEmpty()) {
        QFile file(caFile);
        if (!file.open(QIODevice::ReadOnly))
            return QStringLiteral("VARVEX_API_CA_FILE %1 cannot be read: %2").arg(caFile, file.errorString());
        const QByteArray pem = file.read(kMaxCaFileSize + 1);
        const QList<QSslCertificate> extra = QSslCertificate::fromData(pem, QSsl::Pem);
        if (pem.size() > kMaxCaFileSize || extra.isEmpty())
            return QStringLiteral("VARVEX_API_CA_FILE %1 holds no PEM certificate").arg(caFile);
        tls.setCaCertificates(systemAuthorities() + extra);
    }
    request->setSslConfiguration(tls);
    return QString();
}

void abortAs(QNetworkReply* reply, WebApiAnswer::Outcome outcome)
{
    if (reply->isFinished() || reply->property(kAbortProperty).isValid())
        return;
    reply->setProperty(kAbortProperty, int(outcome));
    reply->abort();
}

} // namespace

QString WebApiAnswer::failure() const
{
    if (outcome != Answered)
        return error;
    if (status != 200)
        return QStringLiteral("HTTP status %1").arg(status);
    return QString();
}

WebApiClient::WebApiClient(QObject* parent)
    : QObject(parent)
{
    qRegisterMetaType<WebApiAnswer>();
}

WebApiClient::~WebApiClient()
{
    // Replies still open go with the manager; none may answer a half-destroyed owner.
    const QList<QNetworkReply*> replies = m_networkManager.findChildren<QNetworkReply*>();
    for (QNetworkReply* reply : replies)
        reply->disconnect(this);
}

void WebApiClient::get(const QUrl& url, int tag, qint64 maxAnswerSize)
{
    // Clearing the cache drops requests still queued on a cached connection,
    // so it waits until none of ours is outstanding.
    if (m_pendingRequests == 0)
        m_networkManager.clearAccessCache();
    ++m_pendingRequests;

    QNetworkRequest request(url);
    // Never follow a redirect: it could lead away from TLS or the API's host.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    if (url.scheme() == QLatin1String("https")) {
        const QString trustError = trustFor(&request);
        if (!trustError.isEmpty()) {
            // Nothing is sent without the trust asked for, not even over plain HTTP.
            failLater(tag, trustError);
            return;
        }
    }
    QNetworkReply* reply = m_networkManager.get(request);
    reply->setProperty(kTagProperty, tag);
    watch(reply, maxAnswerSize);
}

void WebApiClient::failLater(int tag, const QString& error)
{
    WebApiAnswer answer;
    answer.tag = tag;
    answer.outcome = WebApiAnswer::Failed;
    answer.error = error;
    // Answers always come after get() has returned, whatever the outcome.
    QTimer::singleShot(0, this, [this, answer] {
        if (m_pendingRequests > 0)
            --m_pendingRequests;
        emit answered(answer);
    });
}

void WebApiClient::watch(QNetworkReply* reply, qint64 maxAnswerSize)
{
    auto* deadline = new QTimer(reply);
    deadline->setSingleShot(true);
    connect(deadline, &QTimer::timeout, reply, [reply] { abortAs(reply, WebApiAnswer::TimedOut); });
    deadline->start(WebApi::TransferTimeoutMs);

    // Stop as soon as the answer is known to be too long: announced, or
    // received so far. The reply never holds much more than the cap.
    auto checkSize = [reply, maxAnswerSize](qint64 received, qint64 announced) {
        if (received > maxAnswerSize || announced > maxAnswerSize)
            abortAs(reply, WebApiAnswer::TooLarge);
    };
    connect(reply, &QNetworkReply::metaDataChanged, reply, [reply, checkSize] {
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid())
            checkSize(0, length.toLongLong());
    });
    connect(reply, &QNetworkReply::downloadProgress, reply, checkSize);
    // Kept to say why the server was refused; the errors are never ignored.
    connect(reply, &QNetworkReply::sslErrors, reply, [reply](const QList<QSslError>& errors) {
        QStringList texts;
        for (const QSslError& error : errors)
            texts << error.errorString();
        reply->setProperty(kTlsErrorsProperty, texts.join(QStringLiteral("; ")));
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply, maxAnswerSize] { finish(reply, maxAnswerSize); });
}

void WebApiClient::finish(QNetworkReply* reply, qint64 maxAnswerSize)
{
    if (reply->property(kDoneProperty).toBool())
        return;
    reply->setProperty(kDoneProperty, true);
    reply->deleteLater();
    if (m_pendingRequests > 0)
        --m_pendingRequests;

    WebApiAnswer answer;
    answer.tag = reply->property(kTagProperty).toInt();
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    answer.status = status.toInt();
    const QVariant abortedAs = reply->property(kAbortProperty);
    if (abortedAs.isValid() && abortedAs.toInt() == WebApiAnswer::TimedOut) {
        answer.outcome = WebApiAnswer::TimedOut;
        answer.error = QStringLiteral("no complete answer within %1 ms").arg(WebApi::TransferTimeoutMs);
    } else if (abortedAs.isValid()) {
        answer.outcome = WebApiAnswer::TooLarge;
        answer.error = QStringLiteral("answer larger than %1 bytes").arg(maxAnswerSize);
    } else if (!status.isValid() || (reply->error() != QNetworkReply::NoError && !isStatusError(reply->error()))) {
        answer.outcome = WebApiAnswer::Failed;
        answer.error = reply->errorString();
        const QString tlsErrors = reply->property(kTlsErrorsProperty).toString();
        if (!tlsErrors.isEmpty())
            answer.error += QStringLiteral(" (") + tlsErrors + QLatin1Char(')');
    } else {
        answer.body = reply->read(maxAnswerSize + 1);
        if (answer.body.size() > maxAnswerSize) {
            answer.body.clear();
            answer.outcome = WebApiAnswer::TooLarge;
            answer.error = QStringLiteral("answer larger than %1 bytes").arg(maxAnswerSize);
        } else {
            answer.outcome = WebApiAnswer::Answered;
        }
    }
    emit answered(answer);
}
