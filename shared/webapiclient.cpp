#include "webapiclient.h"

#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

#include "webapitls.h"

namespace {

const char* const kTagProperty = "varvexTag";
const char* const kAbortProperty = "varvexAbortedAs";
const char* const kDoneProperty = "varvexDone";

// Errors that QNetworkReply derives from an HTTP status: the server answered.
bool isStatusError(QNetworkReply::NetworkError error)
{
    return (error >= QNetworkReply::ContentAccessDenied && error <= QNetworkReply::UnknownContentError)
        || (error >= QNetworkReply::InternalServerError && error <= QNetworkReply::UnknownServerError);
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
        const QString trustError = WebApiTls::prepare(&request);
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
    WebApiTls::watchErrors(reply);
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
        const QString tlsErrors = WebApiTls::errorsOf(reply);
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
